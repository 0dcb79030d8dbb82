// The judge of one evaluation: an inference engine whose class and keyword
// arguments follow the kind of the judge model (core/judge_kinds), under
// evalassist's DirectJudge.
#include "core/judge_kinds.hpp"
#include "critwise/critwise.hpp"

using namespace pybind11::literals;

namespace critwise {

py::dict get_inference_engine_params(const py::object& self) {
  return zcore::judges::criteria_parameters(scope(), self.attr(ZN_STR("llm_judge")).attr(ZN_STR("model")));
}

namespace {

// The engine of a judge with request options: the SDK's own, asked for the
// verdict's JSON schema (with feedback in criteria mode, as the judge asks for it).
py::object options_engine(const py::object& self, const py::object& use_cache) {
  py::module_ engines = py::module_::import("zentrix_gov.engines.openai_judge");
  py::list names;
  for (py::handle option : self.attr(ZN_STR("options"))) names.append(option.attr(ZN_STR("name")));
  const bool criteria_mode = zcore::truthy(self.attr(ZN_STR("criteria_description")));
  py::object schema = engines.attr("verdict_schema")(names, py::bool_(criteria_mode));
  return engines.attr("judge_engine")(self.attr(ZN_STR("llm_judge")), use_cache, schema);
}

}  // namespace

py::object get_judge(const py::object& self) {
  py::object use_cache = scope().get("get_untixt_enable_inference_cache")();
  py::object llm_judge = self.attr(ZN_STR("llm_judge"));
  if (zcore::truthy(llm_judge) &&
      zcore::truthy(zcore::attribute_or(llm_judge, "request_options", py::none()))) {
    return scope().get("DirectJudge")("inference_engine"_a = options_engine(self, use_cache),
                                      "generate_feedback"_a = true);
  }
  py::dict params = self.attr("_Critwise__get_inference_engine_params")();
  const char* engine = zcore::judges::criteria_engine_class(scope(), self.attr(ZN_STR("llm_judge")));
  // A copy: the parameter dictionary itself never holds "use_cache".
  py::dict kwargs = zcore::dict_copy(params);
  kwargs["use_cache"] = use_cache;
  py::object inference_engine = zcore::call_kw(scope().get(engine), kwargs);
  return scope().get("DirectJudge")("inference_engine"_a = inference_engine, "generate_feedback"_a = true);
}

}  // namespace critwise
