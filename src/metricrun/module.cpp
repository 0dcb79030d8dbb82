#include "core/bind.hpp"
#include "metricrun/metricrun.hpp"

namespace py = pybind11;

namespace metricrun {

zcore::ModuleScope& scope() {
  static zcore::ModuleScope instance;
  return instance;
}

}  // namespace metricrun

PYBIND11_MODULE(metricrun, m) {
  using namespace pybind11::literals;
  m.doc() = "Runs a list of metrics over a table of records and merges their results.";
  // Collaborators are module attributes, looked up when used, so that
  // callers can rebind or patch them.
  metricrun::scope().bind(
      m, {
             {"APIClient", "zentrix_gov.clients.api_client", "APIClient"},
             {"SegmentBatchManager", "zentrix_gov.utils.segment_batch_manager", "SegmentBatchManager"},
             {"run_in_event_loop", "zentrix_gov.utils.async_util", "run_in_event_loop"},
             {"gather_with_concurrency", "zentrix_gov.utils.async_util", "gather_with_concurrency"},
             {"track_duration", "zentrix_gov.utils.python_utils", "track_duration"},
             {"MetricsEvaluationResult", "zentrix_gov.entities.evaluation_result", "MetricsEvaluationResult"},
             {"GenAIMetric", "zentrix_gov.entities.metric", "GenAIMetric"},
             {"MetricGroup", "zentrix_gov.entities.enums", "MetricGroup"},
             {"GenAIConfiguration", "zentrix_gov.config", "GenAIConfiguration"},
             {"AgenticAIConfiguration", "zentrix_gov.config", "AgenticAIConfiguration"},
             {"datetime", "datetime", "datetime"},
             {"pd", "pandas", nullptr},
             {"os", "os", nullptr},
         });
  zcore::init_coroutines(m);
  m.attr("api_client_cache") = py::none();

  m.def("__validate_data", &metricrun::validate_data, "configuration"_a, "data"_a,
        "Raises ValueError when the table has no rows or no columns.");
  m.def("__populate_record_id_timestamp", &metricrun::populate_record_id_timestamp, "configuration"_a,
        "data"_a, "Fills missing or all-null record id and timestamp columns of `data` in place.");
  m.def("_resolve_metric_dependencies", &metricrun::resolve_metric_dependencies, "metrics"_a = py::list(),
        "metric_groups"_a = py::list(),
        "Flattens metrics, their direct dependencies and the metrics of groups into one ordered list.");
  m.def("_evaluate_metrics", &metricrun::evaluate_metrics, "configuration"_a, "data"_a, "metrics"_a,
        "api_client"_a = py::none(), "metric_groups"_a = py::list(),
        "Evaluates the metrics one after another and returns a MetricsEvaluationResult.");
  zcore::def_coroutine(m, "_evaluate_metrics_async", &metricrun::start_evaluate_metrics_async,
                       "configuration"_a, "data"_a, "metrics"_a, "api_client"_a = py::none(),
                       "metric_groups"_a = py::list(),
                       "Evaluates the metrics concurrently (at most `max_concurrency`, default 10, at once); "
                       "awaitable.");
}
