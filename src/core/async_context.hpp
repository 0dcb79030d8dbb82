// `async with` for Coro bodies. C++ cannot co_await inside a catch handler,
// so the body's error is captured first and the manager exited afterwards:
//
//   zcore::AsyncContext context(manager);
//   py::object value = co_await context.enter();
//   std::optional<py::error_already_set> failure;
//   try { ... } catch (...) { failure = zcore::current_error(); }
//   context.finish(co_await context.exit(failure), failure);
//
// As in `async with`, __aexit__ gets the error's type, value and traceback
// (None when it has none) and may suppress it by returning a true value;
// otherwise the error leaves unchanged, whatever its type.
#pragma once

#include <optional>

#include "core/pyhelpers.hpp"

namespace zcore {

class AsyncContext {
 public:
  explicit AsyncContext(py::object manager);
  // Awaitable of __aenter__.
  py::object enter() const;
  // Awaitable of __aexit__, given the body's error if it failed.
  py::object exit(const std::optional<py::error_already_set>& failure) const;
  // After __aexit__ returned `exit_result`: raises the body's error again
  // unless the manager suppressed it.
  static void finish(const py::object& exit_result, const std::optional<py::error_already_set>& failure);

 private:
  py::object manager_;
  py::object exit_;
};

}  // namespace zcore
