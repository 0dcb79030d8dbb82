// What the judge providers read from foundation-model records.
#pragma once

#include <pybind11/pybind11.h>

namespace zcore {

namespace py = pybind11;

// The model's provider credentials as a plain dictionary: `model_dump()`, or
// `model_dump(by_alias=True)`.
py::object credentials_dump(const py::object& model, bool by_alias = false);

// The credentials an engine of the AI platform receives for `model` (a
// platform foundation-model record), entries in this order: "url"; "api_key"
// when set; on a self-hosted platform (a version is set) "username",
// "instance_id" and "password" when set; then "project_id", or else
// "space_id". Raises Exception "Either project or space id is required" when
// the record has neither.
py::dict platform_credentials(const py::object& model);

}  // namespace zcore
