#include <string_view>

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

// Adds a C++ function to `cls` as an ordinary (overridable) method.
// pybind11 treats any function named "__init__" as the constructor of one of
// its own classes, so the constructor gets a distinct function name.
template <typename Function, typename... Extra>
void add_method(py::object& cls, const char* name, Function&& function, const Extra&... extra) {
  const char* function_name = std::string_view(name) == "__init__" ? "Detectwire.__init__" : name;
  cls.attr(name) = py::cpp_function(std::forward<Function>(function), py::name(function_name),
                                    py::is_method(cls), extra...);
}

py::object make_class(py::module_& m) {
  py::dict namespace_;
  namespace_["__module__"] = m.attr("__name__");
  namespace_["__qualname__"] = "Detectwire";
  namespace_["__doc__"] =
      "Computes detector metrics by sending each record to the text-detection service.\n\n"
      "Built for one metric; `evaluate(data)` / `evaluate_async(data)` return an AggregateMetricResult.";
  namespace_["RETRY_AFTER_STATUS_CODES"] = py::list(py::make_tuple(502, 503, 504));
  namespace_["RETRY_COUNT"] = 3;
  namespace_["BACK_OFF_FACTOR"] = 1;
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object cls = type("Detectwire", py::make_tuple(), namespace_);

  add_method(cls, "__init__", &detectwire::init, "configuration"_a, "metric_name"_a, "metric_display_name"_a,
             "metric_method"_a = py::none(), "metric_group"_a = py::none(), "thresholds"_a = py::none());
  add_method(cls, "set_metric_name", &detectwire::set_metric_name, "metric_name"_a);
  add_method(cls, "get_detector_url", &detectwire::get_detector_url, "api_client"_a);
  add_method(cls, "get_service_instance_id", &detectwire::get_service_instance_id, "api_client"_a);
  add_method(cls, "_Detectwire__get_base_url", &detectwire::get_base_url, "metric_name"_a);
  add_method(cls, "_Detectwire__pre_process_data", &detectwire::pre_process_data, "data"_a);
  add_method(cls, "_Detectwire__get_json_payloads", &detectwire::get_json_payloads, "input_contents"_a,
             "output_contents"_a, "context_contents"_a, "tools_catalog_content"_a, "tool_calls_content"_a);
  add_method(cls, "get_tool_calls_content", &detectwire::get_tool_calls_content, "data"_a);
  add_method(cls, "get_tools_catalog_content", &detectwire::get_tools_catalog_content);
  add_method(cls, "_Detectwire__get_headers", &detectwire::get_headers);
  add_method(
      cls, "send_with_retries",
      [](py::object self, py::object payload, py::object session) {
        return zcore::to_python(
            detectwire::send_with_retries(std::move(self), std::move(payload), std::move(session)),
            ZN_STR("Detectwire.send_with_retries"));
      },
      "payload"_a, "session"_a);
  add_method(
      cls, "_Detectwire__compute_metric",
      [](py::object self, const py::object& api_payloads) {
        zcore::require_list(api_payloads, "api_payloads");
        return zcore::to_python(detectwire::compute_metric(std::move(self), py::list(api_payloads)),
                                ZN_STR("Detectwire.__compute_metric"));
      },
      "api_payloads"_a);
  add_method(
      cls, "_Detectwire__post_process",
      [](const py::object& self, const py::object& results, const py::object& record_ids) {
        zcore::require_list(results, "results");
        zcore::require_list(record_ids, "record_ids");
        return detectwire::post_process(self, py::list(results), py::list(record_ids));
      },
      "results"_a, "record_ids"_a);
  add_method(cls, "_Detectwire__get_additional_info", &detectwire::get_additional_info, "results"_a);
  add_method(cls, "evaluate", &detectwire::evaluate, "data"_a);
  add_method(
      cls, "evaluate_async",
      [](py::object self, py::object data) {
        return zcore::to_python(detectwire::evaluate_async(std::move(self), std::move(data)),
                                ZN_STR("Detectwire.evaluate_async"));
      },
      "data"_a);
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
             {"get_authenticator_token", "zentrix_gov.utils.python_utils", "get_authenticator_token"},
             {"transform_str_to_list", "zentrix_gov.utils.python_utils", "transform_str_to_list"},
             {"RecordMetricResult", "zentrix_gov.entities.evaluation_result", "RecordMetricResult"},
             {"AggregateMetricResult", "zentrix_gov.entities.evaluation_result", "AggregateMetricResult"},
             {"Error", "zentrix_gov.entities.base_classes", "Error"},
             {"EvaluationProvider", "zentrix_gov.entities.enums", "EvaluationProvider"},
             {"BasaltGuardianRisks", "zentrix_gov.entities.enums", "BasaltGuardianRisks"},
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
      "_json_dumps", [](py::handle value) { return zcore::json::dumps(value.ptr()); }, "value"_a,
      "The request-body writer's text for one value; identical to json.dumps(value).");
}
