// The one owner of strong references.
//
// Every strong reference this module keeps lives in a Ref, so that it is
// released exactly once on every path, including C++ unwinding.  Raw
// PyObject* appear only where a reference is borrowed.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvel {

class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference (which may be null, for a failed C API call).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }

  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    // Release the old reference last: its finaliser may look at this slot.
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  // Inlined everywhere: most Refs are empty or moved-from by the time they
  // go, and a call to test that costs more than the test (clang declines).
  [[gnu::always_inline]] ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives the reference away (to the interpreter or another owner).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  // Drops the reference now; the slot is empty before any finaliser runs.
  void reset() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }

  Ref clone() const noexcept { return borrow(object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quorvel
