// The entry wrapper and the receiver guard.
//
// Every call from the interpreter runs its body inside run_entry (or
// run_destructor) below: a value is returned in the slot's form, an Error is
// set on the thread and the slot's failure marker returned, and a C++
// exception (an internal fault) becomes PanicException.  No C++ exception
// ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "support/error.hpp"
#include "support/ref.hpp"

namespace quorvel {

// Sets the C++ exception being handled as the thread's interpreter exception:
// PanicException for a fault (MemoryError for std::bad_alloc).  Call it only
// from a catch block.  A fault while doing so aborts the process.
void raise_current_fault() noexcept;

// Reports the C++ exception being handled as unraisable (for destructors).
void report_current_fault_unraisable() noexcept;

// Runs `body` at the boundary: its value is handed back through `success`,
// its Error is set on the thread and `failure` returned.
template <class Out, class Body, class Success>
Out run_entry(Body&& body, Out failure, Success success) noexcept {
  try {
    auto result = body();
    if (result) return success(result);
    std::move(result).error().restore();
  } catch (...) {
    raise_current_fault();
  }
  return failure;
}

template <class Body>
PyObject* run_object(Body&& body) noexcept {
  return run_entry<PyObject*>(body, nullptr, [](Result<Ref>& result) { return std::move(result).value().release(); });
}

// For destructors: a fault is reported as unraisable and never propagates.
template <class Body>
void run_destructor(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    report_current_fault_unraisable();
  }
}

// The borrow flag: 0 free, n > 0 shared holders, -1 held exclusively.
//
// Every update happens on a thread that holds the interpreter lock, and no
// interpreter code runs between reading the flag and writing it, so no other
// thread can come in between; the lock's hand-over orders updates made by
// different threads.  Relaxed atomic loads and stores are therefore enough,
// and they avoid the locked read-modify-write instructions that would
// otherwise dominate cheap calls such as next(iterator).
struct BorrowFlag {
  std::atomic<std::int64_t> state{0};
};

// A hold on a borrow flag, given back when it ends: one of any number of
// shared holders, or the one exclusive holder.
template <bool Exclusive>
class Borrow {
 public:
  static Result<Borrow> take(BorrowFlag& flag);
  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}  // and no assignment
  ~Borrow() {
    if (flag_ == nullptr) return;
    const std::int64_t rest = Exclusive ? 0 : flag_->state.load(std::memory_order_relaxed) - 1;
    flag_->state.store(rest, std::memory_order_relaxed);
  }

 private:
  explicit Borrow(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// A new reference to True or False.
inline Ref bool_object(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref none_object() noexcept { return Ref::borrow(Py_None); }

// Inline: every call takes one, and next(iterator) is little else.
template <bool Exclusive>
inline Result<Borrow<Exclusive>> Borrow<Exclusive>::take(BorrowFlag& flag) {
  const std::int64_t holders = flag.state.load(std::memory_order_relaxed);
  if (Exclusive ? holders != 0 : holders == -1) [[unlikely]]
    return Error::make(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
  flag.state.store(Exclusive ? -1 : holders + 1, std::memory_order_relaxed);
  return Borrow(&flag);
}

}  // namespace quorvel
