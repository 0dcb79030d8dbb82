#include "core/pyhelpers.hpp"

namespace zcore {

PyObject* intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw py::error_already_set();
  return name;
}

void ModuleScope::bind(py::module_& module, std::initializer_list<ImportedName> imports) {
  module_ = module.ptr();
  dict_ = PyModule_GetDict(module_);  // borrowed; lives as long as the module
  for (const ImportedName& imported : imports) {
    py::object value = py::module_::import(imported.module);
    if (imported.attribute != nullptr) value = value.attr(imported.attribute);
    set(imported.name, value);
  }
}

py::module_ ModuleScope::module() const {
  return py::reinterpret_borrow<py::module_>(module_);
}

py::object ModuleScope::get(PyObject* name) const {
  PyObject* value = PyDict_GetItemWithError(dict_, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

py::object ModuleScope::get(const char* name) const {
  return get(py::str(name).ptr());
}

void ModuleScope::set(const char* name, py::handle value) const {
  if (PyDict_SetItemString(dict_, name, value.ptr()) != 0) throw py::error_already_set();
}

bool truthy(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

std::string type_name(py::handle value) {
  return Py_TYPE(value.ptr())->tp_name;
}

std::string to_text(py::handle value) {
  return py::str(value).cast<std::string>();
}

void require_list(py::handle value, const char* what) {
  if (is_exact_list(value)) return;
  PyErr_Format(PyExc_TypeError, "%s must be of type list, not %s", what, Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

void raise_from(py::error_already_set& cause, PyObject* type, const std::string& message) {
  py::raise_from(cause, type, message.c_str());
  throw py::error_already_set();
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

py::object call_kw(py::handle callable, py::dict kwargs) {
  PyObject* args = PyTuple_New(0);
  if (args == nullptr) throw py::error_already_set();
  PyObject* result = PyObject_Call(callable.ptr(), args, kwargs.ptr());
  Py_DECREF(args);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace zcore
