// Small helpers shared by every module: late-bound lookups, truth tests,
// interned names and raising Python errors from C++.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace zcore {

namespace py = pybind11;

// An interned Python str that lives for the whole process. Names are
// immutable, so caching them in statics is safe; they are deliberately never
// released (the interpreter may already be gone when statics are destroyed).
PyObject* intern(const char* text);

// `ZN_ID(foo)` is the interned str "foo", created on first use.
#define ZN_ID(name)                                           \
  ([]() -> PyObject* {                                        \
    static PyObject* const interned = ::zcore::intern(#name); \
    return interned;                                          \
  }())

// A module-level name bound to `module.attribute` when the module loads.
struct ImportedName {
  const char* name;
  const char* module;
  const char* attribute;  // nullptr: the module itself
};

// A module's namespace, read at call time so that callers may rebind or
// mock.patch any module-level name after import.
class ModuleScope {
 public:
  // Binds to the module object being initialised (the module outlives us)
  // and imports its collaborators into it.
  void bind(py::module_& module, std::initializer_list<ImportedName> imports);
  py::module_ module() const;
  // The current value of a module attribute; NameError if it is unbound.
  py::object get(PyObject* name) const;
  py::object get(const char* name) const;
  void set(const char* name, py::handle value) const;

 private:
  PyObject* module_ = nullptr;
  PyObject* dict_ = nullptr;
};

// Python truth test; propagates errors raised by __bool__ / __len__.
bool truthy(py::handle value);

inline bool is_exact_list(py::handle value) {
  return PyList_CheckExact(value.ptr()) != 0;
}

// Whether `value` is a str equal to the ASCII `text` (str subclasses such as
// string enums included), without building a Python object for `text`.
inline bool is_text(py::handle value, const char* text) {
  return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
}

// Raises TypeError "<what> must be of type list, not <type>" unless `value`
// is exactly a list (subclasses and tuples are refused too).
void require_list(py::handle value, const char* what);

// The type name of `value` as Python prints it ("DataFrame", "NoneType").
std::string type_name(py::handle value);

// str(value), propagating errors.
std::string to_text(py::handle value);

// Raises `type(message)` with `cause` attached as __cause__ (and context).
[[noreturn]] void raise_from(py::error_already_set& cause, PyObject* type, const std::string& message);

// Raises `type(message)`.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Calls `callable(**kwargs)` where kwargs are given as (name, value) pairs;
// a thin wrapper that keeps call sites readable.
py::object call_kw(py::handle callable, py::dict kwargs);

}  // namespace zcore
