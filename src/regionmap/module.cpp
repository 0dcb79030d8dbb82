// Endpoints of the platform's services for each deployment: the public cloud
// regions and the internal staging environments.
#include <pybind11/pybind11.h>

#include "core/pyhelpers.hpp"

namespace py = pybind11;

namespace {

// A deployment is keyed by a `Region` member or by an environment name.
struct Deployment {
  const char* region_member;  // attribute of Region, or nullptr
  const char* environment;    // literal key when region_member is nullptr
  const char* iam_url;
  const char* zng_url;
  const char* mlp_url;
  const char* qel_url;
};

constexpr const char* kCloudIam = "https://iam.cloud.example";
constexpr const char* kTestIam = "https://iam.test.cloud.example";

constexpr Deployment kDeployments[] = {
    {"US_SOUTH", nullptr, kCloudIam, "https://zng.us-south.cloud.example",
     "https://us-south.ml.cloud.example", "https://api.qel.cloud.example"},
    {"AU_SYD", nullptr, kCloudIam, "https://zng.au-syd.cloud.example", "https://au-syd.ml.cloud.example",
     "https://api.au-syd.qel.cloud.example"},
    {"CA_TOR", nullptr, kCloudIam, "https://zng.ca-tor.cloud.example", "https://ca-tor.ml.cloud.example",
     "https://api.ca-tor.qel.cloud.example"},
    {"EU_DE", nullptr, kCloudIam, "https://zng.eu-de.cloud.example", "https://eu-de.ml.cloud.example",
     "https://api.eu-de.qel.cloud.example"},
    {"JP_TOK", nullptr, kCloudIam, "https://zng.jp-tok.cloud.example", "https://jp-tok.ml.cloud.example",
     "https://api.jp-tok.qel.cloud.example"},
    {"EU_GB", nullptr, kCloudIam, "https://zng.eu-gb.cloud.example", "https://eu-gb.ml.cloud.example",
     "https://api.eu-gb.qel.cloud.example"},
    {nullptr, "cloudtest", kCloudIam, "https://zng.test.cloud.example", "https://qa.ml.test.cloud.example",
     "https://api.qel.test.cloud.example"},
    {nullptr, "cloudsandbox", kTestIam, "https://zng.dev.cloud.example", "https://fvt.ml.test.cloud.example",
     "https://api.qel.dev.cloud.example"},
    {nullptr, "saassandbox", kTestIam, "https://zng.saas-dev.cloud.example",
     "https://saas-dev.ml.test.cloud.example", "https://api.qel-2.dev.cloud.example"},
    {nullptr, "saastest", kCloudIam, "https://zng.saas-qa.cloud.example",
     "https://qa-2.ml.test.cloud.example", "https://api.qel-2.test.cloud.example"},
    {"AP_SOUTH", nullptr, "https://account.saas.aws.example", "https://zng.ap-south-1.aws.example",
     "https://ap-south-1.ai-runtime.aws.example", "https://qel.ap-south-1.aws.example"},
    // In the government cloud the identity field names the data platform host
    // and the data platform field names the governance API host.
    {nullptr, "fedstaging", "https://qel.fedstaging.gov.example", "https://zng.fedstaging.gov.example",
     "https://ai.fedstaging.gov.example", "https://api.zng.fedstaging.gov.example"},
    {"US_GOV_EAST1", nullptr, "https://qel.us-gov-east1.gov.example", "https://zng.us-gov-east1.gov.example",
     "https://ai.gov.example", "https://api.zng.us-gov-east1.gov.example"},
};

py::object make_record_class(const py::module_& module) {
  py::object str_type = py::reinterpret_borrow<py::object>(zcore::str_type());
  py::object required = py::reinterpret_borrow<py::object>(Py_Ellipsis);
  py::dict fields;
  fields["__base__"] = py::module_::import("pydantic").attr("BaseModel");
  fields["__module__"] = module.attr("__name__");
  for (const char* field : {"iam_url", "zng_url", "mlp_url", "qel_url", "region"}) {
    fields[field] = py::make_tuple(str_type, required);
  }
  fields["__doc__"] = "Base URLs of the services of one deployment.";
  return py::module_::import("pydantic").attr("create_model")("ZnUrls", **fields);
}

}  // namespace

PYBIND11_MODULE(regionmap, m) {
  m.doc() = "Endpoints of the platform's services per region and staging environment.";
  py::object region = py::module_::import("zentrix_gov.entities.enums").attr("Region");
  m.attr("Region") = region;
  m.attr("BaseModel") = py::module_::import("pydantic").attr("BaseModel");

  py::object record_class = make_record_class(m);
  m.attr("ZnUrls") = record_class;

  py::dict by_region;
  for (const Deployment& deployment : kDeployments) {
    py::object key = deployment.region_member != nullptr ? region.attr(deployment.region_member).attr("value")
                                                         : py::str(deployment.environment);
    py::dict values;
    values["iam_url"] = deployment.iam_url;
    values["zng_url"] = deployment.zng_url;
    values["mlp_url"] = deployment.mlp_url;
    values["qel_url"] = deployment.qel_url;
    values["region"] = key;
    by_region[key] = zcore::call_kw(record_class, values);
  }
  m.attr("ZENTRIX_REGION_URLS") = by_region;

  py::dict by_governance_url;
  for (auto [key, record] : by_region) {
    by_governance_url[record.attr("zng_url")] = by_region.attr("get")(key);
  }
  m.attr("EVS_REGIONMAP") = by_governance_url;
}
