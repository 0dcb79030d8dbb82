// How a provider reports that computing its metric failed.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zcore {

namespace py = pybind11;

// Raises `error_type(message, metric_name=metric_name, cause=<the caught
// error>)`, the message reading "Error while computing metrics: <metric name>
// <detail>. Reason: <the caught error>", with the caught error as its context.
[[noreturn]] void raise_metric_failure(py::handle error_type, const py::object& metric_name,
                                       const py::error_already_set& caught, const std::string& detail = "");

}  // namespace zcore
