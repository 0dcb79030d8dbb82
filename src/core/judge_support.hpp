// What the two judge providers (scorewell, critwise) share besides the table
// of judge kinds: the names they bind on first use, the one-time set-up of
// unitxt, and running the synchronous `evaluate` from `evaluate_async`.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>

#include "core/pyhelpers.hpp"

namespace zcore {

namespace py = pybind11;

// Module-level names read from the lazily loaded module bound as the module
// attribute `source` (a lazy_imports.LazyModule).
struct LazySource {
  const char* source;
  std::span<const char* const> names;
};

// The set-up unitxt needs before a judge provider first uses it.
enum class UnitxtSetUp : std::uint8_t {
  kCatalog,                // quieter logging; the SDK's catalog and cache folder
  kCatalogAndPlatformKey,  // and the platform's provider key in the cross-provider engine
};

// The body of a judge provider's module-level __getattr__: binds `name` the
// first time it is read, from the first of `sources` that lists it, after
// unitxt's one-time set-up; from then on it is an ordinary module attribute
// (read like any other, and replaceable). A name no source lists raises the
// module's AttributeError.
py::object bind_lazy_name(const ModuleScope& scope, const py::str& name, std::span<const LazySource> sources,
                          UnitxtSetUp set_up);

// The process-wide re-entrant lock under which lazily bound names are resolved.
py::object lazy_binding_lock();

// Once per module: what `set_up` names.
void prepare_unitxt_once(UnitxtSetUp set_up);

// How `evaluate` reaches the module's start_event_loop_run_func.
enum class PassEvaluate : std::uint8_t { kPositional, kKeyword };

// The awaitable of `self.evaluate(data)` run on the running loop's default
// executor (a worker thread) through the module's `start_event_loop_run_func`:
// `loop.run_in_executor(None, functools.partial(start_event_loop_run_func,
// self.evaluate, data=data))`, with `func=self.evaluate` for kKeyword, run in a
// copy of the caller's context. The worker's result or error is what awaiting
// it gives.
py::object evaluate_in_executor(const ModuleScope& scope, const py::object& self, const py::object& data,
                                PassEvaluate pass);

}  // namespace zcore
