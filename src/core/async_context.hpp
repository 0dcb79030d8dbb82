// `async with` for Coro bodies. C++ cannot co_await inside a catch handler,
// so the body's error is captured first and the manager exited afterwards:
//
//   zcore::AsyncContext context(manager);
//   py::object value = co_await context.enter();
//   std::optional<py::error_already_set> failure;
//   try { ... } catch (py::error_already_set& error) { failure = error; }
//   if (!zcore::truthy(co_await context.exit(failure))) zcore::rethrow(failure);
#pragma once

#include <optional>

#include "core/pyhelpers.hpp"

namespace zcore {

class AsyncContext {
 public:
  explicit AsyncContext(py::object manager);
  // Awaitable of __aenter__.
  py::object enter() const;
  // Awaitable of __aexit__, given the body's error if it failed. Its result
  // is true when the manager swallowed the error.
  py::object exit(const std::optional<py::error_already_set>& failure) const;

 private:
  py::object manager_;
  py::object exit_;
};

// Throws the captured error again, if there is one.
inline void rethrow(const std::optional<py::error_already_set>& failure) {
  if (failure) throw *failure;
}

}  // namespace zcore
