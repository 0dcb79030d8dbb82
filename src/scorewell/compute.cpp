// Running one metric: the records reshaped into the columns unitxt expects,
// the pipeline run (under the class lock for judges and model-backed
// methods), and the scores clipped, rounded and aggregated.
#include <optional>
#include <string>

#include "core/frames.hpp"
#include "core/judge_support.hpp"
#include "core/metric_errors.hpp"
#include "core/records.hpp"
#include "scorewell/scorewell.hpp"

using namespace pybind11::literals;

namespace scorewell {

namespace {

bool all_present(const py::list& names, const py::list& columns) {
  for (py::handle name : names) {
    if (!zcore::contains(columns, name)) return false;
  }
  return true;
}

// The column for `fields`: with several names, the row's texts as a list; with
// one, that column's cells turned into lists. None when a name is missing
// from the input or there are no names.
//
// A single column is read from the original cells, not their text form: a
// list and the text of a list give the same list either way, but the text
// form of an array cell ("['a' 'b']") is no list, and that of a missing cell
// ("nan", "None") would become a context.
py::object list_column(const py::object& data, const py::object& input_df, const py::list& fields,
                       const py::list& columns) {
  if (fields.empty() || !all_present(fields, columns)) return py::none();
  if (fields.size() > 1) {
    py::list rows = input_df[fields].attr(ZN_STR("values")).attr(ZN_STR("tolist"))();
    return scope().get("pd").attr(ZN_STR("Series"))(rows, "index"_a = input_df.attr(ZN_STR("index")),
                                                    "dtype"_a = "object");
  }
  return data[fields[0]].attr(ZN_STR("map"))(scope().get("transform_str_to_list"));
}

// A Python float for pandas / numpy scalars, so that results hold plain numbers.
py::object plain_number(py::handle value) {
  if (value.is_none() || PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) {
    return py::reinterpret_borrow<py::object>(value);
  }
  py::object item = zcore::attribute_or(value, "item", py::none());
  if (item.is_none()) return py::reinterpret_borrow<py::object>(value);
  return item();
}

// One dictionary per row, as `to_dict(orient="records")` gives, each with the
// records' "metadata" entry.
py::list metric_records(const py::object& data) {
  py::list records = zcore::row_dicts(data);
  for (py::handle record : records) {
    // A new dictionary and list per record: unitxt may change them in place.
    py::list policy;
    policy.append(ZN_STR("public"));
    py::dict metadata;
    metadata["data_classification_policy"] = policy;
    record[ZN_STR("metadata")] = metadata;
  }
  return records;
}

// unitxt estimates confidence intervals for every metric by resampling its
// scores; results carry the record scores and the provider's own mean, never
// those intervals. The catalog's methods are configured without them; a
// judge, built per evaluation, is told here. Anything that is no unitxt
// metric (a stand-in) is left as it is.
void skip_confidence_intervals(const py::object& metric) {
  if (PyUnicode_Check(metric.ptr())) return;
  py::object metrics = zcore::loaded_module("unitxt.metrics");
  if (metrics.is_none() ||
      !zcore::is_instance(metric, metrics.attr(ZN_STR("MetricWithConfidenceInterval")))) {
    return;
  }
  metric.attr(ZN_STR("set_confidence_interval_calculation"))(false);
}

}  // namespace

py::object evaluate(const py::object& self, const py::object& data) {
  try {
    scope().get("patch_bertscore_overflow")();
    py::object prepared = self.attr("_Scorewell__pre_process_data")("data"_a = data);
    py::object result = self.attr("_Scorewell__compute_metric")("data"_a = prepared);
    return self.attr("_Scorewell__post_process")("result"_a = result);
  } catch (py::error_already_set& error) {
    if (!zcore::is_ordinary(error)) throw;
    zcore::raise_metric_failure(
        scope().get("MetricComputationError"), self.attr(ZN_STR("metric_name")), error,
        " with the method " + zcore::to_text(self.attr(ZN_STR("metric_method"))) + " using unitxt library");
  }
}

zcore::Coro evaluate_async(py::object self, py::object data) {
  co_return co_await zcore::evaluate_in_executor(scope(), self, data, zcore::PassEvaluate::kPositional);
}

py::object pre_process_data(const py::object& self, const py::object& data) {
  py::object pd = scope().get("pd");
  py::object df = pd.attr(ZN_STR("DataFrame"))();
  py::list columns(data.attr(ZN_STR("columns")));
  py::object input_df = data.attr(ZN_STR("astype"))(py::str("str"));
  py::object configuration = self.attr(ZN_STR("configuration"));
  py::object mapping = self.attr(ZN_STR("column_mapping"));

  // An empty list of fields names no column: that column is left out, as a
  // missing one is, and unitxt reports it if the metric needs it.
  py::list input_fields(configuration.attr(ZN_STR("input_fields")));
  if (!input_fields.empty() && zcore::contains(columns, input_fields[0])) {
    df[mapping.attr(ZN_STR("question"))] = input_df[input_fields[0]];
  }
  py::list output_fields(configuration.attr(ZN_STR("output_fields")));
  if (!output_fields.empty() && all_present(output_fields, columns)) {
    df[mapping.attr(ZN_STR("answer"))] = input_df[output_fields[0]];
  }
  py::object contexts =
      list_column(data, input_df, py::list(configuration.attr(ZN_STR("context_fields"))), columns);
  if (!contexts.is_none()) df[mapping.attr(ZN_STR("contexts"))] = contexts;
  py::object references =
      list_column(data, input_df, py::list(configuration.attr(ZN_STR("reference_fields"))), columns);
  if (!references.is_none()) df[mapping.attr(ZN_STR("ground_truths"))] = references;
  df[py::str("record_id")] = input_df[configuration.attr(ZN_STR("record_id_field"))];
  return df;
}

py::object compute_metric(const py::object& self, const py::object& data) {
  py::list test_data = metric_records(data);
  py::object alias = self.attr(ZN_STR("metric_alias"));
  py::object unitxt_metric = self.attr("_Scorewell__generate_unitxt_metric")(
      "metric_name"_a = zcore::truthy(alias) ? alias : py::object(self.attr(ZN_STR("metric_name"))),
      "metric_prefix"_a = self.attr(ZN_STR("metric_prefix")));
  skip_confidence_intervals(unitxt_metric);

  const bool run_with_lock =
      zcore::contains(self.attr(ZN_STR("METRIC_METHODS_WITH_LOCKS")), self.attr(ZN_STR("metric_method"))) ||
      !self.attr(ZN_STR("llm_judge")).is_none();
  py::list instances;
  {
    std::optional<zcore::LockGuard> guard;
    if (run_with_lock) guard.emplace(scope().get("Scorewell").attr(ZN_STR("_lock")));
    py::dict streams;
    streams["test"] = test_data;
    py::object multi_stream =
        scope().get("MultiStream").attr(ZN_STR("from_iterables"))(streams, "copying"_a = true);
    py::list steps;
    steps.append(unitxt_metric);
    py::object metrics_operator = scope().get("SequentialOperator")("steps"_a = steps);
    instances = py::list(metrics_operator(multi_stream)[py::str("test")]);
  }

  // A judge's answer that failed, was empty, unreadable or off its template's
  // scale is scored 0 by the template's post-processing: it becomes the
  // record's error instead (column "judge_errors"). Only answers the pipeline
  // kept are checked: without one, its score stands.
  const bool judged = zcore::is_text(self.attr(ZN_STR("metric_method")), "llm_as_judge");
  py::object check = judged ? scope().get("judge_answers").attr("check_template_answer") : py::object();
  py::object judge_metric = zcore::truthy(alias) ? alias : py::object(self.attr(ZN_STR("metric_name")));
  py::list metric_values(instances.size());
  py::list judge_errors(instances.size());
  for (size_t i = 0; i < instances.size(); ++i) {
    py::object instance_score = instances[i][ZN_STR("score")][ZN_STR("instance")];
    metric_values[i] = instance_score[ZN_STR("score")];
    judge_errors[i] = py::none();
    if (!judged) continue;
    py::object raw_key =
        py::str(zcore::to_text(zcore::dict_get(instance_score, py::str("score_name"), py::str(""))) +
                "_judge_raw_output");
    if (!zcore::contains(instance_score, raw_key)) continue;
    py::object failed = check(judge_metric, instance_score[raw_key]);
    if (!failed.is_none()) {
      judge_errors[i] =
          scope().get("Error")("code"_a = failed[py::int_(0)], "message_en"_a = failed[py::int_(1)]);
    }
  }
  py::object results = scope().get("pd").attr(ZN_STR("DataFrame"))();
  results[self.attr(ZN_STR("metric_name"))] = metric_values;
  if (judged) results[py::str("judge_errors")] = judge_errors;
  // By position: the scores come in record order whatever the input's index.
  results[py::str("record_id")] = data[py::str("record_id")].attr(ZN_STR("tolist"))();
  return results;
}

py::object post_process(const py::object& self, const py::object& result) {
  py::object metric_name = self.attr(ZN_STR("metric_name"));
  py::object metric_method = self.attr(ZN_STR("metric_method"));
  py::object clip_table = self.attr(ZN_STR("CLIP_METRIC_METHODS"));
  const bool apply_clipping =
      zcore::contains(clip_table, metric_name) && zcore::contains(clip_table[metric_name], metric_method);

  // The fields every result of this metric starts with, record and aggregate alike.
  py::dict identity;
  identity["name"] = metric_name;
  identity["display_name"] = self.attr(ZN_STR("metric_display_name"));
  identity["method"] = metric_method;
  identity["group"] = self.attr(ZN_STR("metric_group"));
  identity["provider"] = scope().get("EvaluationProvider").attr(ZN_STR("UNITXT")).attr(ZN_STR("value"));
  py::object thresholds = self.attr(ZN_STR("thresholds"));
  py::dict shared = zcore::dict_copy(identity);
  shared["thresholds"] = thresholds;
  const zcore::GcPause pause;
  zcore::RecordBatch batch(scope().get("RecordMetricResult"), shared);

  py::list scores = result[metric_name].attr(ZN_STR("tolist"))();
  py::list record_ids = result[py::str("record_id")].attr(ZN_STR("tolist"))();
  const bool with_errors = zcore::contains(result.attr(ZN_STR("columns")), py::str("judge_errors"));
  py::list judge_errors;
  if (with_errors) judge_errors = result[py::str("judge_errors")].attr(ZN_STR("tolist"))();
  py::list record_level_metrics;
  py::list values;
  py::list scored;  // the scores as computed, of the records without an error
  // Records without a value, per error code, in order of first occurrence.
  py::dict lost;
  py::float_ zero(0.0);
  for (size_t i = 0; i < scores.size(); ++i) {
    py::dict fields;
    fields[ZN_STR("record_id")] = record_ids[i];
    py::object error = with_errors ? py::object(judge_errors[i]) : py::none();
    if (!error.is_none()) {
      py::list errors;
      errors.append(error);
      fields[ZN_STR("value")] = py::none();
      fields[ZN_STR("errors")] = errors;
      py::object code = error.attr(ZN_STR("code"));
      lost[code] = py::int_(zcore::dict_get(lost, code, py::int_(0)).cast<long long>() + 1);
      record_level_metrics.append(batch.make(fields));
      continue;
    }
    py::object score = plain_number(scores[i]);
    scored.append(score);
    if (apply_clipping) {
      // Not greater than zero, missing (NaN) included, becomes 0.0.
      const int positive = PyObject_RichCompareBool(score.ptr(), zero.ptr(), Py_GT);
      if (positive < 0) throw py::error_already_set();
      if (positive == 0) score = zero;
    }
    py::object value = zcore::round_to(score, 4);
    fields[ZN_STR("value")] = value;
    record_level_metrics.append(batch.make(fields));
    values.append(value);
  }

  py::object builtins = py::module_::import("builtins");
  py::dict fields = zcore::dict_copy(identity);
  fields["total_records"] = scores.size();
  fields["record_level_metrics"] = record_level_metrics;
  fields["thresholds"] = thresholds;
  if (lost.empty()) {
    // Over the scores as computed: before clipping and before rounding.
    py::object mean = zcore::round_to(plain_number(result[metric_name].attr(ZN_STR("mean"))()), 4);
    fields["value"] = mean;
    fields["min"] = builtins.attr("min")(values);
    fields["max"] = builtins.attr("max")(values);
    fields["mean"] = mean;
    return zcore::call_kw(scope().get("AggregateMetricResult"), fields);
  }
  // The mean of the records that were scored; the errors say how many were lost ("N of M ...").
  py::list errors;
  for (auto [code, count] : lost) {
    errors.append(scope().get("Error")(
        "code"_a = code,
        "message_en"_a = scope().get("judge_answers").attr("lost_message")(code, count, scores.size())));
  }
  fields["errors"] = errors;
  if (values.empty()) {
    fields["value"] = py::str("Error");
    fields["min"] = py::none();
    fields["max"] = py::none();
    fields["mean"] = py::none();
  } else {
    py::object mean = zcore::round_to(
        plain_number(
            scope().get("pd").attr(ZN_STR("Series"))(scored, "dtype"_a = "float64").attr(ZN_STR("mean"))()),
        4);
    fields["value"] = mean;
    fields["min"] = builtins.attr("min")(values);
    fields["max"] = builtins.attr("max")(values);
    fields["mean"] = mean;
  }
  return zcore::call_kw(scope().get("AggregateMetricResult"), fields);
}

}  // namespace scorewell
