// One evaluation: build the judge, run it in criteria mode or on the
// provider's own prompt template, and turn the verdicts into results. Any
// ordinary error on the way is reported as the metric's failure.
#include <string>

#include "core/frames.hpp"
#include "core/judge_support.hpp"
#include "core/metric_errors.hpp"
#include "critwise/critwise.hpp"

using namespace pybind11::literals;

namespace critwise {

namespace {

// The template filled from every row, in row order; every column is
// available by its name.
py::list judge_prompts(const py::object& prompt_template, const py::object& data) {
  py::object format_map = prompt_template.attr(ZN_STR("format_map"));
  py::list prompts;
  for (py::handle row : zcore::row_dicts(data)) prompts.append(format_map(row));
  return prompts;
}

py::object verdicts(const py::object& self, const py::object& judge, const py::object& data) {
  if (zcore::truthy(self.attr(ZN_STR("criteria_description")))) {
    py::object prediction_field = self.attr(ZN_STR("prediction_field"));
    py::object context_fields = self.attr(ZN_STR("context_fields"));
    py::object criteria = self.attr("_Critwise__get_criteria")("prediction_field"_a = prediction_field,
                                                               "context_fields"_a = context_fields);
    py::object instances = self.attr("_Critwise__get_instances")(
        "data"_a = data, "prediction_field"_a = prediction_field, "context_fields"_a = context_fields);
    return judge("instances"_a = instances, "criteria"_a = criteria);
  }
  py::object prompt_template = self.attr(ZN_STR("prompt_template"));
  if (zcore::truthy(prompt_template)) {
    py::list prompts = judge_prompts(prompt_template, data);
    py::list valid_outputs;
    for (py::handle option : self.attr(ZN_STR("options"))) valid_outputs.append(option.attr(ZN_STR("name")));
    return judge.attr(ZN_STR("evaluate_with_custom_prompt"))("judge_prompts"_a = prompts,
                                                             "valid_outputs"_a = valid_outputs);
  }
  zcore::raise_error(scope().get("NoJudgeResultsError")(
      "the judge produced no results: the metric has neither a criteria description nor a prompt template.",
      "metric_name"_a = self.attr(ZN_STR("metric_name"))));
}

}  // namespace

py::object evaluate(const py::object& self, const py::object& data) {
  try {
    py::object judge = self.attr("_Critwise__get_judge")();
    py::object results = verdicts(self, judge, data);
    return self.attr("_Critwise__post_process")("results"_a = results, "data"_a = data);
  } catch (py::error_already_set& error) {
    if (!zcore::is_ordinary(error)) throw;
    zcore::raise_metric_failure(scope().get("MetricComputationError"), self.attr(ZN_STR("metric_name")),
                                error);
  }
}

zcore::Coro evaluate_async(py::object self, py::object data) {
  co_return co_await zcore::evaluate_in_executor(scope(), self, data, zcore::PassEvaluate::kKeyword);
}

}  // namespace critwise
