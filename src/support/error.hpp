// Failure values shared by every layer of the module.
//
// A body either produces its value or an Error: an interpreter exception held
// as a value, not yet set on the thread, so that clean-up code (which may run
// finalisers) never runs with an exception pending.  Broken invariants of the
// module's own code are C++ exceptions of the one type Fault; the entry
// wrapper turns them into PanicException.
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "support/ref.hpp"

namespace quorvel {

class Fault {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

class [[nodiscard]] Error {
 public:
  // Takes the thread's current exception.  A C API call that failed without
  // setting one gives SystemError.  A PanicException coming back from
  // interpreter code is resumed as a Fault of the current call (it throws).
  static Error fetch();

  // A new exception of `type` with `message` as its single argument.
  static Error make(PyObject* type, const char* message);
  static Error make(PyObject* type, Ref message);
  // The interpreter's MemoryError.
  static Error no_memory();

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;

  // The exception instance (borrowed).
  PyObject* exception() const noexcept { return exception_.get(); }

  // The exception instance handed over as a strong reference, and back: for
  // a hot call that returns its failure in a register instead of in memory.
  Ref take() && noexcept { return std::move(exception_); }
  static Error adopt(Ref exception) noexcept { return Error(std::move(exception)); }

  // Sets the exception on the thread; the Error is spent.
  void restore() && noexcept;

 private:
  friend class Status;
  explicit Error(Ref exception) noexcept : exception_(std::move(exception)) {}
  Ref exception_;
};

// A value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept : ok_(true) { new (&value_) T(std::move(value)); }
  Result(Error error) noexcept : ok_(false) { new (&error_) Error(std::move(error)); }
  Result(Result&& other) noexcept : ok_(other.ok_) {
    if (ok_)
      new (&value_) T(std::move(other.value_));
    else
      new (&error_) Error(std::move(other.error_));
  }
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (ok_)
      value_.~T();
    else
      error_.~Error();
  }

  bool ok() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  T& value() & noexcept { return value_; }
  T&& value() && noexcept { return std::move(value_); }
  Error&& error() && noexcept { return std::move(error_); }

 private:
  union {
    T value_;
    Error error_;
  };
  bool ok_;
};

// Success or an Error.
class [[nodiscard]] Status {
 public:
  Status() noexcept = default;
  Status(Error error) noexcept : exception_(std::move(error.exception_)) {}
  Status(Status&&) noexcept = default;
  Status& operator=(Status&&) = delete;

  bool ok() const noexcept { return !exception_; }
  explicit operator bool() const noexcept { return ok(); }
  Error error() && noexcept { return Error(std::move(exception_)); }

 private:
  Ref exception_;  // empty on success
};

// The new reference a C API call returned, or the exception it set.
inline Result<Ref> owned(PyObject* made) {
  if (made == nullptr) return Error::fetch();
  return Ref::steal(made);
}

// The process-wide PanicException type, made on first use.  Null with an
// Error if it cannot be made.
Result<PyObject*> panic_exception_type();

// The pending PanicException for a fault (from_panic_payload).
Error from_panic_payload(const std::string& message);

// A process-wide cell, filled once by `make` (a new reference, or null with
// the exception set) and kept until the process ends.  Making the object can
// run interpreter code, so another thread may fill the cell meanwhile: the
// filled cell wins and the new object is dropped.
template <class Make>
Result<PyObject*> fill_once(PyObject*& cell, Make&& make) {
  if (cell != nullptr) return cell;
  PyObject* made = make();
  if (made == nullptr) return Error::fetch();
  if (cell == nullptr)
    cell = made;
  else
    Py_DECREF(made);
  return cell;
}

}  // namespace quorvel
