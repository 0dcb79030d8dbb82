#include "riskgauge/riskgauge.hpp"

namespace py = pybind11;

namespace riskgauge {

zcore::ModuleScope& scope() {
  static zcore::ModuleScope instance;
  return instance;
}

}  // namespace riskgauge

PYBIND11_MODULE(riskgauge, m) {
  using namespace pybind11::literals;
  m.doc() = "Evaluates the risks of a foundation model through the risk plug-in.";
  // Collaborators are module attributes, looked up when used, so that
  // callers can rebind or patch them.
  riskgauge::scope().bind(
      m,
      {
          {"EvaluateFMRisk", "metrics_plugin.mra.evaluate_fm_risk", "EvaluateFMRisk"},
          {"FoundationModelsManager", "zentrix_ai.foundation_models_manager", "FoundationModelsManager"},
          {"ZaiCredentials", "zentrix_ai.credentials", "Credentials"},
          {"ZaiAPIClient", "zentrix_ai.client", "APIClient"},
          {"APIClient", "zentrix_gov.clients.api_client", "APIClient"},
          {"ZnAIFoundationModel", "zentrix_gov.entities.foundation_model", "ZnAIFoundationModel"},
          {"CustomFoundationModel", "zentrix_gov.entities.foundation_model", "CustomFoundationModel"},
          {"ModelRiskConfiguration", "zentrix_gov.config.model_risk_configuration", "ModelRiskConfiguration"},
          {"ModelRiskResult", "zentrix_gov.entities.model_risk_result", "ModelRiskResult"},
          {"Risk", "zentrix_gov.entities.model_risk_result", "Risk"},
          {"Benchmark", "zentrix_gov.entities.model_risk_result", "Benchmark"},
          {"RiskMetric", "zentrix_gov.entities.model_risk_result", "RiskMetric"},
          {"EVS_REGIONMAP", "zentrix_gov.utils.regionmap", "EVS_REGIONMAP"},
          {"ModelRiskEvaluationError", "zentrix_gov.entities.errors", "ModelRiskEvaluationError"},
          {"ModelRiskResultError", "zentrix_gov.entities.errors", "ModelRiskResultError"},
          {"UnsupportedModelIdError", "zentrix_gov.entities.errors", "UnsupportedModelIdError"},
          {"inspect", "inspect", nullptr},
          {"urlsplit", "urllib.parse", "urlsplit"},
      });

  m.def("_evaluate_model_risk", &riskgauge::evaluate_model_risk, "configuration"_a,
        "api_client"_a = py::none(),
        "Runs the risk plug-in on the configured model and returns a ModelRiskResult; writes the PDF "
        "report when the configuration names a path.");
  m.def("build_system_credentials", &riskgauge::build_system_credentials, "configuration"_a, "credentials"_a,
        "The risk plug-in's credential map for the configured model, and the scoring function of a "
        "custom model (or None).");
  m.def("get_zai_credentials", &riskgauge::get_zai_credentials, "zgov_credentials"_a,
        "A client of the AI platform built from the governance service's credentials.");
  m.def("check_if_model_id_is_valid", &riskgauge::check_if_model_id_is_valid, "model_id"_a, "znai_client"_a,
        "Raises ValueError, listing the available models, when the platform does not offer `model_id`.");
}
