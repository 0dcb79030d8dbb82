#include "metricrun/metricrun.hpp"

namespace metricrun {

namespace {

// Whether a record named `name` is already in `queue` (same test as `in`).
bool has_name(const py::list& queue, const py::object& name) {
  for (py::handle queued : queue) {
    const int equal = PyObject_RichCompareBool(queued.attr(ZN_STR("name")).ptr(), name.ptr(), Py_EQ);
    if (equal < 0) throw py::error_already_set();
    if (equal != 0) return true;
  }
  return false;
}

}  // namespace

py::list resolve_metric_dependencies(const py::object& metrics, const py::object& metric_groups) {
  zcore::require_list(metrics, "metrics");
  zcore::require_list(metric_groups, "metric_groups");
  py::list queue = py::reinterpret_steal<py::list>(PyList_GetSlice(metrics.ptr(), 0, PY_SSIZE_T_MAX));
  if (!queue) throw py::error_already_set();

  // Direct dependencies of the requested metrics go to the front, newest first.
  for (py::handle metric : py::reinterpret_borrow<py::list>(metrics)) {
    for (py::handle dependency : metric.attr(ZN_STR("metric_dependencies"))) {
      if (!has_name(queue, dependency.attr(ZN_STR("name")))) queue.insert(0, dependency);
    }
  }
  // Group metrics go to the back.
  for (py::handle group : py::reinterpret_borrow<py::list>(metric_groups)) {
    for (py::handle metric : group.attr(ZN_STR("get_metrics"))()) {
      if (!has_name(queue, metric.attr(ZN_STR("name")))) queue.append(metric);
    }
  }
  return queue;
}

}  // namespace metricrun
