#include <string>

#include "detectwire/detectwire.hpp"

namespace detectwire {

namespace {

constexpr const char* kGenerated = "{}/ml/v1/text/detection/generated?version=2023-10-25";
constexpr const char* kContext = "{}/ml/v1/text/detection/context?version=2023-10-25";
constexpr const char* kChat = "{}/ml/v1/text/detection/chat?version=2023-10-25";
constexpr const char* kText = "{}/ml/v1/text/detection?version=2023-10-25";

}  // namespace

void init(const py::object& self, const py::object& configuration, const py::object& metric_name,
          const py::object& metric_display_name, const py::object& metric_method,
          const py::object& metric_group, const py::object& thresholds, const py::kwargs& kwargs) {
  py::object api_client = kwargs.attr(ZN_STR("get"))("api_client");
  if (!zcore::truthy(api_client)) {
    zcore::raise(PyExc_ValueError,
                 "NORVALE ZentriX Governance SDK must be initialized to compute " +
                     zcore::formatted(metric_name) + " using " + zcore::formatted(metric_method) +
                     ". Please initialize the client to proceed, or remove this metric from the evaluation.");
  }
  if (!zcore::is_instance(api_client.attr(ZN_STR("evs_client")), scope().get("EVSClient"))) {
    zcore::raise(PyExc_ValueError,
                 "zentrix.governance service instance id is required to compute " +
                     zcore::formatted(metric_name) + " using " + zcore::formatted(metric_method) +
                     ". You can set the service instance ID using the `ZNG_SERVICE_INSTANCE_ID` environment "
                     "variable in the notebook and retry.");
  }

  py::object template_ = self.attr("_Detectwire__get_base_url")(metric_name);
  py::object service_url = self.attr(ZN_STR("get_detector_url"))(api_client);
  self.attr(ZN_STR("base_url")) = template_.attr(ZN_STR("replace"))("{}", service_url);
  self.attr(ZN_STR("configuration")) = configuration;
  // Not read by the provider; kept, always an empty dictionary, for callers that read it.
  self.attr(ZN_STR("configuration_")) = py::dict();
  self.attr(ZN_STR("metric_name")) = metric_name;
  self.attr(ZN_STR("metric_display_name")) = metric_display_name;
  self.attr(ZN_STR("metric_method")) = metric_method;
  self.attr(ZN_STR("metric_group")) = metric_group;
  self.attr(ZN_STR("service_instance_id")) = self.attr(ZN_STR("get_service_instance_id"))(api_client);
  // Each provider gets its own list when none is given, so results never
  // share a mutable default.
  self.attr(ZN_STR("thresholds")) = thresholds.is_none() ? py::list() : thresholds;
  self.attr(ZN_STR("detector_params")) = kwargs.attr(ZN_STR("get"))("detector_params", py::none());
}

py::object set_metric_name(const py::object& self, py::object metric_name) {
  if (zcore::is_text(self.attr(ZN_STR("metric_name")), "prompt_safety_risk") &&
      zcore::is_text(self.attr(ZN_STR("metric_method")), "basalt_guardian")) {
    metric_name = py::str("harm");
  }
  py::object risks = scope().get("BasaltGuardianRisks").attr(ZN_STR("values"))();
  return zcore::contains(risks, metric_name) ? py::str("basalt_guardian") : metric_name;
}

py::object get_detector_url(const py::object& self, const py::object& api_client) {
  py::object credentials = api_client.attr(ZN_STR("credentials"));
  self.attr(ZN_STR("evs_client")) = api_client.attr(ZN_STR("evs_client"));
  self.attr(ZN_STR("verify")) = py::bool_(!zcore::truthy(credentials.attr(ZN_STR("disable_ssl"))));
  py::object url = credentials.attr(ZN_STR("url"));
  if (zcore::truthy(credentials.attr(ZN_STR("version")))) return url;

  py::object table = py::module_::import("zentrix_gov.utils.regionmap").attr("EVS_REGIONMAP");
  py::object row = table.attr(ZN_STR("get"))(url);
  if (row.is_none()) {
    zcore::raise(
        PyExc_AttributeError,
        "No machine-learning service is known for the governance service URL " +
            zcore::to_text(py::repr(url)) +
            "; use one of the region URLs or set the credentials' version for a self-hosted service.");
  }
  return row.attr(ZN_STR("mlp_url"));
}

py::object get_service_instance_id(const py::object& self, const py::object& api_client) {
  py::object client = api_client.attr(ZN_STR("evs_client"));
  self.attr(ZN_STR("evs_client")) = client;
  return client.attr(ZN_STR("service_instance_id"));
}

py::str get_base_url(const py::object& /*self*/, const py::object& metric_name) {
  if (zcore::is_text(metric_name, "answer_relevance")) return py::str(kGenerated);
  if (zcore::is_text(metric_name, "context_relevance") || zcore::is_text(metric_name, "faithfulness"))
    return py::str(kContext);
  if (zcore::is_text(metric_name, "tool_call_accuracy")) return py::str(kChat);
  return py::str(kText);
}

}  // namespace detectwire
