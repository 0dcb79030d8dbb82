// The metric evaluation driver: validates and prepares the records table,
// orders the metrics by their dependencies and evaluates them.
#pragma once

#include "core/coro.hpp"
#include "core/pyhelpers.hpp"

namespace metricrun {

namespace py = pybind11;

// The module's namespace; every collaborator is read from it at call time.
zcore::ModuleScope& scope();

// validation.cpp
void validate_data(const py::object& configuration, const py::object& data);
void populate_record_id_timestamp(const py::object& configuration, const py::object& data);

// dependencies.cpp
py::list resolve_metric_dependencies(const py::object& metrics, const py::object& metric_groups);

// driver.cpp
py::object evaluate_metrics(const py::object& configuration, py::object data, const py::object& metrics,
                            py::object api_client, const py::object& metric_groups, const py::kwargs& kwargs);
// Checks `metrics` and `metric_groups` at the call, then returns the coroutine.
zcore::Coro start_evaluate_metrics_async(py::object configuration, py::object data, py::object metrics,
                                         py::object api_client, py::object metric_groups, py::kwargs kwargs);

}  // namespace metricrun
