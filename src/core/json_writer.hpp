// Writes JSON text identical to Python's json.dumps with default settings
// (ensure_ascii, allow_nan, check_circular, ", " and ": " separators, keys in
// insertion order). Request bodies are assembled piece by piece in one
// std::string; the output is always pure ASCII.
//
// All functions need the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace zcore::json {

// Appends the json.dumps text of `value`. On failure sets the Python exception
// json.dumps would raise (same type and message) and throws
// pybind11::error_already_set; `out` may then hold a partial write.
void append_value(std::string& out, pybind11::handle value);

// Appends a JSON string literal for a Python str (subclasses included), with
// non-ASCII characters and lone surrogates written as \u escapes. Anything
// else raises TypeError.
void append_string(std::string& out, pybind11::handle unicode);

// Appends a JSON string literal for UTF-8 text; invalid UTF-8 raises
// UnicodeDecodeError.
void append_string(std::string& out, std::string_view utf8);

// The whole json.dumps(value) text as a Python str.
pybind11::str dumps(pybind11::handle value);

}  // namespace zcore::json
