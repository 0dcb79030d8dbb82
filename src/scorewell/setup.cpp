// Construction, and what a metric definition turns into for unitxt: a
// catalog identifier, or a judge object with its template and format.
#include <string>

#include "scorewell/scorewell.hpp"

using namespace pybind11::literals;

namespace scorewell {

namespace {

constexpr const char* kJudgeMethod = "llm_as_judge";

}  // namespace

void init(const py::object& self, const py::object& configuration, const py::object& metric_name,
          const py::object& metric_display_name, const py::object& metric_method,
          const py::object& metric_prefix, const py::object& metric_alias, const py::object& metric_group,
          const py::object& column_mapping, const py::object& llm_judge, const py::object& thresholds,
          const py::kwargs& /*ignored*/) {
  // Every argument is checked before anything is stored.
  zcore::require_text_or_none(metric_name, "metric_name");
  zcore::require_text_or_none(metric_display_name, "metric_display_name");
  zcore::require_text_or_none(metric_method, "metric_method");
  zcore::require_text_or_none(metric_prefix, "metric_prefix");
  zcore::require_text_or_none(metric_alias, "metric_alias");
  zcore::require_list_or_none(thresholds, "thresholds");

  self.attr(ZN_STR("configuration")) = configuration;
  // Not read by the provider; kept, always an empty dictionary, for callers that read it.
  self.attr(ZN_STR("configuration_")) = py::dict();
  self.attr(ZN_STR("metric_name")) = metric_name;
  self.attr(ZN_STR("metric_display_name")) = metric_display_name;
  self.attr(ZN_STR("metric_method")) = metric_method;
  self.attr(ZN_STR("metric_group")) = metric_group;
  self.attr(ZN_STR("column_mapping")) =
      zcore::truthy(column_mapping) ? column_mapping : scope().get("UnitxtColumnMapping")();
  self.attr(ZN_STR("llm_judge")) =
      zcore::truthy(llm_judge) ? llm_judge : py::object(configuration.attr(ZN_STR("llm_judge")));
  self.attr(ZN_STR("metric_alias")) = metric_alias;
  self.attr(ZN_STR("metric_prefix")) = metric_prefix;
  // A new list per provider when none is given: results never share a mutable default.
  self.attr(ZN_STR("thresholds")) = thresholds.is_none() ? py::list() : thresholds;
}

py::object generate_unitxt_metric(const py::object& self, const py::object& metric_name,
                                  const py::object& metric_prefix) {
  py::object method = self.attr(ZN_STR("metric_method"));
  if (zcore::is_text(method, kJudgeMethod)) {
    return self.attr("_Scorewell__get_llmaj_metric")("metric_name"_a = metric_name);
  }
  return py::str(".").attr(ZN_STR("join"))(py::make_tuple(metric_prefix, metric_name, method));
}

py::str get_llmaj_template(const py::object& self, const py::object& metric_name) {
  (void)self;
  py::object template_name = scope().get("METRIC_TO_TEMPLATE")[metric_name];
  const char* suffix = zcore::is_text(metric_name, "faithfulness") ? "_verbal" : "_numeric";
  return py::str("templates.rag_eval." + zcore::to_text(metric_name) + "." + zcore::to_text(template_name) +
                 suffix);
}

py::object get_llmaj_format(const py::object& self) {
  py::object provider_type =
      self.attr(ZN_STR("llm_judge")).attr(ZN_STR("model")).attr(ZN_STR("provider")).attr(ZN_STR("type"));
  py::object openai = scope().get("ModelProviderType").attr(ZN_STR("OPENAI"));
  if (provider_type.equal(openai)) return scope().get("ChatAPIFormat")();
  return py::none();
}

py::object get_llmaj_metric(const py::object& self, const py::object& metric_name) {
  // Keyword values are computed in this order: the engine, the format, the template.
  py::dict kwargs;
  kwargs["inference_model"] = self.attr("_Scorewell__get_ai_evaluator_inference_engine")();
  kwargs["format"] = self.attr("_Scorewell__get_llmaj_format")();
  kwargs["template"] = self.attr("_Scorewell__get_llmaj_template")("metric_name"_a = metric_name);
  const std::string name = zcore::to_text(metric_name);
  kwargs["task"] = py::str("tasks.rag_eval." + name + ".binary");
  kwargs["main_score"] = py::str(name + "_judge");
  py::object mapping = self.attr(ZN_STR("column_mapping"));
  kwargs["prediction_field"] = zcore::is_text(metric_name, "context_relevance")
                                   ? mapping.attr(ZN_STR("contexts"))
                                   : mapping.attr(ZN_STR("answer"));
  kwargs["infer_log_probs"] = false;
  kwargs["judge_to_generator_fields_mapping"] = py::dict();
  return zcore::call_kw(scope().get("TaskBasedLLMasJudge"), kwargs);
}

}  // namespace scorewell
