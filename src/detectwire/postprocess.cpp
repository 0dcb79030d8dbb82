#include <algorithm>
#include <string>

#include "core/metric_errors.hpp"
#include "core/records.hpp"
#include "detectwire/detectwire.hpp"

namespace detectwire {

namespace {

using namespace pybind11::literals;

// Attributes of the provider that every result repeats, read once per call.
struct ResultFields {
  py::object record_name;
  py::object metric_name;
  py::object display_name;
  py::object method;
  py::object provider;
  py::object group;
  py::object thresholds;

  explicit ResultFields(const py::object& self)
      : metric_name(self.attr(ZN_STR("metric_name"))),
        display_name(self.attr(ZN_STR("metric_display_name"))),
        method(self.attr(ZN_STR("metric_method"))),
        provider(scope().get("EvaluationProvider").attr(ZN_STR("DETECTORS")).attr(ZN_STR("value"))),
        group(self.attr(ZN_STR("metric_group"))),
        thresholds(self.attr(ZN_STR("thresholds"))) {
    record_name = zcore::is_text(metric_name, "keyword") ? py::str("keyword_detection")
                  : zcore::is_text(metric_name, "regex") ? py::str("regex_detection")
                                                         : metric_name;
  }

  // The fields every record result of the call shares.
  py::dict shared() const {
    py::dict fields;
    fields["name"] = record_name;
    fields["display_name"] = display_name;
    fields["method"] = method;
    fields["provider"] = provider;
    fields["group"] = group;
    fields["thresholds"] = thresholds;
    return fields;
  }
};

// The strongest detection's score, rounded to four places; inverted for
// accuracy metrics. No detections score 0, or 1 for accuracy metrics.
py::object record_value(const py::object& detections, bool accuracy) {
  py::object best;
  for (py::handle detection : detections) {
    py::object score = detection[ZN_STR("score")];
    if (!best || score > best) best = score;
  }
  if (!best) return py::int_(accuracy ? 1 : 0);
  if (accuracy) best = py::int_(1) - best;
  return zcore::round_to(best, 4);
}

}  // namespace

bool in_table(const char* table, const py::handle& value) {
  return zcore::contains(scope().get(table), value);
}

py::object post_process(const py::object& self, const py::list& results, const py::list& record_ids) {
  const ResultFields fields(self);
  const bool accuracy = in_table("ACCURACY_METRICS", fields.metric_name);
  const bool with_evidences =
      in_table("EVIDENCES", fields.metric_name) ||
      (in_table("RAG_EVIDENCE_METRICS", fields.metric_name) && in_table("RAG_SMALL_MODELS", fields.method));
  py::object error_record = scope().get("Error");
  // Looked up once per call: a subclass or a patch in place before the call counts.
  py::object additional_info;
  if (with_evidences) additional_info = self.attr("_Detectwire__get_additional_info");

  const zcore::GcPause pause;
  zcore::RecordBatch batch(scope().get("RecordMetricResult"), fields.shared());
  py::list record_results;
  py::list values;
  py::list errors;
  const std::size_t count = std::min(py::len(results), py::len(record_ids));
  for (std::size_t i = 0; i < count; ++i) {
    py::object response = results[i];
    py::dict record;
    record[ZN_STR("record_id")] = record_ids[i];
    if (zcore::contains(response, ZN_STR("error"))) {
      py::object error = response[ZN_STR("error")];
      const auto copy = [&] {
        return error_record("code"_a = error.attr(ZN_STR("code")),
                            "message_en"_a = py::str(error.attr(ZN_STR("message_en"))));
      };
      py::list record_errors;
      record_errors.append(copy());
      record[ZN_STR("value")] = py::none();
      record[ZN_STR("errors")] = record_errors;
      record_results.append(batch.make(record));
      errors.append(copy());
      continue;
    }
    py::object detections = response[ZN_STR("detections")];
    py::object value = record_value(detections, accuracy);
    record[ZN_STR("value")] = value;
    if (with_evidences) {
      py::object evidences = additional_info(detections);
      if (zcore::truthy(evidences)) record[ZN_STR("evidences")] = evidences;
    }
    record_results.append(batch.make(record));
    values.append(value);
  }

  py::object mean = py::none();
  py::object minimum = py::none();
  py::object maximum = py::none();
  if (!values.empty()) {
    py::module_ builtins = py::module_::import("builtins");
    py::object total = builtins.attr("sum")(values);
    mean = zcore::round_to(total / py::int_(py::len(values)), 4);
    minimum = builtins.attr("min")(values);
    maximum = builtins.attr("max")(values);
  }
  py::dict aggregate;
  aggregate["name"] = fields.metric_name;
  aggregate["display_name"] = fields.display_name;
  aggregate["method"] = fields.method;
  aggregate["group"] = fields.group;
  aggregate["provider"] = fields.provider;
  aggregate["value"] = values.empty() ? py::object(py::str("Error")) : mean;
  aggregate["total_records"] = py::len(results);
  aggregate["record_level_metrics"] = record_results;
  aggregate["min"] = minimum;
  aggregate["max"] = maximum;
  aggregate["mean"] = mean;
  aggregate["thresholds"] = fields.thresholds;
  if (values.empty()) aggregate["errors"] = errors;
  return zcore::call_kw(scope().get("AggregateMetricResult"), aggregate);
}

py::list get_additional_info(const py::object& self, const py::object& results) {
  py::list evidences;
  if (in_table("RAG_EVIDENCE_METRICS", self.attr(ZN_STR("metric_name")))) {
    for (py::handle detection : results) evidences.append(detection[ZN_STR("evidence")][py::int_(0)]);
    return evidences;
  }
  for (py::handle detection : results) {
    py::dict evidence;
    for (py::handle key : {ZN_STR("text"), ZN_STR("score"), ZN_STR("start"), ZN_STR("end")}) {
      evidence[key] = detection[key];
    }
    evidences.append(evidence);
  }
  return evidences;
}

zcore::Coro evaluate_async(py::object self, py::object data) {
  try {
    py::tuple prepared = self.attr("_Detectwire__pre_process_data")(data);
    py::object bodies = prepared[0];
    py::object record_ids = prepared[1];
    py::object responses = co_await self.attr("_Detectwire__compute_metric")(bodies);
    co_return self.attr("_Detectwire__post_process")(responses, record_ids);
  } catch (py::error_already_set& error) {
    if (!zcore::is_ordinary(error)) throw;
    zcore::raise_metric_failure(scope().get("MetricComputationError"), self.attr(ZN_STR("metric_name")),
                                error);
  }
}

py::object evaluate(const py::object& self, const py::object& data) {
  return scope().get("run_in_event_loop")(self.attr(ZN_STR("evaluate_async")), "data"_a = data);
}

}  // namespace detectwire
