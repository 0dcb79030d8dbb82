#include <string>

#include "core/bind.hpp"
#include "core/judge_kinds.hpp"
#include "core/judge_support.hpp"
#include "scorewell/scorewell.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace scorewell {

zcore::ModuleScope& scope() {
  static zcore::ModuleScope instance;
  return instance;
}

namespace {

constexpr const char* kInferenceImports =
    "from unitxt.inference import AzureOpenAIInferenceEngine, OpenAiInferenceEngine, LiteLLMInferenceEngine";

// Names bound on first use, read from the lazily loaded module `unitxt_imports`.
constexpr const char* kUnitxtNames[] = {
    "ChatAPIFormat",
    "Format",
    "MLPInferenceEngineGeneration",
    "OpenAiInferenceEngine",
    "AzureOpenAIInferenceEngine",
    "TaskBasedLLMasJudge",
    "SequentialOperator",
    "MultiStream",
    "LiteLLMInferenceEngine",
};
// The other engine classes of the judge kinds (the SDK's own, which import
// unitxt too), read from `engine_imports`.
const zcore::judges::LazyEngines& engines() {
  static const zcore::judges::LazyEngines lazy = zcore::judges::template_engines(kUnitxtNames);
  return lazy;
}

py::object make_column_mapping(py::module_& m) {
  py::object field = scope().get("Field");
  auto text_field = [&field](const char* default_name, const char* description) {
    return py::make_tuple(py::module_::import("builtins").attr("str"),
                          field(default_name, "description"_a = description));
  };
  py::object model =
      py::module_::import("pydantic")
          .attr("create_model")(
              "UnitxtColumnMapping", "__base__"_a = scope().get("BaseModel"),
              "__module__"_a = m.attr("__name__"), "__doc__"_a = "Column mapping expected by unitxt",
              "question"_a = text_field("question", "Expected question column name by unitxt"),
              "answer"_a = text_field("answer", "Expected answer column name by unitxt"),
              "contexts"_a = text_field("contexts", "Expected contexts column name by unitxt"),
              "ground_truths"_a =
                  text_field("ground_truths", "Expected ground_truths column name by unitxt"));
  return model;
}

py::object text_set(std::initializer_list<const char*> items) {
  py::set result;
  for (const char* item : items) result.add(py::str(item));
  return result;
}

py::object make_class(py::module_& m) {
  py::dict clip;
  clip["context_relevance"] = text_set({"sentence_bert_bge", "sentence_bert_mini_lm"});
  clip["faithfulness"] = text_set({"sentence_bert_mini_lm"});
  clip["answer_correctness"] = text_set({"sentence_bert_mini_lm"});
  py::dict attributes;
  attributes["CLIP_METRIC_METHODS"] = clip;
  attributes["METRIC_METHODS_WITH_LOCKS"] =
      text_set({"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"});
  // One lock for every provider of the process (see _Scorewell__compute_metric).
  attributes["_lock"] = scope().get("threading").attr("Lock")();
  py::object cls = zcore::make_class(
      m, "Scorewell",
      "Computes judge-based and RAG metrics with unitxt pipelines.\n\n"
      "Built for one metric; `evaluate(data)` / `evaluate_async(data)` return an AggregateMetricResult.",
      attributes);

  zcore::add_method(cls, "__init__", &init, "configuration"_a, "metric_name"_a, "metric_display_name"_a,
                    "metric_method"_a, "metric_prefix"_a, "metric_alias"_a = py::none(),
                    "metric_group"_a = py::none(), "column_mapping"_a = py::none(),
                    "llm_judge"_a = py::none(), "thresholds"_a = py::none());
  zcore::add_method(cls, "_Scorewell__generate_unitxt_metric", &generate_unitxt_metric, "metric_name"_a,
                    "metric_prefix"_a);
  zcore::add_method(cls, "_Scorewell__get_llmaj_template", &get_llmaj_template, "metric_name"_a);
  zcore::add_method(cls, "_Scorewell__get_llmaj_format", &get_llmaj_format);
  zcore::add_method(cls, "_Scorewell__get_llmaj_metric", &get_llmaj_metric, "metric_name"_a);
  zcore::add_method(cls, "_Scorewell__get_ai_evaluator_inference_engine", &get_ai_evaluator_inference_engine);
  zcore::add_method(cls, "evaluate", &evaluate, "data"_a);
  zcore::add_coroutine_method(cls, "evaluate_async", &evaluate_async, "data"_a);
  zcore::add_method(cls, "_Scorewell__pre_process_data", &pre_process_data, "data"_a);
  zcore::add_method(cls, "_Scorewell__compute_metric", &compute_metric, "data"_a);
  zcore::add_method(cls, "_Scorewell__post_process", &post_process, "result"_a);

  // A static method memoised by cachetools with its default key (the call's
  // arguments as passed), in the module's TTL cache under the module's lock.
  py::object impl =
      py::cpp_function(&create_inference_engine_impl, py::name("_create_inference_engine_impl"), "provider"_a,
                       "model_id"_a, "use_cache"_a, "credentials_json"_a, "parameters_json"_a = "");
  py::object cached = scope()
                          .get("cachetools")
                          .attr("cached")("cache"_a = scope().get("_inference_engine_cache"),
                                          "lock"_a = scope().get("_inference_engine_cache_lock"));
  py::object staticmethod = py::module_::import("builtins").attr("staticmethod");
  cls.attr("_create_inference_engine_impl") = staticmethod(cached(impl));
  return cls;
}

}  // namespace

py::object resolve_lazy_name(const py::str& name) {
  const zcore::LazySource sources[] = {{"unitxt_imports", kUnitxtNames}, {"engine_imports", engines().names}};
  return zcore::bind_lazy_name(scope(), name, sources, zcore::UnitxtSetUp::kCatalog);
}

}  // namespace scorewell

PYBIND11_MODULE(scorewell, m) {
  m.doc() = "Judge-based and RAG metrics computed with pipelines of the unitxt library.";
  scorewell::scope().bind(
      m, {
             {"ModelProviderType", "zentrix_gov.entities.enums", "ModelProviderType"},
             {"EvaluationProvider", "zentrix_gov.entities.enums", "EvaluationProvider"},
             {"RecordMetricResult", "zentrix_gov.entities.evaluation_result", "RecordMetricResult"},
             {"AggregateMetricResult", "zentrix_gov.entities.evaluation_result", "AggregateMetricResult"},
             {"MetricComputationError", "zentrix_gov.entities.errors", "MetricComputationError"},
             {"Error", "zentrix_gov.entities.base_classes", "Error"},
             {"judge_answers", "zentrix_gov.utils.judge_answers", nullptr},
             // Looked up at call time under the name callers patch; the corrected
             // spelling is bound beside it.
             {"get_untixt_enable_inference_cache", "zentrix_gov.utils.environment",
              "get_untixt_enable_inference_cache"},
             {"get_unitxt_enable_inference_cache", "zentrix_gov.utils.environment",
              "get_unitxt_enable_inference_cache"},
             {"transform_str_to_list", "zentrix_gov.utils.python_utils", "transform_str_to_list"},
             {"start_event_loop_run_func", "zentrix_gov.utils.async_util", "start_event_loop_run_func"},
             {"when_imported", "zentrix_gov.utils.import_hooks", "when_imported"},
             {"BaseModel", "pydantic", "BaseModel"},
             {"Field", "pydantic", "Field"},
             {"cachetools", "cachetools", nullptr},
             {"lazy_imports", "lazy_imports", nullptr},
             {"threading", "threading", nullptr},
             {"asyncio", "asyncio", nullptr},
             {"functools", "functools", nullptr},
             {"json", "json", nullptr},
             {"pd", "pandas", nullptr},
         });
  // The judge models' record types, and the errors of the judge table.
  scorewell::scope().add_imports(zcore::judges::imports());
  zcore::init_coroutines(m);

  // 1. unitxt, loaded when one of its names is first used. unitxt has no
  //    class named MLPInferenceEngineGeneration: the SDK's own engine for the
  //    platform's text-generation endpoint stands under that name.
  m.attr("unitxt_imports") = scorewell::scope().lazy_module(
      "lazy_unitxt",
      {"from unitxt.formats import ChatAPIFormat, Format", scorewell::kInferenceImports,
       "from zentrix_gov.engines import MLPInferenceEngineGeneration",
       "from unitxt.llm_as_judge import TaskBasedLLMasJudge",
       "from unitxt.operator import SequentialOperator", "from unitxt.stream import MultiStream"});
  m.attr("engine_imports") =
      scorewell::scope().lazy_module("lazy_zentrix_engines", scorewell::engines().statements);
  m.def("__getattr__", &scorewell::resolve_lazy_name, "name"_a,
        "Binds the names that need unitxt the first time they are read.");

  // 2. patch_bertscore_overflow (applied by evaluate, not here).
  m.def("patch_bertscore_overflow", &scorewell::patch_bertscore_overflow,
        "Caps bert_score tokenizers' maximum length above 100000 at 512, once per process.");

  // 3. The judge-engine cache and its lock.
  m.attr("_inference_engine_cache") =
      scorewell::scope().get("cachetools").attr("TTLCache")("maxsize"_a = 128, "ttl"_a = 3600);
  m.attr("_inference_engine_cache_lock") = scorewell::scope().get("threading").attr("Lock")();

  // 4. The column names handed to unitxt.
  m.attr("UnitxtColumnMapping") = scorewell::make_column_mapping(m);

  // 5. Judge templates of the RAG metrics.
  py::dict templates;
  templates["faithfulness"] = "judge_with_question_simplified";
  templates["context_relevance"] = "judge_context_relevance_ares";
  templates["answer_correctness"] = "judge_loose_match_no_context";
  templates["answer_relevance"] = "judge_answer_relevance";
  m.attr("METRIC_TO_TEMPLATE") = templates;

  // 6. The provider.
  m.attr("Scorewell") = scorewell::make_class(m);
}
