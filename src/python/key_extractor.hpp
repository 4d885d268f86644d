// The tree's fixed key rule, and the intake of the constructor's values.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "support/error.hpp"
#include "support/memory.hpp"
#include "support/ref.hpp"

namespace quorvel {

class KeyExtractor {
 public:
  enum class Form : std::uint8_t { Identity, Attribute, Callable };

  KeyExtractor() noexcept = default;  // Identity
  KeyExtractor(KeyExtractor&& other) noexcept
      : form_(std::exchange(other.form_, Form::Identity)),
        text_(std::exchange(other.text_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        callable_(std::move(other.callable_)) {}
  KeyExtractor& operator=(KeyExtractor&& other) noexcept {
    KeyExtractor moved(std::move(other));
    std::swap(form_, moved.form_);
    std::swap(text_, moved.text_);
    std::swap(size_, moved.size_);
    std::swap(callable_, moved.callable_);
    return *this;
  }
  KeyExtractor(const KeyExtractor&) = delete;
  ~KeyExtractor() { mem_free(text_); }

  // Attribute for a str (or an instance of a str subclass), Callable for a
  // callable; never called with None.
  static Result<KeyExtractor> extract(PyObject* spec);

  // Whether every value is its own key: deriving a key then runs no code.
  bool is_identity() const noexcept { return form_ == Form::Identity; }

  // A new reference to the key of `value`.
  Result<Ref> derive_key(PyObject* value) const;

  // None, a new exact str of the attribute name, or the callable itself.
  Result<Ref> to_key_spec() const;

  // Visits the callable, the one reference a key rule holds.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(callable_.get());
    return 0;
  }

 private:
  Form form_ = Form::Identity;
  char* text_ = nullptr;  // the attribute name as owned UTF-8 text
  std::size_t size_ = 0;
  Ref callable_;
};

// The constructor's values, collected before the first insertion.
using PythonValues = Vec<Ref>;

// Every item of an iterable, in order.
Result<PythonValues> extract_values(PyObject* iterable);

}  // namespace quorvel
