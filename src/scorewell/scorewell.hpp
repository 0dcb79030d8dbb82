// The template-library provider: one metric computed over a table of records
// by a pipeline of the unitxt library, either an embedding or similarity
// method named by a catalog identifier, or an LLM judge whose inference
// engine is picked from the judge model's kind and shared through a
// process-wide cache.
//
// `Scorewell` is an ordinary Python class whose methods are written in C++.
// Methods call each other through `self`; every collaborator (unitxt classes,
// engine classes, model kinds, result records, helpers) is a module attribute
// read when used. The unitxt names are bound on first use, so importing the
// module never imports unitxt or torch.
#pragma once

#include "core/coro.hpp"
#include "core/pyhelpers.hpp"

namespace scorewell {

namespace py = pybind11;

zcore::ModuleScope& scope();

// module.cpp: resolves the names bound on first use (module __getattr__).
py::object resolve_lazy_name(const py::str& name);

// setup.cpp
void init(const py::object& self, const py::object& configuration, const py::object& metric_name,
          const py::object& metric_display_name, const py::object& metric_method,
          const py::object& metric_prefix, const py::object& metric_alias, const py::object& metric_group,
          const py::object& column_mapping, const py::object& llm_judge, const py::object& thresholds,
          const py::kwargs& kwargs);
py::object generate_unitxt_metric(const py::object& self, const py::object& metric_name,
                                  const py::object& metric_prefix);
py::str get_llmaj_template(const py::object& self, const py::object& metric_name);
py::object get_llmaj_format(const py::object& self);
py::object get_llmaj_metric(const py::object& self, const py::object& metric_name);

// engines.cpp
py::object get_ai_evaluator_inference_engine(const py::object& self);
py::object create_inference_engine_impl(const py::object& provider, const py::object& model_id,
                                        const py::object& use_cache, const py::object& credentials_json,
                                        const py::object& parameters_json);

// compute.cpp
py::object evaluate(const py::object& self, const py::object& data);
zcore::Coro evaluate_async(py::object self, py::object data);
py::object pre_process_data(const py::object& self, const py::object& data);
py::object compute_metric(const py::object& self, const py::object& data);
py::object post_process(const py::object& self, const py::object& result);

// bertscore.cpp
void patch_bertscore_overflow();

}  // namespace scorewell
