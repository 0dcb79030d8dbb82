#include "core/pyhelpers.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zcore {

py::handle intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);  // new reference, kept for the process
  if (name == nullptr) throw py::error_already_set();
  return name;
}

void ModuleScope::bind(py::module_& module, std::initializer_list<ImportedName> imports) {
  module_ = module;
  dict_ = PyModule_GetDict(module.ptr());
  add_imports(std::span<const ImportedName>(imports.begin(), imports.size()));
}

void ModuleScope::add_imports(std::span<const ImportedName> imports) const {
  for (const ImportedName& imported : imports) {
    py::object value = py::module_::import(imported.module);
    if (imported.attribute != nullptr) value = value.attr(imported.attribute);
    set(imported.name, value);
  }
}

py::module_ ModuleScope::module() const {
  return py::reinterpret_borrow<py::module_>(module_);
}

py::object ModuleScope::get(py::handle name) const {
  PyObject* value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());  // borrowed
  if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
  if (PyErr_Occurred()) throw py::error_already_set();
  // A name the module binds on first use, through a module-level __getattr__.
  PyObject* resolver = PyDict_GetItemWithError(dict_.ptr(), ZN_STR("__getattr__").ptr());  // borrowed
  if (resolver != nullptr) {
    auto resolved = py::reinterpret_steal<py::object>(PyObject_CallOneArg(resolver, name.ptr()));
    if (resolved) return resolved;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    // Kept as the cause: binding the name may itself have failed on a missing attribute.
    py::error_already_set cause;
    raise_from(cause, PyExc_NameError, "name '" + to_text(name) + "' is not defined");
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
  throw py::error_already_set();
}

py::object ModuleScope::get(const char* name) const {
  return get(py::str(name));
}

py::object ModuleScope::find(py::handle name) const {
  return dict_get(py::reinterpret_borrow<py::dict>(dict_), name, py::object());
}

void ModuleScope::set(const char* name, py::handle value) const {
  if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) != 0) throw py::error_already_set();
}

py::object ModuleScope::lazy_module(const char* name, std::initializer_list<const char*> statements) const {
  std::vector<std::string> texts(statements.begin(), statements.end());
  return lazy_module(name, texts);
}

py::object ModuleScope::lazy_module(const char* name, std::span<const std::string> statements) const {
  py::list arguments;
  for (const std::string& statement : statements) arguments.append(statement);
  py::object lazy_imports = get("lazy_imports");
  py::dict keywords;
  keywords["name"] = name;
  py::object module = lazy_imports.attr("LazyModule")(*py::tuple(arguments), **keywords);
  lazy_imports.attr("load")(module);
  return module;
}

void ModuleScope::raise_no_attribute(py::handle name) const {
  py::object module_name = module().attr("__name__");
  PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", module_name.ptr(), name.ptr());
  throw py::error_already_set();
}

bool truthy(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

namespace {

// The result of a getattr call (a new reference, or null with an error set).
py::object found_or(PyObject* found, py::object fallback) {
  if (found != nullptr) return py::reinterpret_steal<py::object>(found);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return fallback;
}

}  // namespace

py::object attribute_or(py::handle value, const char* name, py::object fallback) {
  return found_or(PyObject_GetAttrString(value.ptr(), name), std::move(fallback));
}

py::object attribute_or(py::handle value, py::handle name, py::object fallback) {
  return found_or(PyObject_GetAttr(value.ptr(), name.ptr()), std::move(fallback));
}

py::object dict_get(const py::dict& dict, py::handle key, py::object fallback) {
  PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());  // borrowed
  if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
  if (PyErr_Occurred()) throw py::error_already_set();
  return fallback;
}

void dict_delete(const py::dict& dict, const char* key) {
  if (PyDict_DelItemString(dict.ptr(), key) != 0) throw py::error_already_set();
}

py::dict dict_copy(const py::dict& dict) {
  auto copy = py::reinterpret_steal<py::dict>(PyDict_Copy(dict.ptr()));
  if (!copy) throw py::error_already_set();
  return copy;
}

bool contains(py::handle container, py::handle item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found != 0;
}

py::object round_to(py::handle value, int digits) {
  return value.attr(ZN_STR("__round__"))(digits);
}

py::handle str_type() {
  return reinterpret_cast<PyObject*>(&PyUnicode_Type);  // a static type, never released
}

py::object fast_sequence(py::handle value, const char* message) {
  auto items = py::reinterpret_steal<py::object>(PySequence_Fast(value.ptr(), message));
  if (!items) throw py::error_already_set();
  return items;
}

Py_ssize_t fast_size(py::handle sequence) {
  return PySequence_Fast_GET_SIZE(sequence.ptr());
}

py::handle fast_item(py::handle sequence, Py_ssize_t index) {
  return PySequence_Fast_GET_ITEM(sequence.ptr(), index);
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
  py::object items = fast_sequence(value, "cannot unpack a non-iterable object into two values");
  const Py_ssize_t size = fast_size(items);
  if (size > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (size < 2) {
    raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " + std::to_string(size) + ")");
  }
  return {py::reinterpret_borrow<py::object>(fast_item(items, 0)),
          py::reinterpret_borrow<py::object>(fast_item(items, 1))};
}

py::object loaded_module(const char* name) {
  PyObject* module = PyImport_GetModule(py::str(name).ptr());  // new reference, or null
  if (module != nullptr) return py::reinterpret_steal<py::object>(module);
  if (PyErr_Occurred()) throw py::error_already_set();
  return py::none();
}

bool is_instance(py::handle value, py::handle type) {
  const int result = PyObject_IsInstance(value.ptr(), type.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

std::string to_text(py::handle value) {
  return py::str(value).cast<std::string>();
}

std::string formatted(py::handle value) {
  auto text = py::reinterpret_steal<py::str>(PyObject_Format(value.ptr(), nullptr));
  if (!text) throw py::error_already_set();
  return text.cast<std::string>();
}

void require_list(py::handle value, const char* what) {
  if (is_exact_list(value)) return;
  PyErr_Format(PyExc_TypeError, "%s must be of type list, not %s", what, Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

void require_text(py::handle value, const char* what) {
  if (PyUnicode_Check(value.ptr())) return;
  PyErr_Format(PyExc_TypeError, "%s must be of type str, not %s", what, Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

void require_text_or_none(py::handle value, const char* what) {
  if (value.is_none() || PyUnicode_Check(value.ptr())) return;
  PyErr_Format(PyExc_TypeError, "%s must be of type str or None, not %s", what,
               Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

void require_list_or_none(py::handle value, const char* what) {
  if (value.is_none() || PyList_Check(value.ptr())) return;
  PyErr_Format(PyExc_TypeError, "%s must be of type list or None, not %s", what,
               Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

void raise(py::handle type, const std::string& message) {
  PyErr_SetString(type.ptr(), message.c_str());
  throw py::error_already_set();
}

void raise_error(const py::object& exception) {
  PyErr_SetObject(py::type::of(exception).ptr(), exception.ptr());
  throw py::error_already_set();
}

void raise_from(const py::error_already_set& cause, py::handle type, const std::string& message) {
  py::error_already_set held = cause;
  py::raise_from(held, type.ptr(), message.c_str());
  throw py::error_already_set();
}

void raise_instance(const py::object& exception, const py::error_already_set& context) {
  PyObject* instance = exception.ptr();
  PyObject* existing = PyException_GetContext(instance);  // new reference or null
  if (existing == nullptr) {
    PyException_SetContext(instance, context.value().inc_ref().ptr());  // steals
  } else {
    Py_DECREF(existing);
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
  throw py::error_already_set();
}

py::error_already_set current_error() {
  try {
    throw;
  } catch (const py::error_already_set& error) {
    return error;
  } catch (const py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return py::error_already_set();
}

py::tuple exit_arguments(const py::error_already_set& error) {
  const py::object& value = error.value();
  py::object traceback = py::reinterpret_steal<py::object>(PyException_GetTraceback(value.ptr()));
  return py::make_tuple(py::type::of(value), value, traceback ? traceback : py::none());
}

LockGuard::LockGuard(py::object lock) : lock_(std::move(lock)) {
  lock_.attr(ZN_STR("acquire"))();
}

LockGuard::~LockGuard() {
  // Runs while an error may be propagating: keep it and restore it after.
  py::error_scope pending;
  PyObject* released = PyObject_CallMethod(lock_.ptr(), "release", nullptr);  // new reference
  if (released == nullptr) {
    PyErr_WriteUnraisable(lock_.ptr());
  } else {
    Py_DECREF(released);
  }
}

py::object call_kw(py::handle callable, const py::dict& kwargs) {
  PyObject* result = PyObject_Call(callable.ptr(), py::tuple().ptr(), kwargs.ptr());  // new reference
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace zcore
