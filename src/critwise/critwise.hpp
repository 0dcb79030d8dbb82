// The criteria-judge provider: a judge model reads each record of a table and
// picks one of a fixed set of named answer options, each worth a score. The
// judge is evalassist's DirectJudge on an inference engine chosen by the kind
// of the judge model; verdicts become record results with the option's score,
// the judge's explanation and feedback, and optionally token counts.
//
// `Critwise` is an ordinary Python class whose methods are written in C++.
// Methods call each other through `self`; every collaborator (evalassist and
// unitxt classes, engine classes, model kinds, result records, helpers,
// tiktoken) is a module attribute read when used. The evalassist, unitxt and
// tiktoken names are bound on first use, so importing the module imports
// none of them.
#pragma once

#include "core/coro.hpp"
#include "core/pyhelpers.hpp"

namespace critwise {

namespace py = pybind11;

zcore::ModuleScope& scope();

// module.cpp: resolves the names bound on first use (module __getattr__).
py::object resolve_lazy_name(const py::str& name);

// setup.cpp
void init(const py::object& self, const py::object& metric_name, const py::object& display_name,
          const py::object& value_type, const py::object& llm_judge, const py::object& options,
          const py::object& criteria_description, const py::object& prompt_template,
          const py::object& context_fields, const py::object& prediction_field,
          const py::object& metric_group, const py::object& metric_method, const py::object& thresholds,
          const py::kwargs& kwargs);

// criteria.cpp
py::object strip_placeholders(const py::object& text, const py::object& prediction_field);
py::object get_criteria(const py::object& self, const py::object& prediction_field,
                        const py::object& context_fields);
py::list get_instances(const py::object& self, const py::object& data, const py::object& prediction_field,
                       const py::object& context_fields);

// judge.cpp
py::dict get_inference_engine_params(const py::object& self);
py::object get_judge(const py::object& self);

// evaluate.cpp
py::object evaluate(const py::object& self, const py::object& data);
zcore::Coro evaluate_async(py::object self, py::object data);

// results.cpp
py::object post_process(const py::object& self, const py::object& results, const py::object& data);

}  // namespace critwise
