// C++20 coroutines that are Python coroutines.
//
// A function returning `zcore::Coro` may `co_await` any Python awaitable
// (asyncio futures, native coroutines, objects with __await__, other Coro
// objects) and `co_return` a Python object. Wrapped with `to_python`, it
// becomes an object with send/throw/close/__await__ that asyncio accepts as a
// coroutine: `asyncio.iscoroutine` is true, and `asyncio.run`, `create_task`
// and `gather` drive it like an `async def` function.
//
// Delegation follows `yield from`: while the C++ body waits on an awaitable,
// send/throw/close are forwarded to that awaitable's iterator, values it
// yields (futures) pass through unchanged, and an exception thrown in (task
// cancellation) reaches the awaitable first and then surfaces from `co_await`
// as `pybind11::error_already_set`. Errors leaving the body are raised to the
// awaiting Python code unchanged, cause and context included.
#pragma once

#include <pybind11/pybind11.h>

#include "core/pyhelpers.hpp"

#include <array>
#include <coroutine>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace zcore {

namespace py = pybind11;

// A Python exception held outside the interpreter's error indicator.
struct HeldError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;

  bool set() const noexcept { return type != nullptr; }
  void fetch() noexcept;    // moves the current Python error in here
  void restore() noexcept;  // moves it back into the error indicator
  void clear() noexcept;
  int traverse(visitproc visit, void* arg) const;
};

class Coro;
struct PyAwaiter;

struct CoroPromise {
  // Parameters of the coroutine function that are Python objects are
  // reported to the garbage collector while the frame is alive.
  template <typename... Args>
  explicit CoroPromise(Args&... args) noexcept {
    (track(args), ...);
  }
  CoroPromise(const CoroPromise&) = delete;
  CoroPromise& operator=(const CoroPromise&) = delete;
  ~CoroPromise();

  Coro get_return_object() noexcept;
  std::suspend_always initial_suspend() const noexcept { return {}; }
  std::suspend_always final_suspend() const noexcept { return {}; }
  void return_value(py::object value) noexcept { result = value.release().ptr(); }
  void unhandled_exception() noexcept;

  PyAwaiter await_transform(py::handle awaitable);
  PyAwaiter await_transform(Coro&& coro);

  int traverse(visitproc visit, void* arg) const;
  void clear_references() noexcept;

  PyObject* inner = nullptr;     // iterator of the awaitable being waited on
  PyObject* yielded = nullptr;   // value handed out by the last suspension
  PyObject* received = nullptr;  // value the awaitable finished with
  HeldError thrown;              // error to raise at the waiting co_await
  PyObject* result = nullptr;    // co_return value
  HeldError failure;             // error that ended the body

 private:
  template <typename T>
  void track(T& arg) noexcept {
    if constexpr (std::is_base_of_v<py::object, std::remove_cvref_t<T>>) {
      if (tracked_count_ < tracked_.size()) tracked_[tracked_count_++] = &arg;
    }
  }
  std::array<py::object*, 6> tracked_{};
  std::size_t tracked_count_ = 0;
};

class [[nodiscard]] Coro {
 public:
  using promise_type = CoroPromise;
  using handle_type = std::coroutine_handle<CoroPromise>;

  explicit Coro(handle_type handle) noexcept : handle_(handle) {}
  Coro(Coro&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Coro& operator=(Coro&&) = delete;
  Coro(const Coro&) = delete;
  ~Coro() {
    if (handle_) handle_.destroy();
  }
  handle_type release() noexcept { return std::exchange(handle_, {}); }

 private:
  handle_type handle_;
};

// Awaits a Python awaitable from a Coro body. The awaitable is started at
// once; when it completes without suspending, no suspension happens at all.
struct PyAwaiter {
  CoroPromise* promise;
  py::object awaitable;
  py::object ready_value;

  bool await_ready();
  void await_suspend(std::coroutine_handle<>) const noexcept {}
  py::object await_resume();
};

// The Python coroutine object for a Coro. `qualname` should be an interned
// str (see ZN_STR); it names the coroutine in reprs and warnings.
py::object to_python(Coro coro, PyObject* qualname);

// Creates this module's coroutine type and registers it as a
// collections.abc.Coroutine. Call once from the module's init function.
void init_coroutines(py::module_& module);

// True when the error is an ordinary one (an Exception subclass), as opposed
// to cancellation, GeneratorExit, KeyboardInterrupt or SystemExit.
bool is_ordinary(const py::error_already_set& error);

// Iterator an `await` expression would use for `awaitable` (new reference).
PyObject* get_awaitable_iter(PyObject* awaitable);

}  // namespace zcore

// `ZN_STR("Detectwire.evaluate_async")`: an interned str made on first use.
#define ZN_STR(literal)                                         \
  ([]() -> PyObject* {                                          \
    static PyObject* const interned = ::zcore::intern(literal); \
    return interned;                                            \
  }())
