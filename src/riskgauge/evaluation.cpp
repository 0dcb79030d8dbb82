#include <string>

#include "riskgauge/riskgauge.hpp"

namespace riskgauge {

namespace {

// The error being handled, if it is an ordinary one; cancellation,
// KeyboardInterrupt and SystemExit leave unchanged.
py::error_already_set ordinary_error() {
  py::error_already_set error = zcore::current_error();
  if (!zcore::is_ordinary(error)) throw error;
  return error;
}

// Runs the plug-in and, when a path is configured, has it write the report.
// Returns (results, report path or None); `stage` names the step under way.
std::pair<py::object, py::object> run_plugin(const py::object& plugin, const py::object& configuration,
                                             const char*& stage) {
  stage = "evaluate";
  py::object results = plugin.attr(ZN_STR("evaluate_fm_risks"))();
  py::print(results);
  py::object report_path = py::none();
  py::object pdf_path = configuration.attr(ZN_STR("pdf_report_output_path"));
  if (zcore::truthy(pdf_path)) {
    stage = "report";
    report_path =
        plugin.attr(ZN_STR("get_pdf_report"))(results, pdf_path, configuration.attr(ZN_STR("thresholds")));
  }
  return {std::move(results), std::move(report_path)};
}

// Raises `error_type(message + <the error>, stage=stage, cause=<the error>)`
// in place of the error being handled.
[[noreturn]] void raise_risk_error(const char* error_type, const std::string& message, const char* stage) {
  using namespace pybind11::literals;
  py::error_already_set error = ordinary_error();
  py::object typed = scope().get(error_type)(message + zcore::to_text(error.value()), "stage"_a = stage,
                                             "cause"_a = error.value());
  zcore::raise_instance(typed, error);
}

py::list convert_benchmarks(const py::object& risk_cards) {
  using namespace pybind11::literals;
  py::object benchmark_class = scope().get("Benchmark");
  py::object metric_class = scope().get("RiskMetric");
  py::list benchmarks;
  for (py::handle benchmark_item : py::iter(risk_cards.attr(ZN_STR("items"))())) {
    auto [benchmark_name, metric_scores] = zcore::unpack_pair(benchmark_item);
    py::list metrics;
    for (py::handle metric_item : py::iter(metric_scores.attr(ZN_STR("items"))())) {
      auto [metric_name, value] = zcore::unpack_pair(metric_item);
      metrics.append(metric_class("name"_a = metric_name, "value"_a = value));
    }
    benchmarks.append(benchmark_class("name"_a = benchmark_name, "metrics"_a = metrics));
  }
  return benchmarks;
}

void convert_results(const py::object& results, const py::object& risk_result) {
  using namespace pybind11::literals;
  py::object risk_class = scope().get("Risk");
  py::object risks = risk_result.attr(ZN_STR("risks"));
  for (py::handle risk_item : py::iter(results.attr(ZN_STR("items"))())) {
    auto [risk_name, risk_cards] = zcore::unpack_pair(risk_item);
    risks.attr(ZN_STR("append"))(
        risk_class("name"_a = risk_name, "benchmarks"_a = convert_benchmarks(risk_cards)));
  }
}

}  // namespace

py::object evaluate_model_risk(const py::object& configuration, py::object api_client) {
  using namespace pybind11::literals;
  if (!zcore::truthy(api_client)) api_client = scope().get("APIClient")();
  auto [system_credentials, scoring_function] = zcore::unpack_pair(
      scope().get("build_system_credentials")(configuration, api_client.attr(ZN_STR("credentials"))));

  py::dict keywords;
  keywords["system_credentials"] = system_credentials;
  keywords["foundation_model_name"] = configuration.attr(ZN_STR("model_details")).attr(ZN_STR("model_name"));
  keywords["risk_dimensions"] = configuration.attr(ZN_STR("risk_dimensions"));
  keywords["scoring_function"] = scoring_function;
  keywords["max_sample_size"] = configuration.attr(ZN_STR("max_sample_size"));
  py::object plugin = zcore::call_kw(scope().get("EvaluateFMRisk"), keywords);

  py::object results;
  py::object report_path;
  const char* stage = "evaluate";
  try {
    std::tie(results, report_path) = run_plugin(plugin, configuration, stage);
  } catch (...) {
    raise_risk_error("ModelRiskEvaluationError", "Error while evaluating FM risks. Reason: ", stage);
  }

  py::object output_file_path = zcore::truthy(report_path) ? py::object(py::str(report_path)) : py::none();
  py::object risk_result =
      scope().get("ModelRiskResult")("risks"_a = py::list(), "output_file_path"_a = output_file_path);
  try {
    convert_results(results, risk_result);
  } catch (...) {
    raise_risk_error("ModelRiskResultError", "Failed to parse model risk result. ", "parse");
  }
  return risk_result;
}

}  // namespace riskgauge
