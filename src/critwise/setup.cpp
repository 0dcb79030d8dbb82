// Construction: argument checks, then the named values and the three
// settings read from the extra keywords. Nothing is built here: the judge,
// its engine and the tokenizer come with each evaluation.
#include "critwise/critwise.hpp"

using namespace pybind11::literals;

namespace critwise {

namespace {

py::object keyword_or(const py::kwargs& kwargs, const char* name, py::object fallback) {
  if (zcore::contains(kwargs, py::str(name))) return kwargs[name];
  return fallback;
}

}  // namespace

void init(const py::object& self, const py::object& metric_name, const py::object& display_name,
          const py::object& value_type, const py::object& llm_judge, const py::object& options,
          const py::object& criteria_description, const py::object& prompt_template,
          const py::object& context_fields, const py::object& prediction_field,
          const py::object& metric_group, const py::object& metric_method, const py::object& thresholds,
          const py::kwargs& kwargs) {
  // Every argument is checked before anything is stored.
  zcore::require_text(metric_name, "metric_name");
  zcore::require_text(display_name, "display_name");
  zcore::require_text(value_type, "value_type");
  zcore::require_list(options, "options");
  zcore::require_text_or_none(criteria_description, "criteria_description");
  zcore::require_text_or_none(prompt_template, "prompt_template");
  if (!context_fields.is_none()) zcore::require_list(context_fields, "context_fields");
  zcore::require_text_or_none(prediction_field, "prediction_field");
  zcore::require_text_or_none(metric_method, "metric_method");
  if (!thresholds.is_none()) zcore::require_list(thresholds, "thresholds");

  self.attr(ZN_STR("metric_name")) = metric_name;
  self.attr(ZN_STR("display_name")) = display_name;
  self.attr(ZN_STR("value_type")) = value_type;
  self.attr(ZN_STR("llm_judge")) = llm_judge;
  self.attr(ZN_STR("options")) = options;
  self.attr(ZN_STR("criteria_description")) = criteria_description;
  self.attr(ZN_STR("prompt_template")) = prompt_template;
  // A new list per provider when none is given: providers never share a mutable default.
  self.attr(ZN_STR("context_fields")) = context_fields.is_none() ? py::list() : context_fields;
  self.attr(ZN_STR("prediction_field")) = prediction_field;
  self.attr(ZN_STR("metric_group")) = metric_group;
  self.attr(ZN_STR("metric_method")) = metric_method;
  self.attr(ZN_STR("thresholds")) = thresholds.is_none() ? py::list() : thresholds;
  // Any other extra keyword is accepted and ignored.
  self.attr(ZN_STR("record_id_field")) = keyword_or(kwargs, "record_id_field", py::str("record_id"));
  self.attr(ZN_STR("record_timestamp_field")) =
      keyword_or(kwargs, "record_timestamp_field", py::str("record_timestamp"));
  self.attr(ZN_STR("compute_token_count")) = keyword_or(kwargs, "compute_token_count", py::bool_(false));
}

}  // namespace critwise
