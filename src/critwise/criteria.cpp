// What the judge reads: the answer options and criterion as an evalassist
// criteria object, and each row of the table as an evalassist instance.
#include <algorithm>
#include <cmath>

#include "core/frames.hpp"
#include "critwise/critwise.hpp"

using namespace pybind11::literals;

namespace critwise {

namespace {

bool is_missing_scalar(py::handle value) {
  if (value.is_none()) return true;
  if (PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
  if (PyUnicode_Check(value.ptr()) || PyLong_Check(value.ptr())) return false;
  // pandas' own missing markers (NA, NaT) and numpy's NaN scalars.
  py::object missing = scope().get("pd").attr(ZN_STR("isna"))(value);
  return PyBool_Check(missing.ptr()) && missing.ptr() == Py_True;
}

py::str scalar_text(py::handle value) {
  if (PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::str>(value);
  if (is_missing_scalar(value)) return py::str("");
  return py::str(value);
}

// A cell as evalassist takes it: a text, or a list of texts. A missing cell
// is an empty text; numbers and other values are shown as their text.
py::object cell_text(py::handle value) {
  if (PyUnicode_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  py::object items;
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
    items = py::reinterpret_borrow<py::object>(value);
  } else if (zcore::is_instance(value, scope().get("np").attr(ZN_STR("ndarray")))) {
    items = value.attr(ZN_STR("tolist"))();
    if (!PyList_Check(items.ptr())) return scalar_text(items);  // a zero-dimensional array
  } else {
    return scalar_text(value);
  }
  py::list texts;
  for (py::handle item : items) texts.append(scalar_text(item));
  return texts;
}

}  // namespace

py::object strip_placeholders(const py::object& text, const py::object& prediction_field) {
  // "{" + P + "}" as Python evaluates it: a P that is no text fails with Python's own error.
  auto open = py::str("{");
  auto close = py::str("}");
  auto braced = py::reinterpret_steal<py::object>(PyNumber_Add(open.ptr(), prediction_field.ptr()));
  if (!braced) throw py::error_already_set();
  braced = py::reinterpret_steal<py::object>(PyNumber_Add(braced.ptr(), close.ptr()));
  if (!braced) throw py::error_already_set();
  // First the prediction column's own name, which need not be an identifier;
  // then every remaining identifier in braces.
  py::object replaced = text.attr(ZN_STR("replace"))(braced, prediction_field);
  return scope().get("re").attr(ZN_STR("sub"))(scope().get("VARIABLES_PATTERN"), py::str("\\1"), replaced);
}

py::object get_criteria(const py::object& self, const py::object& prediction_field,
                        const py::object& context_fields) {
  py::object option_type = scope().get("EACriteriaOption");
  py::list criteria_options;
  for (py::handle option : self.attr(ZN_STR("options"))) {
    py::object description = strip_placeholders(option.attr(ZN_STR("description")), prediction_field);
    criteria_options.append(option_type("name"_a = option.attr(ZN_STR("name")), "description"_a = description,
                                        "score"_a = option.attr(ZN_STR("value"))));
  }
  py::object description = strip_placeholders(self.attr(ZN_STR("criteria_description")), prediction_field);
  return scope().get("EACriteria")("name"_a = self.attr(ZN_STR("metric_name")), "description"_a = description,
                                   "to_evaluate_field"_a = prediction_field,
                                   "context_fields"_a = context_fields, "options"_a = criteria_options);
}

py::list get_instances(const py::object& self, const py::object& data, const py::object& prediction_field,
                       const py::object& context_fields) {
  (void)self;
  // The context columns, selected as a whole so that a missing one fails
  // with pandas' lookup error; then read column by column, which is much
  // faster than converting row by row.
  const zcore::FrameColumns context = zcore::read_columns(data[context_fields]);
  py::list predictions = data[prediction_field].attr(ZN_STR("tolist"))();

  py::object instance_type = scope().get("Instance");
  py::list instances;
  // Without rows there are no context records either: one instance per prediction, i.e. none.
  const size_t count = context.rows > 0 ? std::min(context.rows, predictions.size()) : predictions.size();
  for (size_t row = 0; row < count; ++row) {
    py::dict fields;
    fields[prediction_field] = cell_text(predictions[row]);
    // A context column named like the prediction column takes its place.
    for (size_t j = 0; j < context.values.size(); ++j)
      fields[context.names[j]] = cell_text(context.values[j][row]);
    instances.append(instance_type("fields"_a = fields));
  }
  return instances;
}

}  // namespace critwise
