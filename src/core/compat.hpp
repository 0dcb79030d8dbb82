// Every CPython call that is private, unstable or changes between versions,
// in one place, so that supporting the next Python release is one file's work.
// Everything else in src/ uses only the stable, documented C API.
#pragma once

#include <Python.h>
#include <frameobject.h>

namespace zcore::compat {

// getattr(object, name, <missing>) without raising AttributeError: returns 1
// with a new reference in *result, 0 with *result null when the attribute is
// missing, -1 with an error set.
inline int lookup_attr(PyObject* object, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttr(object, name, result);
#else
  return _PyObject_LookupAttr(object, name, result);
#endif
}

// Makes sure a str's canonical representation exists before its data is
// read directly (always true from 3.12 on). False with an error set.
inline bool unicode_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(text) == 0;
#else
  (void)text;
  return true;
#endif
}

// Whether `code` (a code object) belongs to a generator decorated with
// types.coroutine, which `await` accepts as its own iterator.
inline bool is_iterable_coroutine_code(PyObject* code) {
  return (reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// A frame for a native coroutine, so that `cr_frame` is a real frame object
// (inspect, asyncio's task reprs and stack printing read it). New reference,
// or null with an error set.
inline PyObject* new_placeholder_frame(PyObject* code, PyObject* globals) {
  PyFrameObject* frame =
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
  return reinterpret_cast<PyObject*>(frame);
}

// A code object that names a native function: file name, qualified name and
// no byte code. New reference, or null with an error set.
inline PyObject* new_placeholder_code(const char* filename, const char* qualname) {
  return reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, qualname, 0));
}

}  // namespace zcore::compat
