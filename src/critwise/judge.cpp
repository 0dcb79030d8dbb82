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

py::object get_judge(const py::object& self) {
  py::object use_cache = scope().get("get_unitxt_enable_inference_cache")();
  py::dict params = self.attr("_Critwise__get_inference_engine_params")();
  const char* engine = zcore::judges::criteria_engine_class(scope(), self.attr(ZN_STR("llm_judge")));
  // A copy: the parameter dictionary itself never holds "use_cache".
  py::dict kwargs = zcore::dict_copy(params);
  kwargs["use_cache"] = use_cache;
  py::object inference_engine = zcore::call_kw(scope().get(engine), kwargs);
  return scope().get("DirectJudge")("inference_engine"_a = inference_engine, "generate_feedback"_a = true);
}

}  // namespace critwise
