// The three-way key comparison that every ordered operation of the engine uses.
//
// compare(a, b) asks the interpreter a == b, then a < b, then a > b, and the
// first that holds decides.  Keys whose type is exactly int, bool, float or
// str have pure, deterministic comparisons, so for them the same answer is
// computed natively from a copy taken once (NativeKey), without calling the
// interpreter.  So are exact tuples of such items (or of such tuples), as
// far as their comparison reaches: an item of any other type that the
// comparison would have to ask, a NaN, or items that do not order send the
// whole pair to the interpreter's path, before anything visible happened.
// Any other key, on either side, takes the interpreter's path, call for call.
#pragma once

#include <Python.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "support/error.hpp"

namespace quorvel {

enum class Ordering : std::int8_t { Less = -1, Equal = 0, Greater = 1 };

// What kind of native copy a key has; every value fits in 3 bits.  An exact
// tuple's kind says what its first item (its lead) is, and its bits are that
// item's copy: most pairs of tuples are told apart by their first items
// without reading either tuple.
enum NativeKind : std::uint8_t {
  kNoNative = 0,
  kNativeFloat = 1,       // exact float: its bits
  kNativeStr = 2,         // exact str: the first 8 bytes of its code points, WTF-8 encoded, big-endian
  kNativeTuple = 3,       // exact tuple, empty or led by anything else: no bits
  kNativeTupleFloat = 4,  // exact tuples led by a native float, str or int
  kNativeTupleStr = 5,
  kNativeTupleInt = 6,
  // Exact int or bool that fits in 64 bits: the value.  All three bits set,
  // so that the one pair of kinds whose AND is kNativeInt is two ints.
  kNativeInt = 7,
};

constexpr bool is_tuple_kind(unsigned kind) noexcept { return kind - kNativeTuple < 4u; }

// The kind of a tuple's lead, and back.
constexpr std::uint8_t lead_kind(unsigned kind) noexcept {
  constexpr std::uint8_t kLeads[8] = {kNoNative, kNoNative, kNoNative, kNoNative,
                                      kNativeFloat, kNativeStr, kNativeInt, kNoNative};
  return kLeads[kind & 7u];
}
constexpr std::uint8_t tuple_kind(unsigned lead) noexcept {
  constexpr std::uint8_t kTuples[8] = {kNativeTuple, kNativeTupleFloat, kNativeTupleStr, kNativeTuple,
                                       kNativeTuple, kNativeTuple,      kNativeTuple,    kNativeTupleInt};
  return kTuples[lead & 7u];
}

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

// Every pair of keys but two native ints: -1, 0 or 1 in `order`, or, in
// `error`, a strong reference to the comparison's exception, which compare
// takes back at once.  Two words come back in registers, and the parts are
// passed apart, which keeps the descent loops that inline compare out of
// memory; the interpreter's error state is never involved.
struct OtherAnswer {
  std::intptr_t order;
  PyObject* error;  // null on success
};
OtherAnswer compare_other(PyObject* a, NativeKey a_native, PyObject* b, NativeKey b_native);

// Which of compare's ways a pair of keys takes: both native numbers (int,
// bool or float), both native strings, both native tuples, or anything
// else, through the interpreter's rich comparisons.
enum class PairFamily : std::uint8_t { Numbers, Strings, Tuples, Objects };

constexpr PairFamily family_of_kinds(unsigned a, unsigned b) noexcept {
  if (a == kNoNative || b == kNoNative) return PairFamily::Objects;
  const bool a_tuple = is_tuple_kind(a);
  const bool b_tuple = is_tuple_kind(b);
  if (a_tuple || b_tuple) return a_tuple && b_tuple ? PairFamily::Tuples : PairFamily::Objects;
  if (a == kNativeStr || b == kNativeStr) return a == b ? PairFamily::Strings : PairFamily::Objects;
  return PairFamily::Numbers;
}

// Every pair of kinds, looked up in one load.
struct PairFamilies {
  PairFamily of[64];
  constexpr PairFamilies() : of() {
    for (unsigned a = 0; a < 8; ++a)
      for (unsigned b = 0; b < 8; ++b) of[a * 8 + b] = family_of_kinds(a, b);
  }
};
inline constexpr PairFamilies kPairFamilies{};

inline PairFamily family_of(const NativeKey& a, const NativeKey& b) noexcept {
  return kPairFamilies.of[(a.kind & 7u) * 8 + (b.kind & 7u)];
}

// The native copy of a tuple's first item, as a scalar key.
inline NativeKey lead_of(const NativeKey& tuple) noexcept {
  return NativeKey{tuple.bits, lead_kind(tuple.kind)};
}

inline bool is_nan(const NativeKey& k) noexcept {
  return k.kind == kNativeFloat && std::isnan(std::bit_cast<double>(k.bits));
}

// Whether two tuples' first items are unequal and order each other without
// reading either tuple: ints or floats (no NaN) of different values, or
// strings of different prefixes.
inline bool leads_decide(const NativeKey& a, const NativeKey& b) noexcept {
  const NativeKey x = lead_of(a);
  const NativeKey y = lead_of(b);
  if (x.kind != y.kind) return false;
  if (x.kind == kNativeFloat)
    return !is_nan(x) && !is_nan(y) && std::bit_cast<double>(x.bits) != std::bit_cast<double>(y.bits);
  return x.kind != kNoNative && x.bits != y.bits;
}

// Whether both keys are native ints: the commonest pair, which compare
// answers without a call.  One AND, by the choice of kNativeInt's bits.
inline bool both_ints(const NativeKey& a, const NativeKey& b) noexcept { return (a.kind & b.kind) == kNativeInt; }

// Whether compare(a, b) stays native and answers: both keys native numbers,
// neither a NaN, both native strings, or tuples told apart by their first
// items.  Such a comparison runs no interpreter code and cannot fail, so a
// walk may make it in any order, or make it again, without any visible
// difference.
inline bool compares_natively(const NativeKey& a, const NativeKey& b) noexcept {
  // Two ints, the commonest pair, without the family lookup.
  if (both_ints(a, b)) return true;
  switch (family_of(a, b)) {
    case PairFamily::Strings:
      return true;
    case PairFamily::Numbers:
      return both_ints(a, b) || (!is_nan(a) && !is_nan(b));
    case PairFamily::Tuples:
      return leads_decide(a, b);
    case PairFamily::Objects:
      break;
  }
  return false;
}

inline std::int64_t int_of(const KeyView& key) noexcept { return static_cast<std::int64_t>(key.native.bits); }

// compare(a, b) for every pair but two native ints.
[[gnu::always_inline]] inline Result<Ordering> compare_others(const KeyView& a, const KeyView& b) {
  const OtherAnswer answer = compare_other(a.object, a.native, b.object, b.native);
  if (__builtin_expect(answer.error != nullptr, 0)) return Error::adopt(Ref::steal(answer.error));
  return static_cast<Ordering>(answer.order);
}

// a relative to b: Less, Equal or Greater, or the comparison's exception.
//
// The answer is one value however it was found, which a descent selects
// its next node by without a branch (the turn is a coin toss).
inline Result<Ordering> compare(const KeyView& a, const KeyView& b) {
  if (__builtin_expect(both_ints(a.native, b.native), 1)) {
    const std::int64_t x = int_of(a), y = int_of(b);
    return x == y ? Ordering::Equal : (x < y ? Ordering::Less : Ordering::Greater);
  }
  return compare_others(a, b);
}

// compare(a, b), handed to `then` (an Ordering) or, if the comparison
// failed, to `failed` (its Error), for a walk that branches on the answer.
// Two native ints call `then` from the branch that found the answer, with a
// constant, so that the walk branches on the comparison itself: a branch on
// one value that either way of comparing makes waits for the instructions
// that make it, and a mispredicted one (a coin toss, in a merge) is found
// out that much later.
template <class Then, class Failed>
[[gnu::always_inline]] inline auto compare_then(const KeyView& a, const KeyView& b, Then&& then, Failed&& failed) {
  if (__builtin_expect(both_ints(a.native, b.native), 1)) {
    const std::int64_t x = int_of(a), y = int_of(b);
    if (x == y) return then(Ordering::Equal);
    if (x < y) return then(Ordering::Less);
    return then(Ordering::Greater);
  }
  Result<Ordering> order = compare_others(a, b);
  if (!order) return failed(std::move(order).error());
  return then(order.value());
}

}  // namespace quorvel
