#include "core/judge_support.hpp"

#include <string>

using namespace pybind11::literals;

namespace zcore {

void prepare_unitxt_once(UnitxtSetUp set_up) {
  static bool prepared = false;
  if (prepared) return;
  py::module_::import("unitxt.logging_utils").attr("set_verbosity")("warning");
  py::module_::import("zentrix_gov.unitxt_local").attr("prepare_unitxt")();
  if (set_up == UnitxtSetUp::kCatalogAndPlatformKey) {
    py::module_::import("zentrix_gov.engines").attr("register_platform_provider")();
    py::module_::import("zentrix_gov.engines.library_fixes").attr("tolerate_unreadable_verdicts")();
  }
  prepared = true;
}

py::object bind_lazy_name(const ModuleScope& scope, const py::str& name, std::span<const LazySource> sources,
                          UnitxtSetUp set_up) {
  const std::string text = name.cast<std::string>();
  const char* source = nullptr;
  for (const LazySource& candidate : sources) {
    for (const char* listed : candidate.names) {
      if (source == nullptr && text == listed) source = candidate.source;
    }
  }
  if (source == nullptr) scope.raise_no_attribute(name);
  // lazy_imports resolves a name once per process and refuses a second thread that asks while
  // the first is still importing: the first units of two judge metrics started together would
  // fail. One process-wide lock (re-entrant: an import may bind further names) serialises it.
  LockGuard guard(lazy_binding_lock());
  py::object bound = scope.find(name);
  if (bound) return bound;  // bound by the thread this one waited for
  py::object value = scope.get(source).attr(name);
  prepare_unitxt_once(set_up);
  py::setattr(scope.module(), name, value);
  return value;
}

py::object lazy_binding_lock() {
  return py::module_::import("zentrix_gov.providers").attr("LAZY_BINDING_LOCK");
}

py::object evaluate_in_executor(const ModuleScope& scope, const py::object& self, const py::object& data,
                                PassEvaluate pass) {
  py::object loop = scope.get("asyncio").attr(ZN_STR("get_event_loop"))();
  py::object partial = scope.get("functools").attr(ZN_STR("partial"));
  py::object run = scope.get("start_event_loop_run_func");
  py::object evaluate = self.attr(ZN_STR("evaluate"));
  py::object call = pass == PassEvaluate::kKeyword ? partial(run, "func"_a = evaluate, "data"_a = data)
                                                   : partial(run, evaluate, "data"_a = data);
  // Run in a copy of the caller's context, as asyncio.to_thread does: the worker sees the
  // caller's context variables (the unit's judge usage, the run's budget, a traced run and
  // its unit's span).
  py::object context = py::module_::import("contextvars").attr("copy_context")();
  return loop.attr(ZN_STR("run_in_executor"))(py::none(), partial(context.attr("run"), call));
}

}  // namespace zcore
