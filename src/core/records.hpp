// Building many result records at once, as cheaply as their types allow.
//
// A provider builds one `RecordMetricResult` per record, all sharing the
// fields that come from the provider (name, display name, method, provider,
// group, thresholds) and differing in the few it computed (record id, value,
// evidences, errors, ...). Validating every record from scratch repeats the
// work on the shared fields and checks values the provider made itself.
//
// `RecordBatch` validates the first record of a batch in full, as calling
// the type would, and keeps its validated shared fields. Every later record
// whose own fields already have the exact types validation would produce
// (a str, an int or float, a list of the SDK's thresholds or errors, a dict
// with str keys, ...) is put together from those parts without validation;
// any other value goes through full validation, so user input is always
// checked. Only the SDK's own `RecordMetricResult` is built that way: a
// subclass, a rebound or mocked name is called as given.
#pragma once

#include <pybind11/pybind11.h>

namespace zcore {

namespace py = pybind11;

// Keeps the cyclic garbage collector from running while a batch of records
// is built: records hold no cycles, and every collection would scan all
// those built so far. Nested and overlapping pauses (several threads) end
// when the last one does; the collector is then enabled again only if it was
// enabled when the first one began.
class GcPause {
 public:
  GcPause();
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause();
};

class RecordBatch {
 public:
  // `type` is the record type as the module binds it now; `shared` holds the
  // fields every record of the batch has in common.
  RecordBatch(py::object type, py::dict shared);

  // type(**shared, **fields): the same record, with the same fields set.
  py::object make(const py::dict& fields);

 private:
  py::object validated(const py::dict& fields) const;
  // Whether every field has the type validation would give it; fills
  // `checked` with the values to store (lists and dicts copied).
  bool take_checked(const py::dict& fields, py::dict& checked) const;

  py::object type_;
  py::dict shared_;
  bool trusted_;
  // After the first record: the shared fields as validation stored them.
  py::dict shared_validated_;
  bool primed_ = false;
};

}  // namespace zcore
