#include "core/frames.hpp"

#include "core/pyhelpers.hpp"

namespace zcore {

FrameColumns read_columns(const py::object& frame) {
  FrameColumns columns;
  columns.names = py::list(frame.attr(ZN_STR("columns")));
  columns.rows = py::len(frame);
  py::object by_position = frame.attr(ZN_STR("iloc"));
  py::slice all_rows{py::none(), py::none(), py::none()};
  columns.values.reserve(columns.names.size());
  for (size_t j = 0; j < columns.names.size(); ++j) {
    columns.values.emplace_back(by_position[py::make_tuple(all_rows, j)].attr(ZN_STR("tolist"))());
  }
  return columns;
}

py::list row_dicts(const py::object& frame) {
  const FrameColumns columns = read_columns(frame);
  py::list rows(columns.rows);
  for (size_t row = 0; row < columns.rows; ++row) {
    py::dict record;
    for (size_t j = 0; j < columns.values.size(); ++j) record[columns.names[j]] = columns.values[j][row];
    rows[row] = record;
  }
  return rows;
}

}  // namespace zcore
