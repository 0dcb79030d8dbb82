#include "core/bind.hpp"
#include "core/json_writer.hpp"
#include "detectwire/detectwire.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace detectwire {

zcore::ModuleScope& scope() {
  static zcore::ModuleScope instance;
  return instance;
}

}  // namespace detectwire

namespace {

py::list text_list(std::initializer_list<const char*> items) {
  py::list result;
  for (const char* item : items) result.append(item);
  return result;
}

// Checked here, at the call, so that a wrong type fails before any work.
zcore::Coro start_compute_metric(py::object self, py::object api_payloads) {
  zcore::require_list(api_payloads, "api_payloads");
  return detectwire::compute_metric(std::move(self), py::list(std::move(api_payloads)));
}

py::object post_process(const py::object& self, const py::object& results, const py::object& record_ids) {
  zcore::require_list(results, "results");
  zcore::require_list(record_ids, "record_ids");
  return detectwire::post_process(self, py::list(results), py::list(record_ids));
}

py::object make_class(py::module_& m) {
  py::dict attributes;
  attributes["RETRY_AFTER_STATUS_CODES"] = py::list(py::make_tuple(502, 503, 504));
  attributes["RETRY_COUNT"] = 3;
  attributes["BACK_OFF_FACTOR"] = 1;
  // Seconds a request may take in all; None keeps the HTTP library's default.
  attributes["REQUEST_TIMEOUT"] = py::none();
  py::object cls = zcore::make_class(
      m, "Detectwire",
      "Computes detector metrics by sending each record to the text-detection service.\n\n"
      "Built for one metric; `evaluate(data)` / `evaluate_async(data)` return an AggregateMetricResult.",
      attributes);

  zcore::add_method(cls, "__init__", &detectwire::init, "configuration"_a, "metric_name"_a,
                    "metric_display_name"_a, "metric_method"_a = py::none(), "metric_group"_a = py::none(),
                    "thresholds"_a = py::none());
  zcore::add_method(cls, "set_metric_name", &detectwire::set_metric_name, "metric_name"_a);
  zcore::add_method(cls, "get_detector_url", &detectwire::get_detector_url, "api_client"_a);
  zcore::add_method(cls, "get_service_instance_id", &detectwire::get_service_instance_id, "api_client"_a);
  zcore::add_method(cls, "_Detectwire__get_base_url", &detectwire::get_base_url, "metric_name"_a);
  zcore::add_method(cls, "_Detectwire__pre_process_data", &detectwire::pre_process_data, "data"_a);
  zcore::add_method(cls, "_Detectwire__get_json_payloads", &detectwire::get_json_payloads, "input_contents"_a,
                    "output_contents"_a, "context_contents"_a, "tools_catalog_content"_a,
                    "tool_calls_content"_a);
  zcore::add_method(cls, "get_tool_calls_content", &detectwire::get_tool_calls_content, "data"_a);
  zcore::add_method(cls, "get_tools_catalog_content", &detectwire::get_tools_catalog_content);
  zcore::add_method(cls, "_Detectwire__get_headers", &detectwire::get_headers);
  zcore::add_coroutine_method(cls, "send_with_retries", &detectwire::send_with_retries, "payload"_a,
                              "session"_a);
  zcore::add_coroutine_method(cls, "_Detectwire__compute_metric", &start_compute_metric, "api_payloads"_a);
  zcore::add_method(cls, "_Detectwire__post_process", &post_process, "results"_a, "record_ids"_a);
  zcore::add_method(cls, "_Detectwire__get_additional_info", &detectwire::get_additional_info, "results"_a);
  zcore::add_method(cls, "evaluate", &detectwire::evaluate, "data"_a);
  zcore::add_coroutine_method(cls, "evaluate_async", &detectwire::evaluate_async, "data"_a);
  return cls;
}

}  // namespace

PYBIND11_MODULE(detectwire, m) {
  m.doc() = "Detector metrics computed by the remote text-detection service.";
  // Collaborators are module attributes, looked up when used, so that
  // callers can rebind or patch them.
  detectwire::scope().bind(
      m, {
             {"EVSClient", "evs_sdk", "APIClient"},
             {"ToolCallMetricProvider", "zentrix_gov.providers.tool_call_metric_provider",
              "ToolCallMetricProvider"},
             {"run_in_event_loop", "zentrix_gov.utils.async_util", "run_in_event_loop"},
             {"run_session", "zentrix_gov.utils.sessions", "run_session"},
             {"get_authenticator_token", "zentrix_gov.utils.python_utils", "get_authenticator_token"},
             {"transform_str_to_list", "zentrix_gov.utils.python_utils", "transform_str_to_list"},
             {"RecordMetricResult", "zentrix_gov.entities.evaluation_result", "RecordMetricResult"},
             {"AggregateMetricResult", "zentrix_gov.entities.evaluation_result", "AggregateMetricResult"},
             {"Error", "zentrix_gov.entities.base_classes", "Error"},
             {"MetricComputationError", "zentrix_gov.entities.errors", "MetricComputationError"},
             {"EvaluationProvider", "zentrix_gov.entities.enums", "EvaluationProvider"},
             {"BasaltGuardianRisks", "zentrix_gov.entities.enums", "BasaltGuardianRisks"},
             {"trace_configs", "zentrix_gov.tracing.current", "detection_trace_configs"},
             {"aiohttp", "aiohttp", nullptr},
             {"asyncio", "asyncio", nullptr},
             {"json", "json", nullptr},
             {"pd", "pandas", nullptr},
         });
  zcore::init_coroutines(m);

  m.attr("ACCURACY_METRICS") = text_list({"topic_relevance", "tool_call_accuracy"});
  m.attr("RAG_EVIDENCE_METRICS") = text_list({"faithfulness", "context_relevance"});
  m.attr("RAG_SMALL_MODELS") = text_list({"faithfulness_model", "context_relevance_model"});
  m.attr("EVIDENCES") = text_list({"hap", "pii", "keyword", "regex"});

  m.attr("Detectwire") = make_class(m);
  m.def(
      "_json_dumps", [](py::handle value) { return zcore::json::dumps(value); }, "value"_a,
      "The request-body writer's text for one value; identical to json.dumps(value).");
}
