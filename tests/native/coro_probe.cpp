// Test-only module: small C++ coroutines that exercise the coroutine bridge.
// Built for developer builds only; never shipped.
#include <pybind11/pybind11.h>

#include <optional>
#include <stdexcept>

#include "core/async_context.hpp"
#include "core/bind.hpp"
#include "core/coro.hpp"

namespace py = pybind11;
using zcore::Coro;

namespace {

Coro await_value(py::object awaitable) {
  co_return co_await awaitable;
}

Coro await_all(py::list awaitables) {
  py::list results;
  for (py::handle awaitable : awaitables) results.append(co_await awaitable);
  co_return results;
}

Coro return_value(py::object value) {
  co_return value;
}

Coro nested(int depth, py::object awaitable) {
  if (depth == 0) co_return co_await awaitable;
  py::object inner = co_await nested(depth - 1, awaitable);
  co_return inner;
}

// Ordinary errors become a value; cancellation and the like pass through.
Coro catch_ordinary(py::object awaitable) {
  try {
    co_return co_await awaitable;
  } catch (py::error_already_set& error) {
    if (!zcore::is_ordinary(error)) throw;
    co_return py::make_tuple("caught", py::str(error.value()));
  }
}

// Raises a new error with the awaited one as its cause.
Coro wrap_error(py::object awaitable) {
  try {
    co_return co_await awaitable;
  } catch (py::error_already_set& error) {
    if (!zcore::is_ordinary(error)) throw;
    zcore::raise_from(error, PyExc_RuntimeError, "wrapped: " + zcore::to_text(error.value()));
  }
}

// Records in `log` how the awaited operation ended, then lets it propagate.
Coro log_outcome(py::object awaitable, py::list log) {
  try {
    py::object value = co_await awaitable;
    log.append("done");
    co_return value;
  } catch (py::error_already_set& error) {
    log.append(py::type::of(error.value()).attr("__name__"));
    throw;
  }
}

Coro raise_stop_iteration() {
  PyErr_SetString(PyExc_StopIteration, "leaked");
  throw py::error_already_set();
  co_return py::none();
}

Coro raise_cpp(py::str message) {
  throw std::runtime_error(message.cast<std::string>());
  co_return py::none();
}

// `async with manager: return await awaitable`.
Coro inside_context(py::object manager, py::object awaitable) {
  zcore::AsyncContext context(std::move(manager));
  co_await context.enter();
  std::optional<py::error_already_set> failure;
  py::object value;
  try {
    value = co_await awaitable;
  } catch (...) {
    failure = zcore::current_error();
  }
  zcore::AsyncContext::finish(co_await context.exit(failure), failure);
  co_return value;
}

// Empties `holder` while a KeyError is pending, so that finalisers of what
// it held run with an error in flight; then raises that KeyError.
void drop_while_failing(py::list holder) {
  PyErr_SetString(PyExc_KeyError, "in flight");
  if (PyList_SetSlice(holder.ptr(), 0, PyList_GET_SIZE(holder.ptr()), nullptr) != 0) {
    throw py::error_already_set();
  }
  throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(_coro_probe, m) {
  zcore::init_coroutines(m);
  zcore::def_coroutine(m, "await_value", &await_value);
  zcore::def_coroutine(m, "await_all", &await_all);
  zcore::def_coroutine(m, "return_value", &return_value);
  zcore::def_coroutine(m, "nested", &nested);
  zcore::def_coroutine(m, "catch_ordinary", &catch_ordinary);
  zcore::def_coroutine(m, "wrap_error", &wrap_error);
  zcore::def_coroutine(m, "log_outcome", &log_outcome);
  zcore::def_coroutine(m, "raise_stop_iteration", &raise_stop_iteration);
  zcore::def_coroutine(m, "raise_cpp", &raise_cpp);
  zcore::def_coroutine(m, "inside_context", &inside_context);
  m.def("drop_while_failing", &drop_while_failing);
}
