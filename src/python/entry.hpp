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

class SharedBorrow {
 public:
  static Result<SharedBorrow> take(BorrowFlag& flag);
  SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (flag_ != nullptr) flag_->state.store(flag_->state.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }

 private:
  explicit SharedBorrow(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  static Result<ExclusiveBorrow> take(BorrowFlag& flag);
  // For callers that may not raise: a guard that holds nothing when the flag is taken.
  static ExclusiveBorrow try_take(BorrowFlag& flag) noexcept {
    if (flag.state.load(std::memory_order_relaxed) != 0) return ExclusiveBorrow(nullptr);
    flag.state.store(-1, std::memory_order_relaxed);
    return ExclusiveBorrow(&flag);
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (flag_ != nullptr) flag_->state.store(0, std::memory_order_relaxed);
  }

 private:
  explicit ExclusiveBorrow(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

// A new reference to True or False.
inline Ref bool_object(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref none_object() noexcept { return Ref::borrow(Py_None); }

// Inline: every call takes one, and next(iterator) is little else.
inline Result<SharedBorrow> SharedBorrow::take(BorrowFlag& flag) {
  const std::int64_t holders = flag.state.load(std::memory_order_relaxed);
  if (holders == -1) [[unlikely]]
    return Error::make(PyExc_RuntimeError, "Already mutably borrowed");
  flag.state.store(holders + 1, std::memory_order_relaxed);
  return SharedBorrow(&flag);
}

inline Result<ExclusiveBorrow> ExclusiveBorrow::take(BorrowFlag& flag) {
  ExclusiveBorrow guard = try_take(flag);
  if (!guard) [[unlikely]]
    return Error::make(PyExc_RuntimeError, "Already borrowed");
  return guard;
}

}  // namespace quorvel
