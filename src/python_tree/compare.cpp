#include "python_tree/compare.hpp"

#include <bit>
#include <cmath>

#include "support/recursion.hpp"
#include "support/ref.hpp"

namespace quorvel {
namespace {

constexpr const char kAllFalse[] = "PyAny::compare(): All comparisons returned false";

// Appends the generalised UTF-8 encoding of a code point (surrogates
// included), which orders byte strings exactly as code points order.
int encode_code_point(Py_UCS4 cp, unsigned char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  return 4;
}

// The first 8 bytes of the encoding, zero-padded, read big-endian: unequal
// prefixes order their strings; equal ones leave the order open.
std::uint64_t string_prefix(PyObject* text) noexcept {
  const Py_ssize_t length = PyUnicode_GetLength(text);
  unsigned char bytes[8 + 4] = {};
  int filled = 0;
  for (Py_ssize_t i = 0; i < length && filled < 8; ++i) {
    const Py_UCS4 cp = PyUnicode_ReadChar(text, i);
    filled += encode_code_point(cp, bytes + filled);
  }
  std::uint64_t prefix = 0;
  for (int i = 0; i < 8; ++i) prefix = (prefix << 8) | bytes[i];
  return prefix;
}

Ordering order_of(double x, double y) {
  return x == y ? Ordering::Equal : (x < y ? Ordering::Less : Ordering::Greater);
}

// An int against a finite or infinite float, exactly (no rounding of the int).
Ordering order_int_float(std::int64_t i, double d) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (d >= kTwo63) return Ordering::Less;
  if (d < -kTwo63) return Ordering::Greater;
  const double whole = std::trunc(d);
  const auto w = static_cast<std::int64_t>(whole);
  if (i != w) return i < w ? Ordering::Less : Ordering::Greater;
  if (d > whole) return Ordering::Less;
  if (d < whole) return Ordering::Greater;
  return Ordering::Equal;
}

Ordering flip(Ordering o) { return static_cast<Ordering>(-static_cast<int>(o)); }

// The native copy of an exact int, bool or float; kNoNative for anything
// else, a big int included.
NativeKey number_of(PyObject* item) noexcept {
  PyTypeObject* type = Py_TYPE(item);
  if (type == &PyLong_Type || type == &PyBool_Type) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return {};  // big ints take the interpreter's path
    if (value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return {};
    }
    return {static_cast<std::uint64_t>(value), kNativeInt};
  }
  if (type == &PyFloat_Type) return {std::bit_cast<std::uint64_t>(PyFloat_AsDouble(item)), kNativeFloat};
  return {};
}

// The native copy of an exact int, bool, float or str.
NativeKey scalar_of(PyObject* key) noexcept {
  if (Py_TYPE(key) == &PyUnicode_Type) return {string_prefix(key), kNativeStr};
  return number_of(key);
}

// An exact tuple: its kind and bits come from its first item.
NativeKey tuple_of(PyObject* tuple) noexcept {
  if (PyTuple_Size(tuple) == 0) return {0, kNativeTuple};
  const NativeKey lead = scalar_of(PyTuple_GetItem(tuple, 0));
  return {lead.bits, tuple_kind(lead.kind)};
}

}  // namespace

NativeKey NativeKey::of(PyObject* key) noexcept {
  if (Py_TYPE(key) == &PyTuple_Type) return tuple_of(key);
  return scalar_of(key);
}

namespace {

// Both sides through the interpreter's rich comparisons.
Result<Ordering> compare_objects(PyObject* a, PyObject* b) {
  // The comparisons run user code, which may compare in a tree again.
  Result<RecursionLevel> level = RecursionLevel::enter(" in comparison");
  if (!level) return std::move(level).error();
  static constexpr int kOperators[] = {Py_EQ, Py_LT, Py_GT};
  static constexpr Ordering kOutcomes[] = {Ordering::Equal, Ordering::Less, Ordering::Greater};
  for (int i = 0; i < 3; ++i) {
    Ref answer = Ref::steal(PyObject_RichCompare(a, b, kOperators[i]));
    if (!answer) return Error::fetch();
    int holds;
    if (answer.get() == Py_True)
      holds = 1;
    else if (answer.get() == Py_False)
      holds = 0;
    else
      holds = PyObject_IsTrue(answer.get());
    if (holds < 0) return Error::fetch();
    if (holds) return kOutcomes[i];
  }
  return Error::make(PyExc_TypeError, kAllFalse);
}

// Both sides exact str whose prefixes tie.
Result<Ordering> compare_strings(PyObject* a, PyObject* b) {
  const int order = PyUnicode_Compare(a, b);
  if (order == -1 && PyErr_Occurred()) return Error::fetch();
  return order == 0 ? Ordering::Equal : (order < 0 ? Ordering::Less : Ordering::Greater);
}

// How a pair compares natively, or Unknown where only the interpreter can
// say: a NaN (whose three answers are all false), an item of a type not
// known here, items that do not order each other, nesting too deep.
enum class NativeOrder : std::int8_t { Less = -1, Equal = 0, Greater = 1, Unknown = 2 };

NativeOrder known(Ordering o) { return static_cast<NativeOrder>(o); }

NativeOrder order_ints(const NativeKey& a, const NativeKey& b) {
  const auto x = static_cast<std::int64_t>(a.bits);
  const auto y = static_cast<std::int64_t>(b.bits);
  return x == y ? NativeOrder::Equal : (x < y ? NativeOrder::Less : NativeOrder::Greater);
}

// Two numbers: exact, as the interpreter compares them.
NativeOrder order_numbers(const NativeKey& a, const NativeKey& b) {
  if (both_ints(a, b)) return order_ints(a, b);
  const bool a_float = a.kind == kNativeFloat;
  const bool b_float = b.kind == kNativeFloat;
  const double x = std::bit_cast<double>(a.bits);
  const double y = std::bit_cast<double>(b.bits);
  if ((a_float && std::isnan(x)) || (b_float && std::isnan(y))) return NativeOrder::Unknown;
  if (a_float && b_float) return known(order_of(x, y));
  if (b_float) return known(order_int_float(static_cast<std::int64_t>(a.bits), y));
  return known(flip(order_int_float(static_cast<std::int64_t>(b.bits), x)));
}

Result<Ordering> compare_numbers(const NativeKey& a, const NativeKey& b) {
  const NativeOrder order = order_numbers(a, b);
  // NaN answers false to all three questions, as the interpreter does.
  if (order == NativeOrder::Unknown) return Error::make(PyExc_TypeError, kAllFalse);
  return static_cast<Ordering>(order);
}

// Tuples nested deeper than this take the interpreter's path, which guards
// its own recursion; the native walk's stack stays small.
constexpr int kMaxTupleDepth = 16;

NativeOrder order_tuple_items(PyObject* a, PyObject* b, Py_ssize_t from, int depth);

// Two items of tuples being compared, as the interpreter's tuple comparison
// sees them: the same object is equal to itself without being asked.
NativeOrder order_items(PyObject* x, PyObject* y, int depth) {
  if (x == y) return NativeOrder::Equal;
  PyTypeObject* x_type = Py_TYPE(x);
  PyTypeObject* y_type = Py_TYPE(y);
  if (x_type == &PyUnicode_Type && y_type == &PyUnicode_Type) {
    const int order = PyUnicode_Compare(x, y);
    if (order == -1 && PyErr_Occurred()) {
      PyErr_Clear();  // the interpreter's path meets the same failure and reports it
      return NativeOrder::Unknown;
    }
    return order == 0 ? NativeOrder::Equal : (order < 0 ? NativeOrder::Less : NativeOrder::Greater);
  }
  if (x_type == &PyTuple_Type && y_type == &PyTuple_Type) {
    if (depth >= kMaxTupleDepth) return NativeOrder::Unknown;
    return order_tuple_items(x, y, 0, depth + 1);
  }
  const NativeKey x_number = number_of(x);
  const NativeKey y_number = number_of(y);
  if (x_number.kind == kNoNative || y_number.kind == kNoNative) return NativeOrder::Unknown;
  return order_numbers(x_number, y_number);
}

// Exact tuples from item `from` on, whose earlier items are equal: the first
// unequal pair of items decides, else the lengths do.
NativeOrder order_tuple_items(PyObject* a, PyObject* b, Py_ssize_t from, int depth) {
  const Py_ssize_t a_length = PyTuple_Size(a);
  const Py_ssize_t b_length = PyTuple_Size(b);
  const Py_ssize_t common = a_length < b_length ? a_length : b_length;
  for (Py_ssize_t i = from; i < common; ++i) {
    const NativeOrder order = order_items(PyTuple_GetItem(a, i), PyTuple_GetItem(b, i), depth);
    if (order != NativeOrder::Equal) return order;
  }
  return a_length == b_length ? NativeOrder::Equal : (a_length < b_length ? NativeOrder::Less : NativeOrder::Greater);
}

// The first items of two tuples from their native copies: their order if
// they are unequal, Equal if they are equal numbers, else Unknown.
NativeOrder order_leads(const NativeKey& a, const NativeKey& b) {
  const NativeKey x = lead_of(a);
  const NativeKey y = lead_of(b);
  switch (family_of(x, y)) {
    case PairFamily::Strings:
      if (x.bits == y.bits) return NativeOrder::Unknown;
      return x.bits < y.bits ? NativeOrder::Less : NativeOrder::Greater;
    case PairFamily::Numbers:
      return order_numbers(x, y);
    default:
      return NativeOrder::Unknown;
  }
}

// Two exact tuples.  Their items are compared as the interpreter's tuple
// comparison would, all three questions at once; where that cannot be done
// natively, the pair takes the interpreter's path from the start, which is
// exact since nothing visible has happened yet.
Result<Ordering> compare_tuples(PyObject* a, NativeKey a_native, PyObject* b, NativeKey b_native) {
  const NativeOrder lead = order_leads(a_native, b_native);
  if (lead == NativeOrder::Less || lead == NativeOrder::Greater) return static_cast<Ordering>(lead);
  // A tuple is equal to itself item by item, without any item being asked.
  if (a == b) return Ordering::Equal;
  const NativeOrder order = order_tuple_items(a, b, lead == NativeOrder::Equal ? 1 : 0, 0);
  if (order != NativeOrder::Unknown) return static_cast<Ordering>(order);
  return compare_objects(a, b);
}

Result<Ordering> compare_pair(PyObject* a, NativeKey a_native, PyObject* b, NativeKey b_native) {
  switch (family_of(a_native, b_native)) {
    case PairFamily::Strings:
      if (a_native.bits != b_native.bits) return a_native.bits < b_native.bits ? Ordering::Less : Ordering::Greater;
      return compare_strings(a, b);
    case PairFamily::Numbers:
      return compare_numbers(a_native, b_native);
    case PairFamily::Tuples:
      return compare_tuples(a, a_native, b, b_native);
    case PairFamily::Objects:
      break;
  }
  return compare_objects(a, b);
}

}  // namespace

OtherAnswer compare_other(PyObject* a, NativeKey a_native, PyObject* b, NativeKey b_native) {
  Result<Ordering> order = compare_pair(a, a_native, b, b_native);
  if (!order) return OtherAnswer{0, std::move(order).error().take().release()};
  return OtherAnswer{static_cast<int>(order.value()), nullptr};
}

}  // namespace quorvel
