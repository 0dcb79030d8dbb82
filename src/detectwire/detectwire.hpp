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
void init(py::object self, py::object configuration, py::object metric_name, py::object metric_display_name,
          py::object metric_method, py::object metric_group, py::object thresholds, py::kwargs kwargs);
py::object set_metric_name(py::object self, py::object metric_name);
py::object get_detector_url(py::object self, py::object api_client);
py::object get_service_instance_id(py::object self, py::object api_client);
py::str get_base_url(py::object self, py::object metric_name);

// payloads.cpp
py::tuple pre_process_data(py::object self, py::object data);
py::list get_json_payloads(py::object self, py::object input_contents, py::object output_contents,
                           py::object context_contents, py::object tools_catalog_content,
                           py::object tool_calls_content);
py::list get_tool_calls_content(py::object self, py::object data);
py::object get_tools_catalog_content(py::object self);

// sending.cpp
py::dict get_headers(py::object self);
zcore::Coro send_with_retries(py::object self, py::object payload, py::object session);
zcore::Coro compute_metric(py::object self, py::list api_payloads);

// postprocess.cpp
zcore::Coro evaluate_async(py::object self, py::object data);
py::object evaluate(py::object self, py::object data);
py::object post_process(py::object self, py::list results, py::list record_ids);
py::list get_additional_info(py::object self, py::object results);

// True when `value` equals one of the texts of the list-valued module
// attribute `table` (ACCURACY_METRICS, EVIDENCES, ...).
bool in_table(const char* table, const py::handle& value);

}  // namespace detectwire
