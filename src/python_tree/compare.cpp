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

}  // namespace

NativeKey NativeKey::of(PyObject* key) noexcept {
  PyTypeObject* type = Py_TYPE(key);
  if (type == &PyLong_Type || type == &PyBool_Type) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (overflow != 0) return {};  // big ints take the interpreter's path
    if (value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return {};
    }
    return {static_cast<std::uint64_t>(value), kNativeInt};
  }
  if (type == &PyFloat_Type) return {std::bit_cast<std::uint64_t>(PyFloat_AsDouble(key)), kNativeFloat};
  if (type == &PyUnicode_Type) return {string_prefix(key), kNativeStr};
  return {};
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

// Two numbers, at least one a float: exact, as the interpreter compares them.
Result<Ordering> compare_numbers(const NativeKey& a, const NativeKey& b) {
  const bool a_float = a.kind == kNativeFloat;
  const bool b_float = b.kind == kNativeFloat;
  const double x = std::bit_cast<double>(a.bits);
  const double y = std::bit_cast<double>(b.bits);
  // NaN answers false to all three questions, as the interpreter does.
  if ((a_float && std::isnan(x)) || (b_float && std::isnan(y)))
    return Error::make(PyExc_TypeError, kAllFalse);
  if (a_float && b_float) return order_of(x, y);
  if (b_float) return order_int_float(static_cast<std::int64_t>(a.bits), y);
  return flip(order_int_float(static_cast<std::int64_t>(b.bits), x));
}

Result<Ordering> compare_pair(PyObject* a, NativeKey a_native, PyObject* b, NativeKey b_native) {
  switch (family_of(a_native, b_native)) {
    case PairFamily::Strings:
      if (a_native.bits != b_native.bits) return a_native.bits < b_native.bits ? Ordering::Less : Ordering::Greater;
      return compare_strings(a, b);
    case PairFamily::Numbers:
      return compare_numbers(a_native, b_native);
    case PairFamily::Objects:
      break;
  }
  return compare_objects(a, b);
}

}  // namespace

int compare_other(PyObject* a, NativeKey a_native, PyObject* b, NativeKey b_native) {
  Result<Ordering> order = compare_pair(a, a_native, b, b_native);
  if (!order) {
    std::move(order).error().restore();
    return kCompareFailed;
  }
  return static_cast<int>(order.value());
}

}  // namespace quorvel
