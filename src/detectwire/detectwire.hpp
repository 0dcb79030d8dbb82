// The detection provider: one request per record to the text-detection
// service, sent concurrently with retries, and the replies turned into
// per-record and aggregate results.
//
// `Detectwire` is an ordinary Python class whose methods are written in C++.
// Methods call each other through attribute lookup on `self`, and every
// collaborator (result records, the HTTP library, helpers, constants) is
// read from the module or the class when used, so subclasses, configuration
// and mock.patch all take effect.
#pragma once

#include "core/coro.hpp"
#include "core/pyhelpers.hpp"

namespace detectwire {

namespace py = pybind11;

zcore::ModuleScope& scope();

// setup.cpp
void init(const py::object& self, const py::object& configuration, const py::object& metric_name,
          const py::object& metric_display_name, const py::object& metric_method,
          const py::object& metric_group, const py::object& thresholds, const py::kwargs& kwargs);
py::object set_metric_name(const py::object& self, py::object metric_name);
py::object get_detector_url(const py::object& self, const py::object& api_client);
py::object get_service_instance_id(const py::object& self, const py::object& api_client);
py::str get_base_url(const py::object& self, const py::object& metric_name);

// payloads.cpp
py::tuple pre_process_data(const py::object& self, const py::object& data);
py::list get_json_payloads(const py::object& self, const py::object& input_contents,
                           const py::object& output_contents, const py::object& context_contents,
                           const py::object& tools_catalog_content, const py::object& tool_calls_content);
py::list get_tool_calls_content(const py::object& self, const py::object& data);
py::object get_tools_catalog_content(const py::object& self);

// sending.cpp
py::dict get_headers(const py::object& self);
zcore::Coro send_with_retries(py::object self, py::object payload, py::object session);
zcore::Coro compute_metric(py::object self, py::list api_payloads);

// postprocess.cpp
zcore::Coro evaluate_async(py::object self, py::object data);
py::object evaluate(const py::object& self, const py::object& data);
py::object post_process(const py::object& self, const py::list& results, const py::list& record_ids);
py::list get_additional_info(const py::object& self, const py::object& results);

// True when `value` equals one of the texts of the list-valued module
// attribute `table` (ACCURACY_METRICS, EVIDENCES, ...).
bool in_table(const char* table, const py::handle& value);

}  // namespace detectwire
