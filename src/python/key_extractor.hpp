// The tree's fixed key rule, and the intake of the constructor's values.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "support/error.hpp"
#include "support/memory.hpp"
#include "support/ref.hpp"

namespace quorvel {

class KeyExtractor {
 public:
  enum class Form : std::uint8_t { Identity, Attribute, Callable };

  KeyExtractor() noexcept = default;  // Identity; moves are the members' own

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
  Result<Ref> attribute_name() const;

  Form form_ = Form::Identity;
  Vec<char> name_;  // the attribute name as UTF-8 text
  Ref callable_;
};

// The constructor's values, collected before the first insertion.
using PythonValues = Vec<Ref>;

// Every item of an iterable, in order.
Result<PythonValues> extract_values(PyObject* iterable);

}  // namespace quorvel
