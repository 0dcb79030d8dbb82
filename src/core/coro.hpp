// C++20 coroutines that are Python coroutines.
//
// A function returning `zcore::Coro` may `co_await` any Python awaitable
// (asyncio futures, `async def` coroutines, objects with __await__, other
// Coro objects) and `co_return` a Python object. Turned into a Python object
// by `to_python` (or registered with `add_coroutine_method` /
// `def_coroutine`, see bind.hpp), it behaves like the coroutine of an
// `async def` function: `asyncio.iscoroutine` is true, asyncio runs, gathers
// and cancels it, `await` works from Python, `inspect.getcoroutinestate`
// reads it, it can be weakly referenced, and it is not iterable.
//
// Delegation follows `yield from`: while the C++ body waits on an awaitable,
// send/throw/close are forwarded to that awaitable's iterator, values it
// yields (futures) pass through unchanged, and an exception thrown in (task
// cancellation, KeyboardInterrupt, ...) reaches the awaitable first and then
// surfaces from `co_await` as `py::error_already_set`. Errors leaving the
// body are raised to the awaiting Python code unchanged, cause and context
// included; a StopIteration becomes RuntimeError, as for `async def`.
//
// Coroutine functions take their parameters by value: a reference would
// dangle after the first suspension.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <coroutine>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/pyhelpers.hpp"

namespace zcore {

namespace py = pybind11;

class Coro;
struct PyAwaiter;

// Python-object parameters are reported to the garbage collector while the
// coroutine frame is alive; this many at most, checked at compile time.
inline constexpr std::size_t kMaxObjectParameters = 8;

template <typename T>
inline constexpr bool is_object_parameter = std::is_base_of_v<py::object, std::remove_cvref_t<T>>;

struct CoroPromise {
  template <typename... Args>
  explicit CoroPromise(Args&... args) noexcept {
    constexpr std::size_t count = (std::size_t{0} + ... + std::size_t{is_object_parameter<Args> ? 1U : 0U});
    static_assert(count <= kMaxObjectParameters,
                  "a native coroutine takes at most 8 Python-object parameters; pass the rest in a tuple");
    static_assert(((!is_object_parameter<Args> || !std::is_const_v<Args>) && ...),
                  "native coroutines take Python objects by value, not by const reference");
    (track(args), ...);
  }
  CoroPromise(const CoroPromise&) = delete;
  CoroPromise& operator=(const CoroPromise&) = delete;
  ~CoroPromise() = default;

  Coro get_return_object() noexcept;
  std::suspend_always initial_suspend() const noexcept { return {}; }
  std::suspend_always final_suspend() const noexcept { return {}; }
  void return_value(py::object value) noexcept { result = std::move(value); }
  void unhandled_exception() { failure = current_error(); }

  PyAwaiter await_transform(py::handle awaitable);
  PyAwaiter await_transform(Coro&& coro);

  int traverse(visitproc visit, void* arg) const;
  void clear_references() noexcept;

  py::object inner;                              // iterator of the awaitable being waited on
  py::object yielded;                            // value handed out by the last suspension
  py::object received;                           // value the awaitable finished with
  py::object result;                             // co_return value
  std::optional<py::error_already_set> thrown;   // error to raise at the waiting co_await
  std::optional<py::error_already_set> failure;  // error that ended the body

 private:
  template <typename T>
  void track(T& arg) noexcept {
    if constexpr (is_object_parameter<T>) tracked_[tracked_count_++] = &arg;
  }
  std::array<py::object*, kMaxObjectParameters> tracked_{};
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

// The Python coroutine object for a Coro; `qualname` (a str) names it in
// reprs, warnings and `__qualname__`, its last dotted part is `__name__`.
py::object to_python(Coro coro, py::handle qualname);

// Creates this module's coroutine types and registers the coroutine type as
// a collections.abc.Coroutine. Call once from the module's init function.
void init_coroutines(py::module_& module);

}  // namespace zcore
