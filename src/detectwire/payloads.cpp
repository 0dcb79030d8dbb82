#include <cstring>
#include <string>
#include <string_view>

#include "core/json_writer.hpp"
#include "detectwire/detectwire.hpp"

namespace detectwire {

namespace {

using zcore::json::append_value;

// List-like arguments are read as fast sequences; one that is not iterable
// raises TypeError as zip() does.
using zcore::fast_item;
using zcore::fast_sequence;
using zcore::fast_size;

// The writer emits ASCII only, so the text maps 1:1 onto a compact str.
py::str ascii_str(const std::string& text) {
  auto result = py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
  if (!result) throw py::error_already_set();
  std::memcpy(PyUnicode_1BYTE_DATA(result.ptr()), text.data(), text.size());
  return result;
}

// The request bodies of one evaluation. Every body starts with the same
// detector entry, which is therefore written once.
class BodyWriter {
 public:
  BodyWriter(const py::object& detector_name, const py::object& detector_params, Py_ssize_t count)
      : bodies_(count) {
    py::dict detectors;
    detectors[detector_name] = zcore::truthy(detector_params) ? detector_params : py::dict();
    prefix_ = "{\"detectors\": ";
    append_value(prefix_, detectors);
  }

  std::string& start() {
    text_.assign(prefix_);
    return text_;
  }

  void finish(Py_ssize_t index) {
    text_ += '}';
    PyList_SET_ITEM(bodies_.ptr(), index, ascii_str(text_).release().ptr());  // the list takes it
  }

  py::list take() { return std::move(bodies_); }

 private:
  std::string prefix_;
  std::string text_;
  py::list bodies_;
};

// Pairs two per-record lists; the shorter one bounds the number of bodies.
template <typename Write>
py::list write_pairs(const py::object& detector_name, const py::object& params, const py::handle& first,
                     const char* first_what, const py::handle& second, const char* second_what, Write write) {
  py::object left = fast_sequence(first, first_what);
  py::object right = fast_sequence(second, second_what);
  const Py_ssize_t count = std::min(fast_size(left), fast_size(right));
  BodyWriter writer(detector_name, params, count);
  for (Py_ssize_t i = 0; i < count; ++i) {
    write(writer.start(), fast_item(left, i), fast_item(right, i));
    writer.finish(i);
  }
  return writer.take();
}

py::object column_as_list(const py::object& data, const py::handle& column) {
  return data[column].attr(ZN_STR("to_list"))();
}

py::object first_field(const py::object& configuration, py::handle fields_name) {
  return configuration.attr(fields_name)[py::int_(0)];
}

// Per record, the list of its context texts.
py::object context_contents(const py::object& data, const py::object& configuration) {
  py::object fields = configuration.attr(ZN_STR("context_fields"));
  const auto field_count = py::len(fields);
  if (field_count == 0) return py::none();
  if (field_count == 1) {
    py::object to_list = scope().get("transform_str_to_list");
    py::list contexts;
    for (py::handle cell : column_as_list(data, fields[py::int_(0)])) contexts.append(to_list(cell));
    return contexts;
  }
  py::list columns;
  for (py::handle field : fields)
    columns.append(fast_sequence(column_as_list(data, field), "context column"));
  const auto rows = py::len(data);
  py::list contexts(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    py::list cells(field_count);
    for (std::size_t column = 0; column < field_count; ++column) {
      py::handle cell = fast_item(columns[column], static_cast<Py_ssize_t>(row));
      PyList_SET_ITEM(cells.ptr(), static_cast<Py_ssize_t>(column),
                      cell.inc_ref().ptr());  // the list takes it
    }
    PyList_SET_ITEM(contexts.ptr(), static_cast<Py_ssize_t>(row), cells.release().ptr());  // ditto
  }
  return contexts;
}

}  // namespace

py::tuple pre_process_data(const py::object& self, const py::object& data) {
  py::object configuration = self.attr(ZN_STR("configuration"));
  py::object metric_name = self.attr(ZN_STR("metric_name"));
  py::object inputs = column_as_list(data, first_field(configuration, ZN_STR("input_fields")));
  py::object outputs = py::none();
  py::object contexts = py::none();
  py::object tools = py::none();
  py::object tool_calls = py::none();
  if (zcore::is_text(metric_name, "answer_relevance") || zcore::is_text(metric_name, "faithfulness")) {
    outputs = column_as_list(data, first_field(configuration, ZN_STR("output_fields")));
  }
  if (zcore::is_text(metric_name, "context_relevance") || zcore::is_text(metric_name, "faithfulness")) {
    contexts = context_contents(data, configuration);
  }
  if (zcore::is_text(metric_name, "tool_call_accuracy")) {
    tools = self.attr(ZN_STR("get_tools_catalog_content"))();
    tool_calls = self.attr(ZN_STR("get_tool_calls_content"))(data);
  }
  py::object bodies =
      self.attr("_Detectwire__get_json_payloads")(inputs, outputs, contexts, tools, tool_calls);
  py::object record_ids = column_as_list(data, configuration.attr(ZN_STR("record_id_field")));
  return py::make_tuple(bodies, record_ids);
}

py::list get_json_payloads(const py::object& self, const py::object& input_contents,
                           const py::object& output_contents, const py::object& context_contents,
                           const py::object& tools_catalog_content, const py::object& tool_calls_content) {
  py::object metric_name = self.attr(ZN_STR("metric_name"));
  py::object detector = self.attr(ZN_STR("set_metric_name"))(metric_name);
  py::object params = self.attr(ZN_STR("detector_params"));

  if (zcore::is_text(metric_name, "answer_relevance")) {
    return write_pairs(detector, params, input_contents, "input contents must be a list", output_contents,
                       "output contents must be a list",
                       [](std::string& out, py::handle prompt, py::handle text) {
                         out += ", \"prompt\": ";
                         append_value(out, prompt);
                         out += ", \"generated_text\": ";
                         append_value(out, text);
                       });
  }
  const auto with_context = [](std::string& out, py::handle text, py::handle context) {
    out += ", \"input\": ";
    append_value(out, text);
    out += ", \"context_type\": \"docs\", \"context\": ";
    append_value(out, context);
  };
  if (zcore::is_text(metric_name, "context_relevance")) {
    return write_pairs(detector, params, input_contents, "input contents must be a list", context_contents,
                       "context contents must be a list", with_context);
  }
  if (zcore::is_text(metric_name, "faithfulness")) {
    return write_pairs(detector, params, output_contents, "output contents must be a list", context_contents,
                       "context contents must be a list", with_context);
  }
  if (zcore::is_text(metric_name, "tool_call_accuracy")) {
    std::string tools = ", \"tools\": ";
    append_value(tools, tools_catalog_content);
    return write_pairs(detector, params, input_contents, "input contents must be a list", tool_calls_content,
                       "tool calls content must be a list",
                       [&tools](std::string& out, py::handle text, py::handle calls) {
                         out += ", \"messages\": [{\"content\": ";
                         append_value(out, text);
                         out += ", \"role\": \"user\"}, {\"tool_calls\": ";
                         append_value(out, calls);
                         out += ", \"role\": \"assistant\"}]";
                         out += tools;
                       });
  }
  py::object inputs = fast_sequence(input_contents, "input contents must be a list");
  const Py_ssize_t count = fast_size(inputs);
  BodyWriter writer(detector, params, count);
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::string& out = writer.start();
    out += ", \"input\": ";
    append_value(out, fast_item(inputs, i));
    writer.finish(i);
  }
  return writer.take();
}

py::list get_tool_calls_content(const py::object& self, const py::object& data) {
  py::list result;
  py::object field = self.attr(ZN_STR("configuration")).attr(ZN_STR("tool_calls_field"));
  if (!zcore::truthy(field)) return result;

  // Text cells are decoded in the caller's table, so a later evaluation of
  // the same table finds them decoded already.
  py::object loads = scope().get("json").attr(ZN_STR("loads"));
  py::list cells;
  for (py::handle cell : column_as_list(data, field)) {
    cells.append(PyUnicode_Check(cell.ptr()) ? loads(cell) : py::reinterpret_borrow<py::object>(cell));
  }
  using namespace pybind11::literals;
  data[field] = scope().get("pd").attr(ZN_STR("Series"))(cells, "index"_a = data.attr(ZN_STR("index")),
                                                         "dtype"_a = "object");

  py::object extract = scope().get("ToolCallMetricProvider").attr(ZN_STR("extract_tool_calls_from_response"));
  for (py::handle cell : cells) {
    py::object calls = extract(cell);
    for (py::handle call : calls) {
      py::object function = call[py::str("function")];
      py::object arguments = function[py::str("arguments")];
      if (PyUnicode_Check(arguments.ptr())) function[py::str("arguments")] = loads(arguments);
    }
    result.append(calls);
  }
  return result;
}

py::object get_tools_catalog_content(const py::object& self) {
  py::object tools = self.attr(ZN_STR("configuration")).attr(ZN_STR("tools"));
  if (!PyList_Check(tools.ptr())) return tools;
  for (py::handle tool : tools) {
    if (PyCallable_Check(tool.ptr()) == 0) return tools;
  }
  py::list described;
  py::object schemas = scope().get("ToolCallMetricProvider").attr(ZN_STR("get_tools_list_schema"))(tools);
  for (py::handle schema : schemas) described.append(schema.attr(ZN_STR("model_dump"))());
  return described;
}

}  // namespace detectwire
