// The three-way key comparison that every ordered operation of the engine uses.
//
// compare(a, b) asks the interpreter a == b, then a < b, then a > b, and the
// first that holds decides.  Keys whose type is exactly int, bool, float or
// str have pure, deterministic comparisons, so for them the same answer is
// computed natively from a copy taken once (NativeKey), without calling the
// interpreter.  Any other key, on either side, takes the interpreter's path,
// call for call.
#pragma once

#include <Python.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "support/error.hpp"

namespace quorvel {

enum class Ordering : std::int8_t { Less = -1, Equal = 0, Greater = 1 };

// What kind of native copy a key has.  Bit flags, so that a pair of kinds can
// be classified with one mask.
enum NativeKind : std::uint8_t {
  kNoNative = 0,
  kNativeInt = 1,    // exact int or bool that fits in 64 bits: the value
  kNativeFloat = 2,  // exact float: its bits
  kNativeStr = 4,    // exact str: the first 8 bytes of its code points, WTF-8 encoded, big-endian
};

struct NativeKey {
  std::uint64_t bits = 0;
  std::uint8_t kind = kNoNative;

  // The native copy of a key object (borrowed); kNoNative for other types.
  static NativeKey of(PyObject* key) noexcept;
};

// A key as compare sees it: the object (borrowed) and its native copy.
struct KeyView {
  PyObject* object;
  NativeKey native;

  static KeyView of(PyObject* key) noexcept { return KeyView{key, NativeKey::of(key)}; }
};

// Every pair of keys but two native ints: -1, 0 or 1, or kCompareFailed
// with the comparison's exception set on the thread, which compare takes back
// at once.  An answer that fits in a register, and parts passed apart, keep
// the descent loops that inline compare out of memory.
inline constexpr int kCompareFailed = 2;
int compare_other(PyObject* a, NativeKey a_native, PyObject* b, NativeKey b_native);

// Which of compare's ways a pair of keys takes: both native numbers (int,
// bool or float), both native strings, or anything else, through the
// interpreter's rich comparisons.
enum class PairFamily : std::uint8_t { Numbers, Strings, Objects };

inline PairFamily family_of(const NativeKey& a, const NativeKey& b) noexcept {
  if (a.kind == kNoNative || b.kind == kNoNative) return PairFamily::Objects;
  const unsigned kinds = a.kind | b.kind;
  if (kinds == kNativeStr) return PairFamily::Strings;
  return (kinds & kNativeStr) == 0 ? PairFamily::Numbers : PairFamily::Objects;
}

// Whether compare(a, b) stays native and answers: both keys native numbers,
// neither a NaN, or both native strings.  Such a comparison runs no
// interpreter code and cannot fail, so a walk may make it in any order, or
// make it again, without any visible difference.
inline bool compares_natively(const NativeKey& a, const NativeKey& b) noexcept {
  switch (family_of(a, b)) {
    case PairFamily::Strings:
      return true;
    case PairFamily::Numbers: {
      if ((a.kind | b.kind) == kNativeInt) return true;
      const auto is_nan = [](const NativeKey& k) {
        return k.kind == kNativeFloat && std::isnan(std::bit_cast<double>(k.bits));
      };
      return !is_nan(a) && !is_nan(b);
    }
    case PairFamily::Objects:
      break;
  }
  return false;
}

// a relative to b: Less, Equal or Greater, or the comparison's exception.
inline Result<Ordering> compare(const KeyView& a, const KeyView& b) {
  // Two ints, the commonest pair, are answered here without a call.  Kinds
  // are single bits, so the mask holds only when both are ints.
  if (__builtin_expect((a.native.kind & b.native.kind) == kNativeInt, 1)) {
    const auto x = static_cast<std::int64_t>(a.native.bits);
    const auto y = static_cast<std::int64_t>(b.native.bits);
    return x == y ? Ordering::Equal : (x < y ? Ordering::Less : Ordering::Greater);
  }
  const int answer = compare_other(a.object, a.native, b.object, b.native);
  if (answer == kCompareFailed) return Error::fetch();
  return static_cast<Ordering>(answer);
}

}  // namespace quorvel
