#include <string>

#include "riskgauge/riskgauge.hpp"

namespace riskgauge {

namespace {

// The value by which the AI platform's credentials mark a self-hosted
// installation.
constexpr const char* kOnPremisesInstanceId = "kelvara";

// The machine-learning service of the region whose governance service is
// `governance_url`.
py::object ml_service_url(const py::object& governance_url) {
  py::object row = scope().get("EVS_REGIONMAP").attr(ZN_STR("get"))(governance_url);
  if (row.is_none()) {
    zcore::raise(
        PyExc_AttributeError,
        "No machine-learning service is known for the governance service URL " +
            zcore::to_text(py::repr(governance_url)) +
            "; use one of the region URLs or set the credentials' version for a self-hosted platform.");
  }
  return row.attr(ZN_STR("mlp_url"));
}

// Whether the text "opk" occurs in `value`; a missing URL (None) has none.
bool names_self_hosted(const py::object& value) {
  return PyUnicode_Check(value.ptr()) && zcore::contains(value, ZN_STR("opk"));
}

// Host and port of `url`; user name and password in the URL are left out.
py::object network_location(const py::object& url) {
  py::object netloc = scope().get("urlsplit")(url).attr(ZN_STR("netloc"));
  return netloc.attr(ZN_STR("rpartition"))("@")[py::int_(2)];
}

void add_platform_model(py::dict& system_credentials, const py::object& model_details,
                        const py::object& credentials) {
  system_credentials["zentrix_ai_project_id"] = model_details.attr(ZN_STR("project_id"));
  py::object client = scope().get("get_zai_credentials")(credentials);
  py::object model_id = model_details.attr(ZN_STR("model_id"));
  scope().get("check_if_model_id_is_valid")(model_id, client);
  system_credentials["zentrix_ai_model_id"] = model_id;

  py::object zn_ai_credentials = model_details.attr(ZN_STR("provider")).attr(ZN_STR("credentials"));
  if (zcore::truthy(zn_ai_credentials)) {
    system_credentials["zentrix_ai_endpoint_url"] = zn_ai_credentials.attr(ZN_STR("url"));
    if (zcore::truthy(zn_ai_credentials.attr(ZN_STR("version")))) {
      system_credentials["zentrix_ai_opk_username"] = zn_ai_credentials.attr(ZN_STR("username"));
      system_credentials["zentrix_ai_opk_apikey"] = zn_ai_credentials.attr(ZN_STR("api_key"));
    } else {
      system_credentials["zentrix_ai_cloud_apikey"] = zn_ai_credentials.attr(ZN_STR("api_key"));
    }
  } else if (zcore::truthy(credentials.attr(ZN_STR("version")))) {
    system_credentials["zentrix_ai_endpoint_url"] = credentials.attr(ZN_STR("url"));
    system_credentials["zentrix_ai_opk_username"] = credentials.attr(ZN_STR("username"));
    system_credentials["zentrix_ai_opk_apikey"] = credentials.attr(ZN_STR("api_key"));
  } else {
    system_credentials["zentrix_ai_cloud_apikey"] = credentials.attr(ZN_STR("api_key"));
    system_credentials["zentrix_ai_endpoint_url"] = ml_service_url(credentials.attr(ZN_STR("url")));
  }
}

void add_governance_connected_model(py::dict& system_credentials, const py::object& gc) {
  py::object gc_credentials = gc.attr(ZN_STR("credentials"));
  system_credentials["op_url"] = gc_credentials.attr(ZN_STR("url"));
  system_credentials["op_username"] = gc_credentials.attr(ZN_STR("username"));
  system_credentials["op_password"] = gc_credentials.attr(ZN_STR("password"));
  system_credentials["op_model_id"] = gc.attr(ZN_STR("model_id"));
  system_credentials["op_apikey"] = gc_credentials.attr(ZN_STR("api_key"));
  if (names_self_hosted(system_credentials["op_url"])) {
    system_credentials["op_opk_apikey"] = gc_credentials.attr(ZN_STR("api_key"));
    system_credentials["op_opk_host"] = network_location(gc_credentials.attr(ZN_STR("url")));
  }
}

}  // namespace

py::tuple build_system_credentials(const py::object& configuration, const py::object& credentials) {
  py::dict system_credentials;
  py::object scoring_function = py::none();
  py::object model_details = configuration.attr(ZN_STR("model_details"));
  if (zcore::is_instance(model_details, scope().get("ZnAIFoundationModel"))) {
    add_platform_model(system_credentials, model_details, credentials);
  } else if (zcore::is_instance(model_details, scope().get("CustomFoundationModel"))) {
    scoring_function = model_details.attr(ZN_STR("_scoring_fn"));
    py::object gc = configuration.attr(ZN_STR("zn_gc_configuration"));
    if (zcore::truthy(gc)) add_governance_connected_model(system_credentials, gc);
  }
  return py::make_tuple(system_credentials, scoring_function);
}

py::object get_zai_credentials(const py::object& zgov_credentials) {
  py::object credentials_class = scope().get("ZaiCredentials");
  py::object inspect = scope().get("inspect");
  py::object parameter_kind = inspect.attr(ZN_STR("Parameter"));
  py::object var_positional = parameter_kind.attr(ZN_STR("VAR_POSITIONAL"));
  py::object var_keyword = parameter_kind.attr(ZN_STR("VAR_KEYWORD"));
  py::object parameters = inspect.attr(ZN_STR("signature"))(credentials_class).attr(ZN_STR("parameters"));

  py::dict keywords;
  for (py::handle parameter : parameters.attr(ZN_STR("values"))()) {
    py::object kind = parameter.attr(ZN_STR("kind"));
    // *args and **kwargs name no field of the credentials.
    if (kind.equal(var_positional) || kind.equal(var_keyword)) continue;
    py::object name = parameter.attr(ZN_STR("name"));
    py::object value = zcore::attribute_or(zgov_credentials, name, py::object());
    if (value) keywords[name] = value;
  }

  if (zcore::truthy(zgov_credentials.attr(ZN_STR("version")))) {
    keywords["instance_id"] = kOnPremisesInstanceId;
  } else {
    keywords["url"] = ml_service_url(zgov_credentials.attr(ZN_STR("url")));
  }
  py::object zai_credentials = zcore::call_kw(credentials_class, keywords);
  return scope().get("ZaiAPIClient")(zai_credentials);
}

}  // namespace riskgauge
