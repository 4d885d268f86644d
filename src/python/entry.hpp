// The entry wrapper (the receiver guard is in guard.hpp).
//
// Every call from the interpreter runs its body inside run_entry (or
// run_destructor) below: a value is returned in the slot's form, an Error is
// set on the thread and the slot's failure marker returned, and a C++
// exception (an internal fault) becomes PanicException.  No C++ exception
// ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <utility>

#include "python/guard.hpp"
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

// A new reference to True or False.
inline Ref bool_object(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref none_object() noexcept { return Ref::borrow(Py_None); }

}  // namespace quorvel
