#include "core/metric_errors.hpp"

#include "core/pyhelpers.hpp"

namespace zcore {

void raise_metric_failure(py::handle error_type, const py::object& metric_name,
                          const py::error_already_set& caught, const std::string& detail) {
  const std::string message = "Error while computing metrics: " + to_text(metric_name) + detail +
                              ". Reason: " + to_text(caught.value());
  py::dict keywords;
  keywords["metric_name"] = metric_name;
  keywords["cause"] = caught.value();
  raise_instance(error_type(message, **keywords), caught);
}

}  // namespace zcore
