// Small helpers shared by every module: interned names, late-bound module
// lookups, truth tests and raising Python errors from C++.
//
// House idioms, used everywhere in src/:
// - An owned reference is a `py::object` (or a subclass); a borrowed one is
//   a `py::handle`. A raw `PyObject*` appears only where a C-API slot's
//   signature requires it, with its ownership stated at the line.
// - A Python error held outside the error indicator is a
//   `py::error_already_set` (in a `std::optional` when there may be none).
// - A C-API call that can fail is checked at the call; failure throws
//   `py::error_already_set`.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <span>
#include <string>
#include <utility>

namespace zcore {

namespace py = pybind11;

// An interned Python str that lives for the rest of the process (never
// released: the interpreter may be gone when statics are destroyed).
py::handle intern(const char* text);

// `ZN_STR("evs_client")`: the interned str, created on first use.
#define ZN_STR(literal)                                                  \
  ([]() -> ::pybind11::handle {                                          \
    static const ::pybind11::handle interned = ::zcore::intern(literal); \
    return interned;                                                     \
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
  // Imports further collaborators into the bound module.
  void add_imports(std::span<const ImportedName> imports) const;
  py::module_ module() const;
  // The current value of a module attribute; NameError if it is unbound.
  py::object get(py::handle name) const;
  py::object get(const char* name) const;
  void set(const char* name, py::handle value) const;
  // The module attribute `name` if it is bound, else a null object (the module's
  // __getattr__ is not consulted).
  py::object find(py::handle name) const;
  // A lazy_imports.LazyModule called `name` declaring the import `statements`,
  // passed to lazy_imports.load (the module's `lazy_imports` attribute):
  // nothing is imported until one of its names is read.
  py::object lazy_module(const char* name, std::initializer_list<const char*> statements) const;
  py::object lazy_module(const char* name, std::span<const std::string> statements) const;
  // Raises AttributeError "module '<module>' has no attribute '<name>'", as
  // Python does for a name a module neither holds nor binds on first use.
  [[noreturn]] void raise_no_attribute(py::handle name) const;

 private:
  py::handle module_;  // borrowed: the module owns the shared object we live in
  py::handle dict_;    // borrowed from the module
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

// getattr(value, name, fallback): the fallback only when the attribute is
// missing (AttributeError); other errors propagate. A null `py::object()` as
// the fallback marks a missing attribute for the caller to test.
py::object attribute_or(py::handle value, const char* name, py::object fallback);
py::object attribute_or(py::handle value, py::handle name, py::object fallback);

// dict.get(key, fallback) on a dict (subclasses read as plain dicts, without
// __missing__); errors of the key's hash or comparison propagate.
py::object dict_get(const py::dict& dict, py::handle key, py::object fallback);

// Removes `key` from `dict`; KeyError when it is missing.
void dict_delete(const py::dict& dict, const char* key);

// A shallow copy of `dict`, as dict(dict) gives.
py::dict dict_copy(const py::dict& dict);

// `item in container`, propagating errors.
bool contains(py::handle container, py::handle item);

// round(value, digits): the value's own __round__, so that ints, floats and
// numpy scalars keep their kind.
py::object round_to(py::handle value, int digits);

// The builtin `str` type.
py::handle str_type();

// A list or tuple holding the items of the iterable `value`, as
// PySequence_Fast gives; TypeError(`message`) when `value` is not iterable.
// Read with fast_size and fast_item.
py::object fast_sequence(py::handle value, const char* message);
Py_ssize_t fast_size(py::handle sequence);
// Borrowed from the sequence.
py::handle fast_item(py::handle sequence, Py_ssize_t index);

// `a, b = value` as Python unpacks it, with Python's errors.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// The module `name` when it has been imported already, else None; never
// imports anything.
py::object loaded_module(const char* name);

// isinstance(value, type), propagating errors.
bool is_instance(py::handle value, py::handle type);

// Raises TypeError "<what> must be of type list, not <type>" unless `value`
// is exactly a list (subclasses and tuples are refused too).
void require_list(py::handle value, const char* what);

// Raises TypeError "<what> must be of type str, not <type>" unless `value` is
// a str (subclasses included).
void require_text(py::handle value, const char* what);

// Raises TypeError "<what> must be of type str or None, not <type>" unless
// `value` is a str (subclasses included) or None.
void require_text_or_none(py::handle value, const char* what);

// Raises TypeError "<what> must be of type list or None, not <type>" unless
// `value` is a list (subclasses included) or None.
void require_list_or_none(py::handle value, const char* what);

// str(value) and format(value) as UTF-8, propagating errors.
std::string to_text(py::handle value);
std::string formatted(py::handle value);

// Raises `type(message)`.
[[noreturn]] void raise(py::handle type, const std::string& message);

// Raises the exception instance `exception`.
[[noreturn]] void raise_error(const py::object& exception);

// Raises `type(message)` with `cause` attached as __cause__ (and context).
[[noreturn]] void raise_from(const py::error_already_set& cause, py::handle type, const std::string& message);

// Raises the exception instance `exception` with `context` as its
// __context__, as raising it inside an `except` block would.
[[noreturn]] void raise_instance(const py::object& exception, const py::error_already_set& context);

// The exception being handled (inside a catch block), as a Python error:
// Python errors as they are, C++ exceptions translated as pybind11 does.
py::error_already_set current_error();

// Whether the error is an ordinary one (an Exception subclass), as opposed
// to cancellation, GeneratorExit, KeyboardInterrupt or SystemExit.
inline bool is_ordinary(const py::error_already_set& error) {
  return error.matches(PyExc_Exception);
}

// The (type, value, traceback) that `with` and `async with` hand to
// __exit__ / __aexit__ for an error; the traceback is None when it has none.
py::tuple exit_arguments(const py::error_already_set& error);

// Holds `lock` (a threading.Lock) for the guard's lifetime. Acquiring goes
// through Python, which releases the GIL while it waits.
class LockGuard {
 public:
  explicit LockGuard(py::object lock);
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard();

 private:
  py::object lock_;
};

// callable(**kwargs).
py::object call_kw(py::handle callable, const py::dict& kwargs);

}  // namespace zcore
