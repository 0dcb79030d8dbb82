#include "core/coro.hpp"

#include <string>

namespace zcore {

// ---------------------------------------------------------------------------
// HeldError

void HeldError::fetch() noexcept {
  clear();
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
}

void HeldError::restore() noexcept {
  PyErr_Restore(type, value, traceback);
  type = value = traceback = nullptr;
}

void HeldError::clear() noexcept {
  Py_CLEAR(type);
  Py_CLEAR(value);
  Py_CLEAR(traceback);
}

int HeldError::traverse(visitproc visit, void* arg) const {
  Py_VISIT(type);
  Py_VISIT(value);
  Py_VISIT(traceback);
  return 0;
}

namespace {

enum class State : std::uint8_t { created, suspended, running, finished };

struct CoroObject {
  PyObject_HEAD Coro::handle_type handle;  // null once the body finished or was dropped
  PyObject* qualname;
  State state;
};

PyTypeObject* coro_type = nullptr;  // this module's coroutine type

CoroPromise& promise_of(CoroObject* self) {
  return self->handle.promise();
}

void destroy_frame(CoroObject* self) noexcept {
  self->state = State::finished;
  if (self->handle) std::exchange(self->handle, {}).destroy();
}

// StopIteration carrying `value` (stolen), safe for tuples and exceptions.
void set_stop_iteration(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetNone(PyExc_StopIteration);
  } else {
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (stop != nullptr) {
      PyErr_SetObject(PyExc_StopIteration, stop);
      Py_DECREF(stop);
    }
  }
  Py_DECREF(value);
}

// A StopIteration escaping the body becomes a RuntimeError, as for async def.
void replace_stop_iteration(HeldError& error) {
  if (!PyErr_GivenExceptionMatches(error.type, PyExc_StopIteration)) return;
  PyObject* cause = Py_NewRef(error.value);
  error.clear();
  PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
  error.fetch();
  PyException_SetCause(error.value, Py_NewRef(cause));  // steals
  PyException_SetContext(error.value, cause);           // steals
}

// Runs the body until its next suspension or its end.
PySendResult resume_body(CoroObject* self, PyObject** presult) {
  CoroPromise& promise = promise_of(self);
  self->state = State::running;
  self->handle.resume();
  if (!self->handle.done()) {
    self->state = State::suspended;
    *presult = std::exchange(promise.yielded, nullptr);
    return PYGEN_NEXT;
  }
  HeldError failure = std::exchange(promise.failure, {});
  PyObject* result = std::exchange(promise.result, nullptr);
  destroy_frame(self);
  if (failure.set()) {
    Py_XDECREF(result);
    replace_stop_iteration(failure);
    failure.restore();
    *presult = nullptr;
    return PYGEN_ERROR;
  }
  *presult = result != nullptr ? result : Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

bool refuse_if_unusable(CoroObject* self) {
  if (self->state == State::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
  }
  if (self->state == State::finished) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return true;
  }
  return false;
}

// Hands the inner awaitable's outcome to the body and resumes it.
PySendResult after_inner(CoroObject* self, PySendResult inner_result, PyObject* out, PyObject** presult) {
  CoroPromise& promise = promise_of(self);
  if (inner_result == PYGEN_NEXT) {
    self->state = State::suspended;
    *presult = out;
    return PYGEN_NEXT;
  }
  Py_CLEAR(promise.inner);
  if (inner_result == PYGEN_RETURN) {
    promise.received = out;
  } else {
    promise.thrown.fetch();
  }
  return resume_body(self, presult);
}

PySendResult coro_am_send(PyObject* obj, PyObject* arg, PyObject** presult) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  *presult = nullptr;
  if (refuse_if_unusable(self)) return PYGEN_ERROR;
  if (self->state == State::created && arg != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  CoroPromise& promise = promise_of(self);
  if (promise.inner != nullptr) {
    PyObject* out = nullptr;
    self->state = State::running;
    const PySendResult inner_result = PyIter_Send(promise.inner, arg, &out);
    return after_inner(self, inner_result, out, presult);
  }
  return resume_body(self, presult);
}

// Turns an am_send outcome into what a Python-level send/throw returns.
// `value` is taken by reference: it is filled in by the call in the first argument.
PyObject* as_method_result(PySendResult result, PyObject*& value) {
  if (result == PYGEN_NEXT) return value;
  if (result == PYGEN_RETURN) set_stop_iteration(value);
  return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
  PyObject* value = nullptr;
  return as_method_result(coro_am_send(self, arg, &value), value);
}

PyObject* coro_iternext(PyObject* self) {
  PyObject* value = nullptr;
  const PySendResult result = coro_am_send(self, Py_None, &value);
  if (result == PYGEN_RETURN) {
    if (value != Py_None) {
      set_stop_iteration(value);
    } else {
      Py_DECREF(value);
    }
    return nullptr;
  }
  return value;
}

// Builds the exception `throw(type[, value[, traceback]])` asks for, as
// generator.throw does, into the error indicator. Returns false on bad args.
bool set_thrown_error(PyObject* type, PyObject* value, PyObject* traceback) {
  if (traceback == Py_None) traceback = nullptr;
  if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  if (PyExceptionClass_Check(type)) {
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErr_Restore(type, value, traceback);
    return true;
  }
  if (PyExceptionInstance_Check(type)) {
    if (value != nullptr && value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return false;
    }
    PyObject* instance = type;
    PyObject* tb = traceback != nullptr ? Py_NewRef(traceback) : PyException_GetTraceback(instance);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(instance))), Py_NewRef(instance), tb);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(type)->tp_name);
  return false;
}

// Closes an iterator we delegate to; false (error set) when its close fails.
bool close_inner(PyObject* inner) {
  PyObject* close = nullptr;
  if (_PyObject_LookupAttr(inner, ZN_STR("close"), &close) < 0) return false;
  if (close == nullptr) return true;
  PyObject* result = PyObject_CallNoArgs(close);
  Py_DECREF(close);
  if (result == nullptr) return false;
  Py_DECREF(result);
  return true;
}

PyObject* coro_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument and at most 3, got %zd", nargs);
    return nullptr;
  }
  auto* self = reinterpret_cast<CoroObject*>(obj);
  if (self->state == State::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : nullptr;
  PyObject* traceback = nargs > 2 ? args[2] : nullptr;
  if (self->state != State::suspended) {
    // Not started or already done: the body never sees it.
    destroy_frame(self);
    set_thrown_error(type, value, traceback);
    return nullptr;
  }
  CoroPromise& promise = promise_of(self);
  PyObject* out = nullptr;
  if (promise.inner != nullptr) {
    if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
      // Like `yield from`: close the inner iterator, then raise in the body.
      PyObject* inner = std::exchange(promise.inner, nullptr);
      self->state = State::running;
      const bool closed = close_inner(inner);
      Py_DECREF(inner);
      if (!closed) {
        promise.thrown.fetch();
        return as_method_result(resume_body(self, &out), out);
      }
    } else {
      PyObject* forward = nullptr;
      if (_PyObject_LookupAttr(promise.inner, ZN_STR("throw"), &forward) < 0) return nullptr;
      if (forward != nullptr) {
        self->state = State::running;
        PyObject* yielded = PyObject_Vectorcall(forward, args, static_cast<size_t>(nargs), nullptr);
        Py_DECREF(forward);
        if (yielded != nullptr) return as_method_result(after_inner(self, PYGEN_NEXT, yielded, &out), out);
        PyObject* returned = nullptr;
        if (_PyGen_FetchStopIterationValue(&returned) == 0) {
          return as_method_result(after_inner(self, PYGEN_RETURN, returned, &out), out);
        }
        return as_method_result(after_inner(self, PYGEN_ERROR, nullptr, &out), out);
      }
      Py_CLEAR(promise.inner);
    }
  }
  if (!set_thrown_error(type, value, traceback)) return nullptr;
  promise.thrown.fetch();
  return as_method_result(resume_body(self, &out), out);
}

PyObject* coro_close(PyObject* obj, PyObject*) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  if (self->state == State::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  if (self->state != State::suspended) {
    destroy_frame(self);
    Py_RETURN_NONE;
  }
  PyObject* args[] = {PyExc_GeneratorExit};
  PyObject* result = coro_throw(obj, args, 1);
  if (result != nullptr) {
    Py_DECREF(result);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

PyObject* coro_await(PyObject* self) {
  return Py_NewRef(self);
}

void coro_finalize(PyObject* obj) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  if (self->state == State::finished) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (self->state == State::created) {
    destroy_frame(self);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", self->qualname) < 0) {
      PyErr_WriteUnraisable(obj);
    }
  } else if (self->state == State::suspended) {
    PyObject* result = coro_close(obj, nullptr);
    if (result == nullptr) {
      PyErr_WriteUnraisable(obj);
    } else {
      Py_DECREF(result);
    }
  }
  PyErr_Restore(type, value, traceback);
}

int coro_traverse(PyObject* obj, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  Py_VISIT(Py_TYPE(obj));
  if (self->handle) return promise_of(self).traverse(visit, arg);
  return 0;
}

int coro_clear(PyObject* obj) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  if (self->handle) promise_of(self).clear_references();
  return 0;
}

void coro_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  PyObject_GC_UnTrack(obj);
  if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
  destroy_frame(self);
  Py_CLEAR(self->qualname);
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* coro_repr(PyObject* obj) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  return PyUnicode_FromFormat("<coroutine object %U at %p>", self->qualname, obj);
}

PyObject* get_qualname(PyObject* obj, void*) {
  return Py_NewRef(reinterpret_cast<CoroObject*>(obj)->qualname);
}

PyObject* get_running(PyObject* obj, void*) {
  return PyBool_FromLong(reinterpret_cast<CoroObject*>(obj)->state == State::running);
}

PyObject* get_awaiting(PyObject* obj, void*) {
  auto* self = reinterpret_cast<CoroObject*>(obj);
  PyObject* inner = self->handle ? promise_of(self).inner : nullptr;
  return Py_NewRef(inner != nullptr ? inner : Py_None);
}

PyObject* get_none(PyObject*, void*) {
  Py_RETURN_NONE;
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value) or throw(type[, value[, traceback]]): raise inside the coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside the coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_qualname, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// ---------------------------------------------------------------------------
// Promise and awaiter

CoroPromise::~CoroPromise() {
  Py_XDECREF(inner);
  Py_XDECREF(yielded);
  Py_XDECREF(received);
  Py_XDECREF(result);
  thrown.clear();
  failure.clear();
}

Coro CoroPromise::get_return_object() noexcept {
  return Coro(Coro::handle_type::from_promise(*this));
}

void CoroPromise::unhandled_exception() noexcept {
  try {
    throw;
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  failure.fetch();
}

PyAwaiter CoroPromise::await_transform(py::handle awaitable) {
  return PyAwaiter{this, py::reinterpret_borrow<py::object>(awaitable), {}};
}

PyAwaiter CoroPromise::await_transform(Coro&& coro) {
  return PyAwaiter{this, to_python(std::move(coro), ZN_STR("<native>")), {}};
}

int CoroPromise::traverse(visitproc visit, void* arg) const {
  for (std::size_t i = 0; i < tracked_count_; ++i) Py_VISIT(tracked_[i]->ptr());
  Py_VISIT(inner);
  Py_VISIT(yielded);
  Py_VISIT(received);
  Py_VISIT(result);
  if (const int rc = thrown.traverse(visit, arg)) return rc;
  return failure.traverse(visit, arg);
}

void CoroPromise::clear_references() noexcept {
  for (std::size_t i = 0; i < tracked_count_; ++i) *tracked_[i] = py::none();
  Py_CLEAR(inner);
  Py_CLEAR(yielded);
  Py_CLEAR(received);
  Py_CLEAR(result);
  thrown.clear();
  failure.clear();
}

PyObject* get_awaitable_iter(PyObject* awaitable) {
  if (PyCoro_CheckExact(awaitable)) return Py_NewRef(awaitable);
  if (PyGen_CheckExact(awaitable)) {
    // Generator-based coroutines (types.coroutine) are their own iterators.
    PyObject* code = PyObject_GetAttr(awaitable, ZN_STR("gi_code"));
    if (code == nullptr) return nullptr;
    const int flags = reinterpret_cast<PyCodeObject*>(code)->co_flags;
    Py_DECREF(code);
    if ((flags & CO_ITERABLE_COROUTINE) != 0) return Py_NewRef(awaitable);
  }
  PyAsyncMethods* async = Py_TYPE(awaitable)->tp_as_async;
  if (async == nullptr || async->am_await == nullptr) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 Py_TYPE(awaitable)->tp_name);
    return nullptr;
  }
  PyObject* iter = async->am_await(awaitable);
  if (iter == nullptr) return nullptr;
  if (PyCoro_CheckExact(iter)) {
    Py_DECREF(iter);
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return nullptr;
  }
  if (!PyIter_Check(iter)) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(iter)->tp_name);
    Py_DECREF(iter);
    return nullptr;
  }
  return iter;
}

bool PyAwaiter::await_ready() {
  PyObject* iter = get_awaitable_iter(awaitable.ptr());
  if (iter == nullptr) throw py::error_already_set();
  PyObject* out = nullptr;
  const PySendResult result = PyIter_Send(iter, Py_None, &out);
  if (result == PYGEN_NEXT) {
    promise->inner = iter;
    promise->yielded = out;
    return false;
  }
  Py_DECREF(iter);
  if (result == PYGEN_ERROR) throw py::error_already_set();
  ready_value = py::reinterpret_steal<py::object>(out);
  return true;
}

py::object PyAwaiter::await_resume() {
  awaitable = py::object();
  if (ready_value) return std::move(ready_value);
  if (promise->thrown.set()) {
    promise->thrown.restore();
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(std::exchange(promise->received, nullptr));
}

// ---------------------------------------------------------------------------
// Python surface

py::object to_python(Coro coro, PyObject* qualname) {
  if (coro_type == nullptr) throw std::logic_error("init_coroutines() was not called for this module");
  PyObject* obj = coro_type->tp_alloc(coro_type, 0);
  if (obj == nullptr) throw py::error_already_set();
  auto* self = reinterpret_cast<CoroObject*>(obj);
  self->handle = coro.release();
  self->qualname = Py_NewRef(qualname);
  self->state = State::created;
  return py::reinterpret_steal<py::object>(obj);
}

void init_coroutines(py::module_& module) {
  if (coro_type != nullptr) return;
  // The type name must outlive the type; there is one module per shared object.
  static const std::string type_name = module.attr("__name__").cast<std::string>() + ".coroutine";
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
      {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
      {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
      {Py_tp_iter, reinterpret_cast<void*>(coro_await)},
      {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
      {Py_tp_methods, coro_methods},
      {Py_tp_getset, coro_getset},
      {Py_am_await, reinterpret_cast<void*>(coro_await)},
      {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      type_name.c_str(),
      static_cast<int>(sizeof(CoroObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) throw py::error_already_set();
  coro_type = reinterpret_cast<PyTypeObject*>(type);
  py::module_::import("collections.abc").attr("Coroutine").attr("register")(py::handle(type));
}

bool is_ordinary(const py::error_already_set& error) {
  return error.matches(PyExc_Exception);
}

}  // namespace zcore
