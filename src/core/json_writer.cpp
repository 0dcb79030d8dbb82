// JSON writer that matches json.dumps(value) with default settings byte for
// byte, including the order of its type checks, its error types and messages,
// and the way it iterates list/dict subclasses. Internally everything returns
// false with a Python error set; the public functions turn that into
// pybind11::error_already_set once, at the top.
#include "core/json_writer.hpp"

#include "core/compat.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace zcore::json {

namespace py = pybind11;

namespace {

constexpr const char* kRecursionWhere = " while encoding a JSON object";
constexpr char kHexDigits[] = "0123456789abcdef";

// What json.dumps escapes with ensure_ascii: controls, '"', '\\', DEL and
// everything outside ASCII.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (std::size_t c = 0; c < table.size(); ++c) table[c] = c < 0x20 || c == '"' || c == '\\' || c >= 0x7f;
  return table;
}();

// Two-character escapes; every other escaped character is written as \uXXXX.
constexpr std::array<char, 128> kShortEscape = [] {
  std::array<char, 128> table{};
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  return table;
}();

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline std::uint64_t has_zero_byte(std::uint64_t word) {
  return (word - kOnes) & ~word & kHighBits;
}

// True when any of the 8 bytes needs escaping (exact as a whole; it does not
// say which byte).
inline bool word_needs_escape(std::uint64_t word) {
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word & kHighBits;
  const std::uint64_t quote = has_zero_byte(word ^ (kOnes * '"'));
  const std::uint64_t backslash = has_zero_byte(word ^ (kOnes * '\\'));
  const std::uint64_t del_or_above = ((word + kOnes) | word) & kHighBits;
  return (below_space | quote | backslash | del_or_above) != 0;
}

inline std::uint64_t load_word(const std::uint8_t* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// "00" .. "ff": two hex digits per table read.
constexpr std::array<char, 512> kHexPairs = [] {
  std::array<char, 512> table{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    table[2 * byte] = kHexDigits[byte >> 4];
    table[2 * byte + 1] = kHexDigits[byte & 0xf];
  }
  return table;
}();

inline char* put_u_escape(char* at, std::uint32_t unit) {
  at[0] = '\\';
  at[1] = 'u';
  std::memcpy(at + 2, &kHexPairs[std::size_t{2} * ((unit >> 8) & 0xff)], 2);
  std::memcpy(at + 4, &kHexPairs[std::size_t{2} * (unit & 0xff)], 2);
  return at + 6;
}

// Writes the escape of one character that needs escaping.
inline char* put_escape(char* at, std::uint32_t code) {
  if (code < 0x80 && kShortEscape[code] != 0) {
    at[0] = '\\';
    at[1] = kShortEscape[code];
    return at + 2;
  }
  if (code >= 0x10000) {
    // Astral characters become a UTF-16 surrogate pair.
    const std::uint32_t offset = code - 0x10000;
    at = put_u_escape(at, 0xd800 | ((offset >> 10) & 0x3ff));
    return put_u_escape(at, 0xdc00 | (offset & 0x3ff));
  }
  return put_u_escape(at, code);
}

inline std::size_t written_size(std::uint32_t code) {
  if (code < 0x80) return kNeedsEscape[code] ? (kShortEscape[code] != 0 ? 2 : 6) : 1;
  return code >= 0x10000 ? 12 : 6;
}

// Pure ASCII text: copies runs of plain bytes and finds the next byte to
// escape eight bytes at a time.
void write_ascii(std::string& out, const std::uint8_t* text, std::size_t length) {
  out.reserve(out.size() + length + 2);
  out.push_back('"');
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < length) {
    while (i + 8 <= length && !word_needs_escape(load_word(text + i))) i += 8;
    const std::size_t limit = std::min(length, i + 8);
    while (i < limit && !kNeedsEscape[text[i]]) ++i;
    if (i == limit) continue;
    out.append(reinterpret_cast<const char*>(text + run_start), i - run_start);
    char escape[6];
    out.append(escape, static_cast<std::size_t>(put_escape(escape, text[i]) - escape));
    run_start = ++i;
  }
  out.append(reinterpret_cast<const char*>(text + run_start), length - run_start);
  out.push_back('"');
}

// Byte `index` (in memory order) of a word stored with memcpy.
constexpr std::uint64_t place(std::uint64_t byte, unsigned index) {
  return byte << (std::endian::native == std::endian::little ? 8 * index : 8 * (7 - index));
}

// The output of every ASCII character, as up to six bytes of a word, and its
// size; a branch-free loop stores the whole word and advances by the size.
constexpr std::array<std::uint64_t, 128> kAsciiWord = [] {
  std::array<std::uint64_t, 128> table{};
  for (std::size_t c = 0; c < table.size(); ++c) {
    if (!kNeedsEscape[c]) {
      table[c] = place(c, 0);
    } else if (kShortEscape[c] != 0) {
      table[c] = place('\\', 0) | place(static_cast<std::uint8_t>(kShortEscape[c]), 1);
    } else {
      table[c] = place('\\', 0) | place('u', 1) | place('0', 2) | place('0', 3) |
                 place(static_cast<std::uint8_t>(kHexDigits[c >> 4]), 4) |
                 place(static_cast<std::uint8_t>(kHexDigits[c & 0xf]), 5);
    }
  }
  return table;
}();

constexpr std::array<std::uint8_t, 128> kAsciiSize = [] {
  std::array<std::uint8_t, 128> table{};
  for (std::size_t c = 0; c < table.size(); ++c)
    table[c] = !kNeedsEscape[c] ? 1 : (kShortEscape[c] != 0 ? 2 : 6);
  return table;
}();

// Two hex digits of a byte, placed at bytes `index` and `index + 1`.
template <unsigned index>
constexpr std::array<std::uint64_t, 256> kHexPairWord = [] {
  std::array<std::uint64_t, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    table[byte] = place(static_cast<std::uint8_t>(kHexDigits[byte >> 4]), index) |
                  place(static_cast<std::uint8_t>(kHexDigits[byte & 0xf]), index + 1);
  }
  return table;
}();

// "\uXXXX" for a unit below 0x10000, as a word.
inline std::uint64_t u_escape_word(std::uint32_t unit) {
  constexpr std::uint64_t prefix = place('\\', 0) | place('u', 1);
  return prefix | kHexPairWord<2>[(unit >> 8) & 0xff] | kHexPairWord<4>[unit & 0xff];
}

// Writes the quoted, escaped text; needs room for the worst case plus 8
// bytes, as every character stores a whole word.
template <typename Unit>
char* fill_escaped(char* at, const Unit* text, std::size_t length) {
  *at++ = '"';
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t code = text[i];
    if (sizeof(Unit) == 4 && code >= 0x10000) {
      at = put_escape(at, code);
      continue;
    }
    // Masks rather than branches: text that mixes ASCII and other characters
    // would mispredict a branch on almost every switch.
    const std::uint64_t ascii = std::uint64_t{0} - static_cast<std::uint64_t>(code < 0x80);
    const std::uint64_t word = (kAsciiWord[code & 0x7f] & ascii) | (u_escape_word(code) & ~ascii);
    const std::uint64_t size = (kAsciiSize[code & 0x7f] & ascii) | (6 & ~ascii);
    std::memcpy(at, &word, sizeof word);
    at += size;
  }
  *at++ = '"';
  return at;
}

// Text with non-ASCII characters (any of the three storage widths). Short
// texts are written in one pass into a scratch buffer with room for the worst
// case; long ones are measured first so that no buffer balloons.
template <typename Unit>
void write_escaped(std::string& out, const Unit* text, std::size_t length) {
  constexpr std::size_t kOnePassLength = 16384;
  constexpr std::size_t kWorstPerUnit = sizeof(Unit) == 4 ? 12 : 6;
  constexpr std::size_t kSlack = 2 + sizeof(std::uint64_t);
  if (length <= kOnePassLength) {
    thread_local std::string scratch;
    const std::size_t room = length * kWorstPerUnit + kSlack;
    if (scratch.size() < room) scratch.resize(room);
    const char* end = fill_escaped(scratch.data(), text, length);
    out.append(scratch.data(), static_cast<std::size_t>(end - scratch.data()));
    return;
  }
  std::size_t room = kSlack;
  for (std::size_t i = 0; i < length; ++i) room += written_size(text[i]);
  const std::size_t start = out.size();
  out.resize(start + room);
  char* const base = out.data();
  out.resize(static_cast<std::size_t>(fill_escaped(base + start, text, length) - base));
}

bool write_str(std::string& out, py::handle str) {
  PyObject* text = str.ptr();  // borrowed, for the unicode access macros
  if (!compat::unicode_ready(text)) return false;
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  const auto kind = PyUnicode_KIND(text);
  if (PyUnicode_IS_ASCII(text)) {
    write_ascii(out, PyUnicode_1BYTE_DATA(text), length);
  } else if (kind == PyUnicode_1BYTE_KIND) {
    write_escaped(out, PyUnicode_1BYTE_DATA(text), length);
  } else if (kind == PyUnicode_2BYTE_KIND) {
    write_escaped(out, PyUnicode_2BYTE_DATA(text), length);
  } else {
    write_escaped(out, PyUnicode_4BYTE_DATA(text), length);
  }
  return true;
}

// Appends a str holding ASCII only (reprs of numbers).
void append_ascii(std::string& out, py::handle text) {
  out.append(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.ptr())),
             static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())));
}

// int.__repr__ of an int or int subclass; a subclass's own __repr__ is not
// used (IntEnum members give their number).
bool write_int(std::string& out, py::handle number) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred() != nullptr) return false;
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<std::size_t>(result.ptr - digits));
    return true;
  }
  // Big numbers, including int's limit on the digits it converts.
  const auto text = py::reinterpret_steal<py::object>(PyLong_Type.tp_repr(number.ptr()));
  if (!text) return false;
  append_ascii(out, text);
  return true;
}

// float.__repr__, with json's names for the non-finite values.
bool write_float(std::string& out, py::handle number) {
  const double value = PyFloat_AS_DOUBLE(number.ptr());
  if (!std::isfinite(value)) {
    out += value > 0 ? "Infinity" : (value < 0 ? "-Infinity" : "NaN");
    return true;
  }
  char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) return false;
  out += text;
  PyMem_Free(text);
  return true;
}

bool raise_not_serializable(py::handle value) {
  // Same text as JSONEncoder.default: the name comes from __class__, which a
  // proxy object may override.
  const auto cls = py::reinterpret_steal<py::object>(PyObject_GetAttrString(value.ptr(), "__class__"));
  if (!cls) return false;
  const auto name = py::reinterpret_steal<py::object>(PyObject_GetAttrString(cls.ptr(), "__name__"));
  if (!name) return false;
  const auto shown = py::reinterpret_steal<py::object>(PyObject_Format(name.ptr(), nullptr));
  if (!shown) return false;
  PyErr_Format(PyExc_TypeError, "Object of type %U is not JSON serializable", shown.ptr());
  return false;
}

bool raise_not_str(py::handle value) {
  PyErr_Format(PyExc_TypeError, "first argument must be a string, not %.80s", Py_TYPE(value.ptr())->tp_name);
  return false;
}

class RecursionGuard {
 public:
  RecursionGuard() : entered_(Py_EnterRecursiveCall(kRecursionWhere) == 0) {}
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_;
};

// One json.dumps call's worth of state: the containers being written (for
// the circular-reference check) and the snapshots of the dicts being written.
class Encoder {
 public:
  explicit Encoder(std::string& out) : out_(out) {}
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  bool value(py::handle value);

 private:
  bool sequence(py::handle sequence);
  bool sequence_items(py::handle sequence, py::handle items);
  bool mapping(py::handle mapping);
  bool exact_dict_items(py::handle dict);
  bool mapping_items(py::handle mapping);
  bool member(py::handle key, py::handle value, bool first);
  bool key(py::handle key);
  bool enter(py::handle container);
  void leave(py::handle container);

  // Up to this nesting depth a linear scan beats hashing.
  static constexpr std::size_t kScanDepth = 32;

  std::string& out_;
  // Addresses of the containers being written, compared for identity only.
  std::vector<const void*> open_;
  std::unordered_set<const void*> open_set_;  // mirrors open_ once it gets deep
  bool deep_ = false;
  std::vector<py::object> snapshot_;  // key, value, key, value, ...
};

bool Encoder::value(py::handle handle) {
  PyObject* value = handle.ptr();  // borrowed, for the type checks
  if (value == Py_None) {
    out_ += "null";
    return true;
  }
  if (value == Py_True) {
    out_ += "true";
    return true;
  }
  if (value == Py_False) {
    out_ += "false";
    return true;
  }
  if (PyUnicode_Check(value)) return write_str(out_, value);
  if (PyLong_Check(value)) return write_int(out_, value);
  if (PyFloat_Check(value)) return write_float(out_, value);
  if (PyList_Check(value) || PyTuple_Check(value)) {
    const RecursionGuard guard;
    return guard.entered() && sequence(value);
  }
  if (PyDict_Check(value)) {
    const RecursionGuard guard;
    return guard.entered() && mapping(value);
  }
  return raise_not_serializable(value);
}

bool Encoder::sequence(py::handle sequence) {
  if (PyList_CheckExact(sequence.ptr()) || PyTuple_CheckExact(sequence.ptr())) {
    return sequence_items(sequence, sequence);
  }
  // Subclasses are iterated with their own __iter__, as json.dumps does.
  const auto items =
      py::reinterpret_steal<py::object>(PySequence_Fast(sequence.ptr(), "_iterencode_list needs a sequence"));
  return items && sequence_items(sequence, items);
}

bool Encoder::sequence_items(py::handle sequence, py::handle items) {
  if (PySequence_Fast_GET_SIZE(items.ptr()) == 0) {
    out_ += "[]";
    return true;
  }
  if (!enter(sequence)) return false;
  out_ += '[';
  // The size is read on every pass and each item is held while it is written:
  // a nested subclass's __iter__ or items() may run code that changes the list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
    if (i != 0) out_ += ", ";
    const auto item = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(items.ptr(), i));
    if (!value(item)) return false;
  }
  out_ += ']';
  leave(sequence);
  return true;
}

bool Encoder::mapping(py::handle mapping) {
  if (PyDict_GET_SIZE(mapping.ptr()) == 0) {
    out_ += "{}";
    return true;
  }
  if (!enter(mapping)) return false;
  out_ += '{';
  if (!(PyDict_CheckExact(mapping.ptr()) ? exact_dict_items(mapping) : mapping_items(mapping))) return false;
  out_ += '}';
  leave(mapping);
  return true;
}

bool Encoder::exact_dict_items(py::handle dict) {
  // json.dumps writes a copy of the items taken up front; keep the same
  // snapshot (without building tuples) so code run by nested values cannot
  // change what is written or free what is being read.
  const std::size_t base = snapshot_.size();
  Py_ssize_t position = 0;
  PyObject* key_object = nullptr;    // borrowed from the dict
  PyObject* value_object = nullptr;  // ditto
  snapshot_.reserve(base + 2 * static_cast<std::size_t>(PyDict_GET_SIZE(dict.ptr())));
  while (PyDict_Next(dict.ptr(), &position, &key_object, &value_object)) {
    snapshot_.push_back(py::reinterpret_borrow<py::object>(key_object));
    snapshot_.push_back(py::reinterpret_borrow<py::object>(value_object));
  }
  const std::size_t end = snapshot_.size();
  bool ok = true;
  for (std::size_t i = base; ok && i < end; i += 2) ok = member(snapshot_[i], snapshot_[i + 1], i == base);
  // Nested dicts have released their own entries, so ours are last.
  snapshot_.resize(base);
  return ok;
}

bool Encoder::mapping_items(py::handle mapping) {
  // Dict subclasses are written from their items(), as json.dumps does.
  const auto items = py::reinterpret_steal<py::object>(PyMapping_Items(mapping.ptr()));
  if (!items) return false;
  const auto pairs =
      py::reinterpret_steal<py::object>(PySequence_Fast(items.ptr(), "items must return 2-tuples"));
  if (!pairs) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pairs.ptr()); ++i) {
    const auto pair = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(pairs.ptr(), i));
    if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) {
      PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
      return false;
    }
    if (!member(PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1), i == 0)) return false;
  }
  return true;
}

bool Encoder::member(py::handle key_object, py::handle value_object, bool first) {
  if (!first) out_ += ", ";
  if (!key(key_object)) return false;
  out_ += ": ";
  return value(value_object);
}

bool Encoder::key(py::handle handle) {
  PyObject* key = handle.ptr();  // borrowed, for the type checks
  if (PyUnicode_Check(key)) return write_str(out_, key);
  // Numbers and constants are written as their JSON text in quotes; that
  // text never needs escaping. bool must be tested before int.
  if (PyFloat_Check(key)) {
    out_ += '"';
    if (!write_float(out_, key)) return false;
    out_ += '"';
    return true;
  }
  if (key == Py_True || key == Py_False || key == Py_None) {
    out_ += key == Py_True ? "\"true\"" : (key == Py_False ? "\"false\"" : "\"null\"");
    return true;
  }
  if (PyLong_Check(key)) {
    out_ += '"';
    if (!write_int(out_, key)) return false;
    out_ += '"';
    return true;
  }
  PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
               Py_TYPE(key)->tp_name);
  return false;
}

bool Encoder::enter(py::handle handle) {
  const void* container = handle.ptr();
  if (!deep_ && open_.size() >= kScanDepth) {
    open_set_.insert(open_.begin(), open_.end());
    deep_ = true;
  }
  const bool seen = deep_ ? !open_set_.insert(container).second
                          : std::find(open_.begin(), open_.end(), container) != open_.end();
  if (seen) {
    PyErr_SetString(PyExc_ValueError, "Circular reference detected");
    return false;
  }
  open_.push_back(container);
  return true;
}

void Encoder::leave(py::handle container) {
  open_.pop_back();
  if (deep_) open_set_.erase(container.ptr());
}

}  // namespace

void append_value(std::string& out, py::handle value) {
  // Texts are by far the most common value; they need no encoder state.
  if (PyUnicode_Check(value.ptr())) {
    if (!write_str(out, value)) throw py::error_already_set();
    return;
  }
  Encoder encoder(out);
  if (!encoder.value(value)) throw py::error_already_set();
}

void append_string(std::string& out, py::handle unicode) {
  if (!PyUnicode_Check(unicode.ptr())) {
    raise_not_str(unicode);
    throw py::error_already_set();
  }
  if (!write_str(out, unicode)) throw py::error_already_set();
}

void append_string(std::string& out, std::string_view utf8) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const bool ascii = std::all_of(bytes, bytes + utf8.size(), [](std::uint8_t byte) { return byte < 0x80; });
  if (ascii) {
    write_ascii(out, bytes, utf8.size());
    return;
  }
  const auto text = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
  if (!text || !write_str(out, text)) throw py::error_already_set();
}

py::str dumps(py::handle value) {
  // json.dumps sends everything that passes isinstance(value, str) to the
  // string encoder, which then refuses objects that only claim to be a str.
  if (!PyUnicode_Check(value.ptr())) {
    const int claims_str = PyObject_IsInstance(value.ptr(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (claims_str == 1) raise_not_str(value);
    if (claims_str != 0) throw py::error_already_set();
  }
  std::string out;
  append_value(out, value);
  // The text is pure ASCII, so it is copied straight into a compact str.
  auto result = py::reinterpret_steal<py::str>(PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127));
  if (!result) throw py::error_already_set();
  std::memcpy(PyUnicode_1BYTE_DATA(result.ptr()), out.data(), out.size());
  return result;
}

}  // namespace zcore::json
