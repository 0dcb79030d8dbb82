// Building the Python surface of a module: ordinary Python classes whose
// methods are C++ functions, and coroutine functions and methods.
//
//   py::object cls = zcore::make_class(m, "Detectwire", doc, attributes);
//   zcore::add_method(cls, "evaluate", &evaluate, "data"_a);
//   zcore::add_coroutine_method(cls, "evaluate_async", &evaluate_async, "data"_a);
//   zcore::def_coroutine(m, "_evaluate_metrics_async", &start, "configuration"_a, ...);
//
// The class is made by `type(...)`, so it is a plain Python class: callers
// subclass it, override any method, and patch its attributes. A function
// given to add_coroutine_method / def_coroutine returns a `zcore::Coro`; it
// may check its arguments before returning the coroutine, so that bad
// arguments fail at the call as they are meant to.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

#include "core/coro.hpp"

namespace zcore {

namespace py = pybind11;

// A new Python class `name` in `module`, with `attributes` (constants,
// docstring) in its namespace.
py::object make_class(const py::module_& module, const char* name, const char* doc,
                      const py::dict& attributes);

// The qualified name a Python method of `cls` called `name` would have;
// a private method keeps its source spelling ("Detectwire.__compute_metric"
// for "_Detectwire__compute_metric"). An interned str.
py::str method_qualname(const py::object& cls, const char* name);

// Adds `function` to `cls` as an ordinary (overridable) method.
template <typename Function, typename... Extra>
void add_method(py::object& cls, const char* name, Function&& function, const Extra&... extra) {
  // pybind11 treats any function named "__init__" as the constructor of one
  // of its own classes, so the constructor's function object gets its
  // qualified name instead.
  const std::string function_name =
      std::string_view(name) == "__init__" ? method_qualname(cls, name).cast<std::string>() : name;
  cls.attr(name) = py::cpp_function(std::forward<Function>(function), py::name(function_name.c_str()),
                                    py::is_method(cls), extra...);
}

// Adds a coroutine method: calling it returns a coroutine object named like
// the `async def` method it stands for.
template <typename... Args, typename... Extra>
void add_coroutine_method(py::object& cls, const char* name, Coro (*function)(Args...),
                          const Extra&... extra) {
  py::str qualname = method_qualname(cls, name);
  add_method(
      cls, name,
      [function, qualname](Args... args) {
        return to_python(function(std::forward<Args>(args)...), qualname);
      },
      extra...);
}

// Defines a module-level coroutine function.
template <typename... Args, typename... Extra>
void def_coroutine(py::module_& module, const char* name, Coro (*function)(Args...), const Extra&... extra) {
  py::str qualname = py::reinterpret_borrow<py::str>(intern(name));
  module.def(
      name,
      [function, qualname](Args... args) {
        return to_python(function(std::forward<Args>(args)...), qualname);
      },
      extra...);
}

}  // namespace zcore
