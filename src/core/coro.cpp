#include "core/coro.hpp"

#include <structmember.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/compat.hpp"

namespace zcore {

namespace {

enum class State : std::uint8_t { created, suspended, running, finished };

// The C++ side of a coroutine object, placement-constructed in the Python
// object's memory by to_python and destroyed by its dealloc.
struct CoroFields {
  CoroFields(Coro::handle_type body, py::object name_text) : handle(body), qualname(std::move(name_text)) {}

  Coro::handle_type handle;  // null once the body finished or was dropped
  py::object qualname;
  py::object name;   // null until read or set; defaults to qualname's last part
  py::object code;   // placeholder code object, made when first asked for
  py::object frame;  // placeholder frame, made when first asked for
  State state = State::created;
};

struct CoroObject {
  PyObject_HEAD PyObject* weakrefs;  // the weak-reference list slot; owned and cleared through the C API
  CoroFields fields;
};

// What `__await__` returns, like CPython's coroutine_wrapper: the iterator
// that an `await` in Python code drives.
struct WrapperObject {
  PyObject_HEAD py::object coro;
};

// This module's types: strong references kept for the life of the process.
PyTypeObject* coro_type = nullptr;
PyTypeObject* wrapper_type = nullptr;
py::handle frame_globals;  // the owning module's dict, borrowed: the module outlives its coroutines

CoroFields& fields_of(PyObject* object) {
  return reinterpret_cast<CoroObject*>(object)->fields;
}

CoroPromise& promise_of(CoroFields& fields) {
  return fields.handle.promise();
}

bool is_native(PyObject* object) {
  return Py_TYPE(object) == coro_type;
}

void destroy_frame(CoroFields& fields) noexcept {
  fields.state = State::finished;
  fields.frame = py::object();
  if (fields.handle) std::exchange(fields.handle, {}).destroy();
}

// Raises StopIteration(value) the way a finished generator does, safe for
// tuples and exception instances.
void set_stop_iteration(const py::object& value) {
  if (value.is_none()) {
    PyErr_SetNone(PyExc_StopIteration);
    return;
  }
  PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());  // new reference
  if (stop == nullptr) return;
  PyErr_SetObject(PyExc_StopIteration, stop);
  Py_DECREF(stop);
}

// Puts the body's failure into the error indicator; a StopIteration escaping
// the body becomes a RuntimeError, as for async def.
void restore_failure(py::error_already_set& failure) {
  if (!failure.matches(PyExc_StopIteration)) {
    failure.restore();
    return;
  }
  py::object stop = failure.value();
  PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
  py::error_already_set replacement;
  PyException_SetCause(replacement.value().ptr(), stop.inc_ref().ptr());    // steals
  PyException_SetContext(replacement.value().ptr(), stop.inc_ref().ptr());  // steals
  replacement.restore();
}

// Runs the body until its next suspension or its end. C-slot convention:
// *result is a new reference, or null with an error set.
PySendResult resume_body(CoroFields& fields, PyObject** result) {
  CoroPromise& promise = promise_of(fields);
  fields.state = State::running;
  fields.handle.resume();
  if (!fields.handle.done()) {
    fields.state = State::suspended;
    *result = promise.yielded.release().ptr();
    return PYGEN_NEXT;
  }
  std::optional<py::error_already_set> failure = std::exchange(promise.failure, std::nullopt);
  py::object value = std::move(promise.result);
  destroy_frame(fields);
  if (failure) {
    restore_failure(*failure);
    *result = nullptr;
    return PYGEN_ERROR;
  }
  *result = (value ? std::move(value) : py::none()).release().ptr();
  return PYGEN_RETURN;
}

// Hands the inner awaitable's outcome to the body and resumes it.
PySendResult after_inner(CoroFields& fields, PySendResult inner_result, PyObject* out, PyObject** result) {
  CoroPromise& promise = promise_of(fields);
  if (inner_result == PYGEN_NEXT) {
    fields.state = State::suspended;
    *result = out;
    return PYGEN_NEXT;
  }
  promise.inner = py::object();
  if (inner_result == PYGEN_RETURN) {
    promise.received = py::reinterpret_steal<py::object>(out);
  } else {
    promise.thrown.emplace();
  }
  return resume_body(fields, result);
}

bool refuse_if_unusable(const CoroFields& fields) {
  if (fields.state == State::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
  }
  if (fields.state == State::finished) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return true;
  }
  return false;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  CoroFields& fields = fields_of(self);
  *result = nullptr;
  if (refuse_if_unusable(fields)) return PYGEN_ERROR;
  if (fields.state == State::created && arg != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  CoroPromise& promise = promise_of(fields);
  if (promise.inner) {
    PyObject* out = nullptr;  // new reference from PyIter_Send
    fields.state = State::running;
    const PySendResult inner_result = PyIter_Send(promise.inner.ptr(), arg, &out);
    return after_inner(fields, inner_result, out, result);
  }
  return resume_body(fields, result);
}

// What a Python-level send/throw/__next__ returns for an am_send outcome.
PyObject* as_method_result(PySendResult outcome, PyObject* value) {
  if (outcome == PYGEN_NEXT) return value;
  if (outcome == PYGEN_RETURN) set_stop_iteration(py::reinterpret_steal<py::object>(value));
  return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
  PyObject* value = nullptr;
  const PySendResult outcome = coro_am_send(self, arg, &value);
  return as_method_result(outcome, value);
}

// Puts the exception that `throw(type[, value[, traceback]])` asks for into
// the error indicator, as generator.throw does. False on bad arguments.
bool set_thrown_error(PyObject* type, PyObject* value, PyObject* traceback) {
  if (traceback == Py_None) traceback = nullptr;
  if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  if (PyExceptionClass_Check(type)) {
    // PyErr_NormalizeException and PyErr_Restore take these three references.
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
    PyObject* exception_type =
        Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(type)));  // given to PyErr_Restore
    PyObject* tb = traceback != nullptr ? Py_NewRef(traceback) : PyException_GetTraceback(type);  // ditto
    PyErr_Restore(exception_type, Py_NewRef(type), tb);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(type)->tp_name);
  return false;
}

// Closes an iterator we delegate to; false (error set) when its close fails.
bool close_inner(const py::object& inner) {
  PyObject* close = nullptr;  // new reference when found
  if (compat::lookup_attr(inner.ptr(), ZN_STR("close").ptr(), &close) < 0) return false;
  if (close == nullptr) return true;
  PyObject* result = PyObject_CallNoArgs(close);  // new reference
  Py_DECREF(close);
  if (result == nullptr) return false;
  Py_DECREF(result);
  return true;
}

// If a StopIteration is set, clears it and gives its value; otherwise false
// with the error left in place.
bool take_stop_iteration(PyObject** value) {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
  py::error_already_set stop;
  py::object returned = stop.value().attr("value");
  *value = returned.release().ptr();
  return true;
}

// Forwards throw() to the inner iterator, as `yield from` does.
PyObject* throw_into_inner(CoroFields& fields, PyObject* const* args, Py_ssize_t nargs) {
  CoroPromise& promise = promise_of(fields);
  PyObject* out = nullptr;
  PyObject* forward = nullptr;  // new reference when found
  if (compat::lookup_attr(promise.inner.ptr(), ZN_STR("throw").ptr(), &forward) < 0) return nullptr;
  if (forward == nullptr) return nullptr;  // no error set: the caller raises in the body
  fields.state = State::running;
  PyObject* yielded = PyObject_Vectorcall(forward, args, static_cast<size_t>(nargs), nullptr);  // new
  Py_DECREF(forward);
  if (yielded != nullptr) {
    // Sequenced: `out` is read only once after_inner has set it.
    const PySendResult outcome = after_inner(fields, PYGEN_NEXT, yielded, &out);
    return as_method_result(outcome, out);
  }
  PyObject* returned = nullptr;
  if (take_stop_iteration(&returned)) {
    const PySendResult outcome = after_inner(fields, PYGEN_RETURN, returned, &out);
    return as_method_result(outcome, out);
  }
  const PySendResult outcome = after_inner(fields, PYGEN_ERROR, nullptr, &out);
  return as_method_result(outcome, out);
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument and at most 3, got %zd", nargs);
    return nullptr;
  }
  CoroFields& fields = fields_of(self);
  if (refuse_if_unusable(fields)) return nullptr;
  PyObject* type = args[0];
  PyObject* value = nargs > 1 ? args[1] : nullptr;
  PyObject* traceback = nargs > 2 ? args[2] : nullptr;
  if (fields.state == State::created) {
    // Raised where the body would start: the body never runs.
    if (!set_thrown_error(type, value, traceback)) return nullptr;
    py::error_already_set error;
    destroy_frame(fields);
    error.restore();
    return nullptr;
  }
  CoroPromise& promise = promise_of(fields);
  PyObject* out = nullptr;
  if (promise.inner) {
    if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
      // Like `yield from`: close the inner iterator, then raise in the body.
      py::object inner = std::move(promise.inner);
      fields.state = State::running;
      if (!close_inner(inner)) {
        promise.thrown.emplace();
        const PySendResult outcome = resume_body(fields, &out);
        return as_method_result(outcome, out);
      }
    } else {
      PyObject* forwarded = throw_into_inner(fields, args, nargs);
      if (forwarded != nullptr || PyErr_Occurred()) return forwarded;
      promise.inner = py::object();  // no throw() to forward to: raise in the body
    }
  }
  if (!set_thrown_error(type, value, traceback)) return nullptr;
  promise.thrown.emplace();
  const PySendResult outcome = resume_body(fields, &out);
  return as_method_result(outcome, out);
}

PyObject* coro_close(PyObject* self, PyObject* /*unused*/) {
  CoroFields& fields = fields_of(self);
  if (fields.state == State::running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  if (fields.state != State::suspended) {
    destroy_frame(fields);
    Py_RETURN_NONE;
  }
  PyObject* args[] = {PyExc_GeneratorExit};  // borrowed
  PyObject* result = coro_throw(self, args, 1);
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
  auto* wrapper = PyObject_GC_New(WrapperObject, wrapper_type);  // new reference
  if (wrapper == nullptr) return nullptr;
  std::construct_at(&wrapper->coro, py::reinterpret_borrow<py::object>(self));
  PyObject_GC_Track(wrapper);
  return reinterpret_cast<PyObject*>(wrapper);
}

void coro_finalize(PyObject* self) {
  CoroFields& fields = fields_of(self);
  if (fields.state == State::finished) return;
  py::error_scope pending;  // the finaliser must not disturb an error in flight
  if (fields.state == State::created) {
    destroy_frame(fields);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", fields.qualname.ptr()) <
        0) {
      PyErr_WriteUnraisable(self);
    }
    return;
  }
  PyObject* result = coro_close(self, nullptr);  // new reference
  if (result == nullptr) {
    PyErr_WriteUnraisable(self);
  } else {
    Py_DECREF(result);
  }
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroFields& fields = fields_of(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fields.qualname.ptr());
  Py_VISIT(fields.name.ptr());
  Py_VISIT(fields.code.ptr());
  Py_VISIT(fields.frame.ptr());
  if (fields.handle) return promise_of(fields).traverse(visit, arg);
  return 0;
}

int coro_clear(PyObject* self) {
  CoroFields& fields = fields_of(self);
  fields.frame = py::object();
  if (fields.handle) promise_of(fields).clear_references();
  return 0;
}

void coro_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<CoroObject*>(self);
  PyObject_GC_UnTrack(self);
  if (object->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  destroy_frame(object->fields);
  std::destroy_at(&object->fields);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", fields_of(self).qualname.ptr(), self);
}

py::object short_name(const py::object& qualname) {
  return qualname.attr("rpartition")(".")[py::int_(2)];
}

PyObject* get_name(PyObject* self, void* /*unused*/) {
  CoroFields& fields = fields_of(self);
  try {
    if (!fields.name) fields.name = short_name(fields.qualname);
  } catch (py::error_already_set& error) {
    error.restore();
    return nullptr;
  }
  return fields.name.inc_ref().ptr();
}

int set_text_field(py::object& field, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  field = py::reinterpret_borrow<py::object>(value);
  return 0;
}

int set_name(PyObject* self, PyObject* value, void* /*unused*/) {
  return set_text_field(fields_of(self).name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void* /*unused*/) {
  return fields_of(self).qualname.inc_ref().ptr();
}

int set_qualname(PyObject* self, PyObject* value, void* /*unused*/) {
  return set_text_field(fields_of(self).qualname, value, "__qualname__");
}

PyObject* get_running(PyObject* self, void* /*unused*/) {
  return PyBool_FromLong(fields_of(self).state == State::running);
}

PyObject* get_suspended(PyObject* self, void* /*unused*/) {
  return PyBool_FromLong(fields_of(self).state == State::suspended);
}

PyObject* get_awaiting(PyObject* self, void* /*unused*/) {
  CoroFields& fields = fields_of(self);
  if (!fields.handle || !promise_of(fields).inner) Py_RETURN_NONE;
  return promise_of(fields).inner.inc_ref().ptr();
}

PyObject* get_code(PyObject* self, void* /*unused*/) {
  CoroFields& fields = fields_of(self);
  if (!fields.code) {
    py::object name = py::reinterpret_steal<py::object>(get_name(self, nullptr));
    if (!name) return nullptr;
    const char* text = PyUnicode_AsUTF8(name.ptr());
    if (text == nullptr) return nullptr;
    PyObject* code = compat::new_placeholder_code("<native code>", text);  // new reference
    if (code == nullptr) return nullptr;
    fields.code = py::reinterpret_steal<py::object>(code);
  }
  return fields.code.inc_ref().ptr();
}

// A frame while the coroutine can still run, None once it is closed: what
// inspect.getcoroutinestate and asyncio's task reprs look for.
PyObject* get_frame(PyObject* self, void* /*unused*/) {
  CoroFields& fields = fields_of(self);
  if (fields.state == State::finished) Py_RETURN_NONE;
  if (!fields.frame) {
    py::object code = py::reinterpret_steal<py::object>(get_code(self, nullptr));
    if (!code) return nullptr;
    PyObject* frame = compat::new_placeholder_frame(code.ptr(), frame_globals.ptr());  // new reference
    if (frame == nullptr) return nullptr;
    fields.frame = py::reinterpret_steal<py::object>(frame);
  }
  return fields.frame.inc_ref().ptr();
}

PyObject* get_none(PyObject* /*self*/, void* /*unused*/) {
  Py_RETURN_NONE;
}

// -- the __await__ iterator -------------------------------------------------

PyObject* wrapped(PyObject* wrapper) {
  return reinterpret_cast<WrapperObject*>(wrapper)->coro.ptr();
}

PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** result) {
  return coro_am_send(wrapped(self), arg, result);
}

PyObject* wrapper_iternext(PyObject* self) {
  PyObject* value = nullptr;
  const PySendResult outcome = coro_am_send(wrapped(self), Py_None, &value);
  return as_method_result(outcome, value);
}

PyObject* wrapper_send(PyObject* self, PyObject* arg) {
  return coro_send(wrapped(self), arg);
}

PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return coro_throw(wrapped(self), args, nargs);
}

PyObject* wrapper_close(PyObject* self, PyObject* unused) {
  return coro_close(wrapped(self), unused);
}

PyObject* wrapper_iter(PyObject* self) {
  return Py_NewRef(self);
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(wrapped(self));
  return 0;
}

int wrapper_clear(PyObject* self) {
  reinterpret_cast<WrapperObject*>(self)->coro = py::object();
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  std::destroy_at(&reinterpret_cast<WrapperObject*>(self)->coro);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// METH_FASTCALL functions have their own signature; the method table stores
// them as PyCFunction.
template <typename Function>
PyCFunction as_method(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The coroutine and its __await__ iterator document their methods alike.
constexpr const char* kSendDoc =
    "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.";
constexpr const char* kThrowDoc =
    "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated "
    "value or raise StopIteration.";
constexpr const char* kCloseDoc = "close() -> raise GeneratorExit inside coroutine.";

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, kSendDoc},
    {"throw", as_method(coro_throw), METH_FASTCALL, kThrowDoc},
    {"close", coro_close, METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, "object being awaited on, or None", nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, kSendDoc},
    {"throw", as_method(wrapper_throw), METH_FASTCALL, kThrowDoc},
    {"close", wrapper_close, METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_type(PyType_Spec& blueprint) {
  PyObject* type = PyType_FromSpec(&blueprint);  // new reference, kept for the process
  if (type == nullptr) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(type);
}

// The iterator an `await` expression would drive for `awaitable` (a new
// reference). This module's own coroutines are driven directly.
py::object awaitable_iterator(const py::object& awaitable) {
  PyObject* object = awaitable.ptr();
  if (PyCoro_CheckExact(object) || is_native(object)) return awaitable;
  if (PyGen_CheckExact(object)) {
    // Generator-based coroutines (types.coroutine) are their own iterators.
    py::object code = awaitable.attr("gi_code");
    if (compat::is_iterable_coroutine_code(code.ptr())) return awaitable;
  }
  PyAsyncMethods* async = Py_TYPE(object)->tp_as_async;
  if (async == nullptr || async->am_await == nullptr) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 Py_TYPE(object)->tp_name);
    throw py::error_already_set();
  }
  py::object iterator = py::reinterpret_steal<py::object>(async->am_await(object));
  if (!iterator) throw py::error_already_set();
  if (PyCoro_CheckExact(iterator.ptr())) raise(PyExc_TypeError, "__await__() returned a coroutine");
  if (!PyIter_Check(iterator.ptr())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(iterator.ptr())->tp_name);
    throw py::error_already_set();
  }
  return iterator;
}

}  // namespace

// ---------------------------------------------------------------------------
// Promise and awaiter

Coro CoroPromise::get_return_object() noexcept {
  return Coro(Coro::handle_type::from_promise(*this));
}

PyAwaiter CoroPromise::await_transform(py::handle awaitable) {
  return PyAwaiter{this, py::reinterpret_borrow<py::object>(awaitable), {}};
}

PyAwaiter CoroPromise::await_transform(Coro&& coro) {
  return PyAwaiter{this, to_python(std::move(coro), ZN_STR("<native>")), {}};
}

int CoroPromise::traverse(visitproc visit, void* arg) const {
  for (std::size_t i = 0; i < tracked_count_; ++i) Py_VISIT(tracked_[i]->ptr());
  Py_VISIT(inner.ptr());
  Py_VISIT(yielded.ptr());
  Py_VISIT(received.ptr());
  Py_VISIT(result.ptr());
  for (const auto* held : {&thrown, &failure}) {
    if (*held) Py_VISIT((*held)->value().ptr());
  }
  return 0;
}

void CoroPromise::clear_references() noexcept {
  for (std::size_t i = 0; i < tracked_count_; ++i) *tracked_[i] = py::none();
  inner = py::object();
  yielded = py::object();
  received = py::object();
  result = py::object();
  thrown.reset();
  failure.reset();
}

bool PyAwaiter::await_ready() {
  py::object iterator = awaitable_iterator(awaitable);
  PyObject* out = nullptr;  // new reference from PyIter_Send
  const PySendResult outcome = PyIter_Send(iterator.ptr(), Py_None, &out);
  if (outcome == PYGEN_ERROR) throw py::error_already_set();
  if (outcome == PYGEN_NEXT) {
    promise->inner = std::move(iterator);
    promise->yielded = py::reinterpret_steal<py::object>(out);
    return false;
  }
  ready_value = py::reinterpret_steal<py::object>(out);
  return true;
}

py::object PyAwaiter::await_resume() {
  awaitable = py::object();
  if (ready_value) return std::move(ready_value);
  if (promise->thrown) {
    py::error_already_set error = std::move(*promise->thrown);
    promise->thrown.reset();
    throw error;
  }
  return std::move(promise->received);
}

// ---------------------------------------------------------------------------
// Python surface

py::object to_python(Coro coro, py::handle qualname) {
  if (coro_type == nullptr) throw std::logic_error("init_coroutines() was not called for this module");
  PyObject* object = coro_type->tp_alloc(coro_type, 0);  // new reference, zero-filled
  if (object == nullptr) throw py::error_already_set();
  auto* self = reinterpret_cast<CoroObject*>(object);
  std::construct_at(&self->fields, coro.release(), py::reinterpret_borrow<py::object>(qualname));
  return py::reinterpret_steal<py::object>(object);
}

void init_coroutines(py::module_& module) {
  if (coro_type != nullptr) return;
  frame_globals = module.attr("__dict__");
  // Type names must outlive the types; there is one module per shared object.
  static const std::string coro_name = module.attr("__name__").cast<std::string>() + ".coroutine";
  static const std::string wrapper_name = module.attr("__name__").cast<std::string>() + ".coroutine_wrapper";
  static PyType_Slot coro_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
      {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
      {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
      {Py_tp_methods, coro_methods},
      {Py_tp_getset, coro_getset},
      {Py_tp_members, coro_members},
      {Py_am_await, reinterpret_cast<void*>(coro_await)},
      {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
      {0, nullptr},
  };
  static PyType_Spec coro_spec = {
      coro_name.c_str(),
      static_cast<int>(sizeof(CoroObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      coro_slots,
  };
  static PyType_Slot wrapper_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(wrapper_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(wrapper_iternext)},
      {Py_tp_methods, wrapper_methods},
      {Py_am_send, reinterpret_cast<void*>(wrapper_am_send)},
      {0, nullptr},
  };
  static PyType_Spec wrapper_spec = {
      wrapper_name.c_str(),
      static_cast<int>(sizeof(WrapperObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      wrapper_slots,
  };
  coro_type = make_type(coro_spec);
  wrapper_type = make_type(wrapper_spec);
  py::module_::import("collections.abc")
      .attr("Coroutine")
      .attr("register")(py::handle(reinterpret_cast<PyObject*>(coro_type)));
}

}  // namespace zcore
