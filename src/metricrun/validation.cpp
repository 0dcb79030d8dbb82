#include <array>
#include <string>

#include "metricrun/metricrun.hpp"

namespace metricrun {

namespace {

// True when `field` is not a column of `data`, or every value in it is null.
bool needs_filling(const py::object& data, const py::object& field) {
  py::object columns = data.attr(ZN_STR("columns")).attr(ZN_STR("to_list"))();
  if (!zcore::contains(columns, field)) return true;
  return zcore::truthy(data[field].attr(ZN_STR("isnull"))().attr(ZN_STR("all"))());
}

// `count` fresh random (version 4) UUIDs as text, from one read of the
// system's random source.
py::list random_uuids(Py_ssize_t count) {
  constexpr std::size_t kBytes = 16;
  py::bytes entropy =
      metricrun::scope().get("os").attr(ZN_STR("urandom"))(static_cast<std::size_t>(count) * kBytes);
  const auto* random = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(entropy.ptr()));
  static constexpr char kHex[] = "0123456789abcdef";
  py::list ids(count);
  std::array<char, 36> text{};
  for (Py_ssize_t row = 0; row < count; ++row) {
    std::array<unsigned char, kBytes> octets{};
    for (std::size_t i = 0; i < kBytes; ++i) octets[i] = random[static_cast<std::size_t>(row) * kBytes + i];
    octets[6] = static_cast<unsigned char>((octets[6] & 0x0F) | 0x40);  // version 4
    octets[8] = static_cast<unsigned char>((octets[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::size_t out = 0;
    for (std::size_t i = 0; i < kBytes; ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) text[out++] = '-';
      text[out++] = kHex[octets[i] >> 4];
      text[out++] = kHex[octets[i] & 0x0F];
    }
    py::str id(text.data(), text.size());
    PyList_SET_ITEM(ids.ptr(), row, id.release().ptr());  // the list takes the reference
  }
  return ids;
}

}  // namespace

void validate_data(const py::object& /*configuration*/, const py::object& data) {
  if (zcore::truthy(data.attr(ZN_STR("empty")))) {
    zcore::raise(PyExc_ValueError, "The provided data is empty for metrics computation.");
  }
}

void populate_record_id_timestamp(const py::object& configuration, const py::object& data) {
  py::object id_field = configuration.attr(ZN_STR("record_id_field"));
  if (needs_filling(data, id_field)) {
    data[id_field] = random_uuids(static_cast<Py_ssize_t>(py::len(data)));
  }
  py::object timestamp_field = configuration.attr(ZN_STR("record_timestamp_field"));
  if (needs_filling(data, timestamp_field)) {
    data[timestamp_field] = scope().get("datetime").attr(ZN_STR("now"))().attr(ZN_STR("isoformat"))();
  }
}

}  // namespace metricrun
