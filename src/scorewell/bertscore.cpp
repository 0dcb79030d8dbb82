// Tokenizers of BERTScore methods report a maximum length of 1e30 when their
// model declares none, which overflows when bert_score truncates inputs; its
// `get_tokenizer` is replaced, once per process, by one that caps such
// lengths at 512.
#include "scorewell/scorewell.hpp"

using namespace pybind11::literals;

namespace scorewell {

namespace {

constexpr long kOverflowThreshold = 100000;
constexpr long kCustomMax = 512;

py::object patched_get_tokenizer_for(const py::object& original) {
  return py::cpp_function(
      [original](const py::object& model_type, const py::object& use_fast) {
        py::object tokenizer = original(model_type, use_fast);
        if (py::hasattr(tokenizer, "model_max_length")) {
          py::object length = tokenizer.attr(ZN_STR("model_max_length"));
          py::int_ threshold(kOverflowThreshold);
          const int too_long = PyObject_RichCompareBool(length.ptr(), threshold.ptr(), Py_GT);
          if (too_long < 0) throw py::error_already_set();
          if (too_long != 0) tokenizer.attr(ZN_STR("model_max_length")) = py::int_(kCustomMax);
        }
        return tokenizer;
      },
      py::name("patched_get_tokenizer"), "model_type"_a, "use_fast"_a = false);
}

// Installs the wrapper into bert_score unless it is there already; an import
// failure leaves bert_score unpatched and is not an error.
void apply_patch() {
  try {
    py::module_ utils = py::module_::import("bert_score.utils");
    py::module_ scorer = py::module_::import("bert_score.scorer");
    if (py::hasattr(utils, "_is_patched_for_overflow")) return;
    py::object patched = patched_get_tokenizer_for(utils.attr("get_tokenizer"));
    utils.attr("get_tokenizer") = patched;
    if (py::hasattr(scorer, "get_tokenizer")) scorer.attr("get_tokenizer") = patched;
    utils.attr("_is_patched_for_overflow") = true;
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
  }
}

// The same, run the moment bert_score.utils has been executed, while the
// package may still be importing: bert_score.scorer is not imported from
// here (it takes `get_tokenizer` from the patched utils when it loads).
void apply_patch_on_import(const py::module_& utils) {
  if (py::hasattr(utils, "_is_patched_for_overflow")) return;
  py::object patched = patched_get_tokenizer_for(utils.attr("get_tokenizer"));
  utils.attr("get_tokenizer") = patched;
  py::dict modules = py::module_::import("sys").attr("modules");
  if (zcore::contains(modules, ZN_STR("bert_score.scorer"))) {
    py::object scorer = modules["bert_score.scorer"];
    if (py::hasattr(scorer, "get_tokenizer")) scorer.attr("get_tokenizer") = patched;
  }
  utils.attr("_is_patched_for_overflow") = true;
}

}  // namespace

void patch_bertscore_overflow() {
  // bert_score imports torch (seconds). When it is not loaded yet, the patch
  // is applied the moment it is, so that evaluations that never use a
  // BERTScore method do not pay for the import.
  py::dict modules = py::module_::import("sys").attr("modules");
  if (zcore::contains(modules, ZN_STR("bert_score.utils"))) {
    apply_patch();
    return;
  }
  static const bool hooked = [] {
    scope().get("when_imported")(
        "bert_score.utils", py::cpp_function([](const py::module_& utils) { apply_patch_on_import(utils); }));
    return true;
  }();
  (void)hooked;
}

}  // namespace scorewell
