// The judge's inference engine: the engine class and its arguments follow the
// kind of the judge model (core/judge_kinds); engines other than
// custom-function ones come from a memoised factory keyed by plain texts, so
// equal models and credentials share one engine.
#include "core/judge_kinds.hpp"
#include "scorewell/scorewell.hpp"

namespace scorewell {

namespace {

py::object loads_or_empty(const py::object& text) {
  if (!zcore::truthy(text)) return py::dict();
  return scope().get("json").attr(ZN_STR("loads"))(text);
}

}  // namespace

py::object get_ai_evaluator_inference_engine(const py::object& self) {
  const bool use_cache = zcore::truthy(scope().get("get_untixt_enable_inference_cache")());
  py::object llm_judge = self.attr(ZN_STR("llm_judge"));
  if (zcore::truthy(zcore::attribute_or(llm_judge, "request_options", py::none()))) {
    // A judge that asks for the SDK's own engine (answer cap, time-outs, ...). The
    // template-library judges answer in plain text: no response schema.
    return py::module_::import("zentrix_gov.engines.openai_judge").attr("judge_engine")(llm_judge, use_cache);
  }
  py::object model = llm_judge.attr(ZN_STR("model"));
  py::object factory = scope().get("Scorewell").attr(ZN_STR("_create_inference_engine_impl"));
  return zcore::judges::template_engine(scope(), model, use_cache, factory);
}

py::object create_inference_engine_impl(const py::object& provider, const py::object& model_id,
                                        const py::object& use_cache, const py::object& credentials_json,
                                        const py::object& parameters_json) {
  zcore::require_text_or_none(provider, "provider");
  zcore::require_text_or_none(model_id, "model_id");
  zcore::require_text_or_none(credentials_json, "credentials_json");
  zcore::require_text_or_none(parameters_json, "parameters_json");
  const bool cache_flag = zcore::truthy(use_cache);
  py::object credentials = loads_or_empty(credentials_json);
  py::object parameters = loads_or_empty(parameters_json);
  return zcore::judges::factory_engine(scope(), provider, model_id, cache_flag, credentials, parameters);
}

}  // namespace scorewell
