// Recursion levels for the native frames that run user code.
//
// A comparison, key callable or __repr__ may call back into a tree, which
// compares again, and so on: every such round trip passes through native
// frames of this module.  Each of those frames counts as one level of the
// interpreter's recursion limit, as the interpreter's own C code does, so
// that deep re-entry ends in RecursionError.  The interpreter's count alone
// does not protect the native stack (before 3.12 it counts Python frames,
// whose limit may be raised far beyond what the stack holds), so entering a
// level also checks that the stack still has room.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "support/error.hpp"

namespace quorvel {

class [[nodiscard]] RecursionLevel {
 public:
  // One more level, or RecursionError (`where` completes its message, as
  // for Py_EnterRecursiveCall: " in comparison").
  static Result<RecursionLevel> enter(const char* where);

  RecursionLevel(RecursionLevel&& other) noexcept : entered_(std::exchange(other.entered_, false)) {}
  RecursionLevel& operator=(RecursionLevel&&) = delete;
  ~RecursionLevel() {
    if (entered_) Py_LeaveRecursiveCall();
  }

 private:
  RecursionLevel() noexcept = default;
  bool entered_ = true;
};

}  // namespace quorvel
