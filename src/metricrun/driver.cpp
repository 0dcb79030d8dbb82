#include <string>

#include "metricrun/metricrun.hpp"

namespace metricrun {

namespace {

constexpr long kDefaultMaxConcurrency = 10;

// Inputs shared by both driver forms once the common steps ran.
struct Prepared {
  py::object data;
  py::object api_client;
  py::list all_metrics;
};

// Inside one of the hosting products the SDK never creates a client itself.
bool is_hosted_environment() {
  py::object server = scope().get("os").attr(ZN_STR("environ")).attr(ZN_STR("get"))("ZENTRIX_SERVER");
  if (server.is_none()) return false;
  for (const char* hosted : {"ZNO", "ZNAI", "ZNGOV"}) {
    if (server.equal(py::str(hosted))) return true;
  }
  return false;
}

py::object default_api_client(py::object api_client) {
  if (is_hosted_environment() || zcore::truthy(api_client)) return api_client;
  py::object cached = scope().get("api_client_cache");
  if (!zcore::truthy(cached)) {
    cached = scope().get("APIClient")();
    scope().set("api_client_cache", cached);
  }
  return cached;
}

py::object as_data_frame(py::object data) {
  if (PyDict_Check(data.ptr())) {
    py::list rows;
    rows.append(data);
    data = std::move(rows);
  }
  if (PyList_Check(data.ptr())) data = scope().get("pd").attr(ZN_STR("DataFrame"))(data);
  return data;
}

Prepared prepare(const py::object& configuration, py::object data, const py::object& metrics,
                 py::object api_client, const py::object& metric_groups) {
  using namespace pybind11::literals;
  api_client = default_api_client(std::move(api_client));
  data = as_data_frame(std::move(data));
  scope().get("__validate_data")("configuration"_a = configuration, "data"_a = data);
  scope().get("__populate_record_id_timestamp")("configuration"_a = configuration, "data"_a = data);
  py::list all_metrics =
      scope().get("_resolve_metric_dependencies")("metrics"_a = metrics, "metric_groups"_a = metric_groups);
  return {std::move(data), std::move(api_client), std::move(all_metrics)};
}

// The keywords of one metric evaluation; extra keywords may not repeat them.
py::dict evaluation_keywords(const py::object& data, const py::object& configuration,
                             const py::object* metrics_result, const py::object& api_client,
                             const py::dict& kwargs, const char* operation) {
  py::dict keywords;
  keywords["data"] = data;
  keywords["configuration"] = configuration;
  if (metrics_result != nullptr) keywords["metrics_result"] = *metrics_result;
  keywords["api_client"] = api_client;
  for (auto [key, value] : kwargs) {
    if (zcore::contains(keywords, key)) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%S'", operation,
                   key.ptr());
      throw py::error_already_set();
    }
    keywords[key] = value;
  }
  return keywords;
}

py::dict telemetry_payload(const py::handle& metric) {
  py::dict payload;
  payload["objectType"] = "Metric Evaluation";
  payload["custom.metric_name"] = metric.attr(ZN_STR("name"));
  return payload;
}

py::list without_none(const py::list& results) {
  py::list kept;
  for (py::handle result : results) {
    if (!result.is_none()) kept.append(result);
  }
  return kept;
}

py::object merged_result(const py::list& metrics_result) {
  using namespace pybind11::literals;
  return scope().get("MetricsEvaluationResult")("metrics_result"_a = without_none(metrics_result));
}

// Evaluates one metric inside `with track_duration(label):`; returns false
// when the timing block swallowed the metric's error.
bool evaluate_timed(const py::handle& metric, const py::dict& keywords, py::list& metrics_result) {
  py::str label("Metric Evaluation - " + zcore::formatted(metric.attr(ZN_STR("name"))));
  py::object manager = scope().get("track_duration")(label);
  py::object manager_type = py::type::of(manager);
  py::object exit = manager_type.attr(ZN_STR("__exit__"));
  manager_type.attr(ZN_STR("__enter__"))(manager);
  try {
    metrics_result.append(zcore::call_kw(metric.attr(ZN_STR("evaluate")), keywords));
  } catch (py::error_already_set& error) {
    if (zcore::truthy(exit(manager, *zcore::exit_arguments(error)))) return false;
    throw;
  }
  exit(manager, py::none(), py::none(), py::none());
  return true;
}

// Closes coroutines that were created but will never run, so that an early
// failure does not leave "never awaited" warnings behind.
void discard(const py::list& futures) {
  for (py::handle future : futures) {
    if (py::hasattr(future, "close")) {
      try {
        future.attr("close")();
      } catch (py::error_already_set& error) {
        error.discard_as_unraisable(py::reinterpret_borrow<py::object>(future));
      }
    }
  }
}

}  // namespace

py::object evaluate_metrics(const py::object& configuration, py::object data, const py::object& metrics,
                            py::object api_client, const py::object& metric_groups,
                            const py::kwargs& kwargs) {
  zcore::require_list(metrics, "metrics");
  zcore::require_list(metric_groups, "metric_groups");
  Prepared prepared = prepare(configuration, std::move(data), metrics, std::move(api_client), metric_groups);

  py::list metrics_result;
  py::object segment_manager = scope().get("SegmentBatchManager")();

  py::object frame = prepared.data;
  py::object output_fields = configuration.attr(ZN_STR("output_fields"));
  if (zcore::truthy(output_fields)) {
    py::dict as_text;
    for (py::handle field : output_fields) as_text[field] = zcore::str_type();
    frame = frame.attr(ZN_STR("astype"))(as_text);
  }

  for (py::handle metric : prepared.all_metrics) {
    const bool dependent = zcore::truthy(metric.attr(ZN_STR("metric_dependencies")));
    py::object results_view = metrics_result;
    py::dict keywords = evaluation_keywords(frame, configuration, dependent ? &results_view : nullptr,
                                            prepared.api_client, kwargs, "evaluate");
    evaluate_timed(metric, keywords, metrics_result);
    scope().get("run_in_event_loop")(segment_manager.attr(ZN_STR("track_event")), telemetry_payload(metric));
  }
  return merged_result(metrics_result);
}

namespace {

zcore::Coro evaluate_metrics_async(py::object configuration, py::object data, py::object metrics,
                                   py::object api_client, py::object metric_groups, py::dict kwargs) {
  using namespace pybind11::literals;
  Prepared prepared = prepare(configuration, std::move(data), metrics, std::move(api_client), metric_groups);

  py::list metrics_result;
  py::list futures;
  py::list metrics_with_dependencies;
  py::dict dependency_metric_map;
  py::object segment_manager = scope().get("SegmentBatchManager")();
  py::object results_view = metrics_result;
  py::dict keywords = evaluation_keywords(prepared.data, configuration, &results_view, prepared.api_client,
                                          kwargs, "evaluate_async");
  try {
    // Metrics without dependencies: create their awaitables now, run later.
    for (py::handle metric : prepared.all_metrics) {
      if (zcore::truthy(metric.attr(ZN_STR("metric_dependencies")))) {
        metrics_with_dependencies.append(metric);
        continue;
      }
      futures.append(zcore::call_kw(metric.attr(ZN_STR("evaluate_async")), keywords));
      co_await segment_manager.attr(ZN_STR("track_event"))(telemetry_payload(metric));
      dependency_metric_map[metric.attr(ZN_STR("name"))] = futures[py::len(futures) - 1];
    }

    // Dependent metrics: their dependencies are awaited first, one at a time.
    segment_manager = scope().get("SegmentBatchManager")();
    for (py::handle metric : metrics_with_dependencies) {
      for (py::handle dependency : metric.attr(ZN_STR("metric_dependencies"))) {
        py::object name = dependency.attr(ZN_STR("name"));
        if (!zcore::contains(dependency_metric_map, name)) continue;
        py::object future = dependency_metric_map[name];
        metrics_result.append(co_await future);
        if (PyDict_DelItem(dependency_metric_map.ptr(), name.ptr()) != 0) throw py::error_already_set();
        futures.attr(ZN_STR("remove"))(future);
      }
      futures.append(zcore::call_kw(metric.attr(ZN_STR("evaluate_async")), keywords));
      co_await segment_manager.attr(ZN_STR("track_event"))(telemetry_payload(metric));
    }
  } catch (...) {
    discard(futures);
    throw;
  }

  py::object max_concurrency = kwargs.attr(ZN_STR("get"))("max_concurrency", kDefaultMaxConcurrency);
  py::object gathered = co_await scope().get("gather_with_concurrency")(
      "coros"_a = futures, "max_concurrency"_a = max_concurrency);
  metrics_result.attr(ZN_STR("extend"))(gathered);
  co_return merged_result(metrics_result);
}

}  // namespace

zcore::Coro start_evaluate_metrics_async(py::object configuration, py::object data, py::object metrics,
                                         py::object api_client, py::object metric_groups, py::kwargs kwargs) {
  zcore::require_list(metrics, "metrics");
  zcore::require_list(metric_groups, "metric_groups");
  return evaluate_metrics_async(std::move(configuration), std::move(data), std::move(metrics),
                                std::move(api_client), std::move(metric_groups), std::move(kwargs));
}

}  // namespace metricrun
