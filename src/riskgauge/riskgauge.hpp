// Model risk evaluation: the risk plug-in's credential map, the platform
// model check, the plug-in run and its result turned into result records.
//
// Every collaborator (the plug-in class, the platform client classes, the
// SDK's records and client, the region table) is a module attribute read
// when used, and the module's functions call each other through the module
// too, so callers can rebind or mock.patch any of them.
#pragma once

#include "core/pyhelpers.hpp"

namespace riskgauge {

namespace py = pybind11;

zcore::ModuleScope& scope();

// credentials.cpp
py::tuple build_system_credentials(const py::object& configuration, const py::object& credentials);
py::object get_zai_credentials(const py::object& zgov_credentials);

// validation.cpp
void check_if_model_id_is_valid(const py::object& model_id, const py::object& znai_client);

// evaluation.cpp
py::object evaluate_model_risk(const py::object& configuration, py::object api_client);

}  // namespace riskgauge
