#include <string>

#include "core/bind.hpp"
#include "core/judge_kinds.hpp"
#include "core/judge_support.hpp"
#include "critwise/critwise.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace critwise {

zcore::ModuleScope& scope() {
  static zcore::ModuleScope instance;
  return instance;
}

namespace {

// Names bound on first use, read from the lazily loaded module `ea_imports`.
constexpr const char* kEvalassistNames[] = {
    "EACriteria", "EACriteriaOption", "Instance", "DirectJudge", "CrossProviderInferenceEngine",
};
// The other engine classes of the judge kinds (the SDK's own, which import
// unitxt too), read from `engine_imports`.
const zcore::judges::LazyEngines& engines() {
  static const zcore::judges::LazyEngines lazy = zcore::judges::criteria_engines(kEvalassistNames);
  return lazy;
}

py::object make_class(py::module_& m) {
  py::object cls = zcore::make_class(
      m, "Critwise", "The class to invoke eval assist library for computing the LLMAJ metrics.", py::dict());
  zcore::add_method(cls, "__init__", &init, "metric_name"_a, "display_name"_a, "value_type"_a, "llm_judge"_a,
                    "options"_a, "criteria_description"_a = py::none(), "prompt_template"_a = py::none(),
                    "context_fields"_a = py::none(), "prediction_field"_a = py::none(),
                    "metric_group"_a = py::none(), "metric_method"_a = py::none(),
                    "thresholds"_a = py::none());
  zcore::add_method(cls, "_Critwise__get_criteria", &get_criteria, "prediction_field"_a, "context_fields"_a);
  zcore::add_method(cls, "_Critwise__get_instances", &get_instances, "data"_a, "prediction_field"_a,
                    "context_fields"_a);
  zcore::add_method(cls, "_Critwise__get_inference_engine_params", &get_inference_engine_params);
  zcore::add_method(cls, "_Critwise__get_judge", &get_judge);
  zcore::add_method(cls, "evaluate", &evaluate, "data"_a);
  zcore::add_coroutine_method(cls, "evaluate_async", &evaluate_async, "data"_a);
  zcore::add_method(cls, "_Critwise__post_process", &post_process, "results"_a, "data"_a);
  return cls;
}

}  // namespace

py::object resolve_lazy_name(const py::str& name) {
  if (zcore::is_text(name, "tiktoken")) {
    // Reads the encodings shipped with litellm: nothing is ever downloaded.
    py::object value = py::module_::import("zentrix_gov.utils.tokens").attr("offline_tiktoken")();
    // Bound from now on: read like any module attribute, and replaceable.
    py::setattr(scope().module(), name, value);
    return value;
  }
  const zcore::LazySource sources[] = {{"ea_imports", kEvalassistNames}, {"engine_imports", engines().names}};
  return zcore::bind_lazy_name(scope(), name, sources, zcore::UnitxtSetUp::kCatalogAndPlatformKey);
}

}  // namespace critwise

PYBIND11_MODULE(critwise, m) {
  m.doc() = "Criteria-based LLM-as-judge metrics computed with the evalassist library.";
  critwise::scope().bind(
      m,
      {
          {"EvaluationProvider", "zentrix_gov.entities.enums", "EvaluationProvider"},
          {"RecordMetricResult", "zentrix_gov.entities.evaluation_result", "RecordMetricResult"},
          {"AggregateMetricResult", "zentrix_gov.entities.evaluation_result", "AggregateMetricResult"},
          {"Error", "zentrix_gov.entities.base_classes", "Error"},
          {"MetricComputationError", "zentrix_gov.entities.errors", "MetricComputationError"},
          {"NoJudgeResultsError", "zentrix_gov.entities.errors", "NoJudgeResultsError"},
          // Looked up at call time under the name callers patch; the corrected
          // spelling is bound beside it.
          {"get_untixt_enable_inference_cache", "zentrix_gov.utils.environment",
           "get_untixt_enable_inference_cache"},
          {"get_unitxt_enable_inference_cache", "zentrix_gov.utils.environment",
           "get_unitxt_enable_inference_cache"},
          {"get_zentrix_concurrency_limit", "zentrix_gov.utils.environment", "get_zentrix_concurrency_limit"},
          {"start_event_loop_run_func", "zentrix_gov.utils.async_util", "start_event_loop_run_func"},
          {"judge_answers", "zentrix_gov.utils.judge_answers", nullptr},
          {"lazy_imports", "lazy_imports", nullptr},
          {"asyncio", "asyncio", nullptr},
          {"functools", "functools", nullptr},
          {"re", "re", nullptr},
          {"pd", "pandas", nullptr},
          {"np", "numpy", nullptr},
      });
  // The judge models' record types, and the errors of the judge table.
  critwise::scope().add_imports(zcore::judges::imports());
  zcore::init_coroutines(m);

  // evalassist and unitxt, loaded when one of their names is first used.
  m.attr("ea_imports") = critwise::scope().lazy_module(
      "lazy_ea", {"from evalassist.judges import Criteria as EACriteria",
                  "from evalassist.judges import CriteriaOption as EACriteriaOption",
                  "from evalassist.judges import Instance, DirectJudge",
                  "from unitxt.inference import CrossProviderInferenceEngine"});
  m.attr("engine_imports") =
      critwise::scope().lazy_module("lazy_zentrix_judge_engines", critwise::engines().statements);
  m.def("__getattr__", &critwise::resolve_lazy_name, "name"_a,
        "Binds the names that need evalassist, unitxt or tiktoken the first time they are read.");

  // One identifier in braces; group 1 is the identifier.
  m.attr("VARIABLES_PATTERN") = py::str("\\{([a-zA-Z_][a-zA-Z0-9_]*)\\}");

  m.attr("Critwise") = critwise::make_class(m);
}
