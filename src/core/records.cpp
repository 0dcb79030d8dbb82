#include "core/records.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/pyhelpers.hpp"

namespace zcore {

namespace {

// What a field of RecordMetricResult accepts without validation: the values
// validation stores unchanged (containers are copied, as validation does).
enum class Kind : std::uint8_t {
  kText,          // str
  kTextOrNone,    // str | None
  kNumber,        // float | int | None
  kRecordId,      // str | int | None
  kTimestamp,     // str | None (a datetime is validated)
  kThresholds,    // list of MetricThreshold
  kAnyList,       // list | None
  kErrors,        // list of Error | None
  kInfo,          // dict with str keys | None
  kValidateOnly,  // always validated (the group: a text may become a MetricGroup)
};

struct Rule {
  const char* name;
  Kind kind;
};

// The fields of RecordMetricResult, in their declared order. The type is
// built without validation only while its fields are exactly these.
constexpr Rule kRecordFields[] = {
    {"name", Kind::kText},
    {"display_name", Kind::kTextOrNone},
    {"method", Kind::kTextOrNone},
    {"provider", Kind::kTextOrNone},
    {"group", Kind::kValidateOnly},
    {"record_id", Kind::kRecordId},
    {"record_timestamp", Kind::kTimestamp},
    {"value", Kind::kNumber},
    {"label", Kind::kTextOrNone},
    {"thresholds", Kind::kThresholds},
    {"explanation", Kind::kTextOrNone},
    {"additional_info", Kind::kInfo},
    {"evidences", Kind::kAnyList},
    {"errors", Kind::kErrors},
};

enum class Copy : std::uint8_t { kShare, kList, kDict };

struct Field {
  py::handle name;  // interned
  Kind kind;
  bool required;
  py::handle fallback;  // the default, when not required
  Copy copy;            // how an instance gets its own default
};

// The SDK's RecordMetricResult as far as building it without validation
// needs; described once and kept for the process (never released).
struct TrustedType {
  py::handle type;
  py::handle threshold_type;
  py::handle error_type;
  std::vector<Field> fields;
  py::handle positions;  // dict: field name -> index in `fields`
  bool usable = false;
};

Copy copy_of(py::handle value) {
  if (PyList_CheckExact(value.ptr())) return Copy::kList;
  if (PyDict_CheckExact(value.ptr())) return Copy::kDict;
  return Copy::kShare;
}

bool immutable_default(py::handle value) {
  return value.is_none() || PyLong_CheckExact(value.ptr()) || PyFloat_CheckExact(value.ptr()) ||
         PyUnicode_CheckExact(value.ptr()) || PyBool_Check(value.ptr()) ||
         (copy_of(value) != Copy::kShare && py::len(value) == 0);
}

// Whether `type` is a pydantic model whose fields are those of the table,
// with plain defaults, no aliases, no factories and no hooks after
// validation; fills `described.fields` when it is.
bool describe_fields(TrustedType& described) {
  py::handle type = described.type;
  if (!PyType_Check(type.ptr())) return false;
  if (!attribute_or(type, "__pydantic_post_init__", py::none()).is_none()) return false;
  if (truthy(attribute_or(type, "__pydantic_root_model__", py::bool_(true)))) return false;
  py::object config = attribute_or(type, "model_config", py::dict());
  if (!PyDict_Check(config.ptr())) return false;
  // Extra fields kept on the record would need validation to sort them out.
  if (is_text(dict_get(py::reinterpret_borrow<py::dict>(config), ZN_STR("extra"), py::none()), "allow")) {
    return false;
  }
  py::object model_fields = attribute_or(type, "model_fields", py::none());
  if (!PyDict_Check(model_fields.ptr()) || py::len(model_fields) != std::size(kRecordFields)) return false;
  py::dict positions;
  std::size_t index = 0;
  for (auto item : py::reinterpret_borrow<py::dict>(model_fields)) {
    const Rule& rule = kRecordFields[index];
    if (!is_text(item.first, rule.name)) return false;
    py::handle info = item.second;
    if (!attribute_or(info, "alias", py::none()).is_none() ||
        !attribute_or(info, "validation_alias", py::none()).is_none() ||
        !attribute_or(info, "default_factory", py::none()).is_none()) {
      return false;
    }
    Field field{intern(rule.name), rule.kind, truthy(info.attr("is_required")()), py::none(), Copy::kShare};
    if (!field.required) {
      py::object fallback = info.attr("default");
      if (!immutable_default(fallback)) return false;
      field.copy = copy_of(fallback);
      field.fallback = fallback.release();  // kept for the process
    }
    positions[field.name] = py::int_(index);
    described.fields.push_back(field);
    ++index;
  }
  described.positions = positions.release();  // kept for the process
  return true;
}

const TrustedType& trusted() {
  // Set up under the GIL on first use (a plain pointer, not a guarded
  // static: setting up imports, and a static's guard held across a GIL
  // release could deadlock another thread).
  static TrustedType* described = nullptr;
  if (described == nullptr) {
    auto* fresh = new TrustedType();  // kept for the process
    const auto kept = [](const char* module, const char* name) {
      return py::object(py::module_::import(module).attr(name)).release();
    };
    fresh->type = kept("zentrix_gov.entities.evaluation_result", "RecordMetricResult");
    fresh->threshold_type = kept("zentrix_gov.entities.metric_threshold", "MetricThreshold");
    fresh->error_type = kept("zentrix_gov.entities.base_classes", "Error");
    fresh->usable = describe_fields(*fresh);
    described = fresh;
  }
  return *described;
}

bool is_none_or(py::handle value, bool test) {
  return value.is_none() || test;
}

bool all_of_type(py::handle list, py::handle type) {
  const Py_ssize_t size = PyList_GET_SIZE(list.ptr());
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(PyList_GET_ITEM(list.ptr(), i))) != type.ptr()) return false;
  }
  return true;
}

bool all_text_keys(py::handle dict) {
  PyObject* key = nullptr;    // borrowed
  PyObject* value = nullptr;  // borrowed
  Py_ssize_t position = 0;
  while (PyDict_Next(dict.ptr(), &position, &key, &value) != 0) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

bool accepts(const TrustedType& described, Kind kind, py::handle value) {
  PyObject* raw = value.ptr();
  switch (kind) {
    case Kind::kText:
      return PyUnicode_CheckExact(raw) != 0;
    case Kind::kTextOrNone:
    case Kind::kTimestamp:
      return is_none_or(value, PyUnicode_CheckExact(raw) != 0);
    case Kind::kNumber:
      return is_none_or(value, PyFloat_CheckExact(raw) != 0 || PyLong_CheckExact(raw) != 0);
    case Kind::kRecordId:
      return is_none_or(value, PyUnicode_CheckExact(raw) != 0 || PyLong_CheckExact(raw) != 0);
    case Kind::kThresholds:
      return PyList_CheckExact(raw) != 0 && all_of_type(value, described.threshold_type);
    case Kind::kAnyList:
      return is_none_or(value, PyList_CheckExact(raw) != 0);
    case Kind::kErrors:
      return is_none_or(value, PyList_CheckExact(raw) != 0 && all_of_type(value, described.error_type));
    case Kind::kInfo:
      return is_none_or(value, PyDict_CheckExact(raw) != 0 && all_text_keys(value));
    case Kind::kValidateOnly:
      return false;
  }
  return false;
}

// What a new record stores for `value`: its own copy of a list or dict.
py::object stored(py::handle value) {
  if (PyList_CheckExact(value.ptr())) {
    auto copy =
        py::reinterpret_steal<py::object>(PyList_GetSlice(value.ptr(), 0, PyList_GET_SIZE(value.ptr())));
    if (!copy) throw py::error_already_set();
    return copy;
  }
  if (PyDict_CheckExact(value.ptr())) return dict_copy(py::reinterpret_borrow<py::dict>(value));
  return py::reinterpret_borrow<py::object>(value);
}

void set_slot(py::handle instance, py::handle name, py::handle value) {
  // object.__setattr__: the model is frozen, its own __setattr__ refuses.
  if (PyObject_GenericSetAttr(instance.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

void set_item(const py::dict& dict, py::handle key, py::handle value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

void add_to_set(const py::object& set, py::handle item) {
  if (PySet_Add(set.ptr(), item.ptr()) != 0) throw py::error_already_set();
}

int depth = 0;             // pauses in progress (guarded by the GIL)
bool was_enabled = false;  // the collector's state when the first began

}  // namespace

GcPause::GcPause() {
  if (depth++ == 0) was_enabled = PyGC_Disable() != 0;
}

GcPause::~GcPause() {
  if (--depth == 0 && was_enabled) PyGC_Enable();
}

RecordBatch::RecordBatch(py::object type, py::dict shared)
    : type_(std::move(type)), shared_(std::move(shared)) {
  const TrustedType& described = trusted();
  trusted_ = described.usable && type_.is(described.type);
  if (!trusted_) return;
  // Only known fields may be shared, each at most once.
  for (auto item : shared_) {
    if (dict_get(py::reinterpret_borrow<py::dict>(described.positions), item.first, py::object()).ptr() ==
        nullptr) {
      trusted_ = false;
      return;
    }
  }
}

py::object RecordBatch::validated(const py::dict& fields) const {
  py::dict all = dict_copy(shared_);
  if (PyDict_Update(all.ptr(), fields.ptr()) != 0) throw py::error_already_set();
  return call_kw(type_, all);
}

bool RecordBatch::take_checked(const py::dict& fields, py::dict& checked) const {
  const TrustedType& described = trusted();
  auto positions = py::reinterpret_borrow<py::dict>(described.positions);
  for (auto item : fields) {
    py::object position = dict_get(positions, item.first, py::object());
    if (!position || PyDict_Contains(shared_.ptr(), item.first.ptr()) != 0) return false;
    const Field& field = described.fields[position.cast<std::size_t>()];
    if (!accepts(described, field.kind, item.second)) return false;
    set_item(checked, field.name, stored(item.second));
  }
  return true;
}

py::object RecordBatch::make(const py::dict& fields) {
  if (!trusted_) return validated(fields);
  if (!primed_) {
    py::object first = validated(fields);
    auto values = py::reinterpret_borrow<py::dict>(first.attr("__dict__"));
    for (auto item : shared_) set_item(shared_validated_, item.first, values[item.first]);
    primed_ = true;
    return first;
  }
  py::dict checked;
  if (!take_checked(fields, checked)) return validated(fields);

  const TrustedType& described = trusted();
  py::dict values;
  auto fields_set = py::reinterpret_steal<py::object>(PySet_New(nullptr));
  if (!fields_set) throw py::error_already_set();
  for (const Field& field : described.fields) {
    py::object value = dict_get(checked, field.name, py::object());
    py::object common = value ? py::object() : dict_get(shared_validated_, field.name, py::object());
    if (value) {
      add_to_set(fields_set, field.name);
    } else if (common) {
      value = stored(common);
      add_to_set(fields_set, field.name);
    } else if (field.required) {
      return validated(fields);
    } else {
      value = stored(field.fallback);
    }
    set_item(values, field.name, value);
  }

  auto* type = reinterpret_cast<PyTypeObject*>(type_.ptr());
  py::tuple no_arguments;
  auto instance = py::reinterpret_steal<py::object>(type->tp_new(type, no_arguments.ptr(), nullptr));
  if (!instance) throw py::error_already_set();
  set_slot(instance, ZN_STR("__dict__"), values);
  set_slot(instance, ZN_STR("__pydantic_fields_set__"), fields_set);
  set_slot(instance, ZN_STR("__pydantic_extra__"), py::none());
  set_slot(instance, ZN_STR("__pydantic_private__"), py::none());
  return instance;
}

}  // namespace zcore
