#include "core/async_context.hpp"

namespace zcore {

AsyncContext::AsyncContext(py::object manager) : manager_(std::move(manager)) {
  py::object type = py::type::of(manager_);
  if (!py::hasattr(type, "__aenter__") || !py::hasattr(type, "__aexit__")) {
    PyErr_Format(PyExc_TypeError, "'%s' object does not support the asynchronous context manager protocol",
                 Py_TYPE(manager_.ptr())->tp_name);
    throw py::error_already_set();
  }
  exit_ = type.attr(ZN_STR("__aexit__"));
}

py::object AsyncContext::enter() const {
  return py::type::of(manager_).attr(ZN_STR("__aenter__"))(manager_);
}

py::object AsyncContext::exit(const std::optional<py::error_already_set>& failure) const {
  if (!failure) return exit_(manager_, py::none(), py::none(), py::none());
  return exit_(manager_, *exit_arguments(*failure));
}

void AsyncContext::finish(const py::object& exit_result,
                          const std::optional<py::error_already_set>& failure) {
  if (failure && !truthy(exit_result)) throw *failure;
}

}  // namespace zcore
