// Test-only module: small C++ coroutines that exercise the coroutine bridge.
// Built for developer builds only; never shipped.
#include <pybind11/pybind11.h>

#include <stdexcept>

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

}  // namespace

PYBIND11_MODULE(_coro_probe, m) {
  zcore::init_coroutines(m);
  m.def("await_value",
        [](py::object a) { return zcore::to_python(await_value(std::move(a)), ZN_STR("await_value")); });
  m.def("await_all",
        [](py::list a) { return zcore::to_python(await_all(std::move(a)), ZN_STR("await_all")); });
  m.def("return_value",
        [](py::object v) { return zcore::to_python(return_value(std::move(v)), ZN_STR("return_value")); });
  m.def("nested", [](int depth, py::object a) {
    return zcore::to_python(nested(depth, std::move(a)), ZN_STR("nested"));
  });
  m.def("catch_ordinary", [](py::object a) {
    return zcore::to_python(catch_ordinary(std::move(a)), ZN_STR("catch_ordinary"));
  });
  m.def("wrap_error",
        [](py::object a) { return zcore::to_python(wrap_error(std::move(a)), ZN_STR("wrap_error")); });
  m.def("log_outcome", [](py::object a, py::list log) {
    return zcore::to_python(log_outcome(std::move(a), std::move(log)), ZN_STR("log_outcome"));
  });
  m.def("raise_stop_iteration",
        [] { return zcore::to_python(raise_stop_iteration(), ZN_STR("raise_stop_iteration")); });
  m.def("raise_cpp",
        [](py::str s) { return zcore::to_python(raise_cpp(std::move(s)), ZN_STR("raise_cpp")); });
}
