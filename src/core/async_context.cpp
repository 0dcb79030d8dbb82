#include "core/async_context.hpp"

namespace zcore {

AsyncContext::AsyncContext(py::object manager) : manager_(std::move(manager)) {
  py::object type = py::type::of(manager_);
  if (!py::hasattr(type, "__aenter__") || !py::hasattr(type, "__aexit__")) {
    PyErr_Format(PyExc_TypeError, "'%s' object does not support the asynchronous context manager protocol",
                 Py_TYPE(manager_.ptr())->tp_name);
    throw py::error_already_set();
  }
  exit_ = type.attr(ZN_ID(__aexit__));
}

py::object AsyncContext::enter() const {
  return py::type::of(manager_).attr(ZN_ID(__aenter__))(manager_);
}

py::object AsyncContext::exit(const std::optional<py::error_already_set>& failure) const {
  if (failure) return exit_(manager_, failure->type(), failure->value(), failure->trace());
  return exit_(manager_, py::none(), py::none(), py::none());
}

}  // namespace zcore
