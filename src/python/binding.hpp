// Argument binding, argument notes and the shared argument conversions.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/error.hpp"
#include "support/ref.hpp"

namespace quorvel {

struct KeywordOnlyParameterDescription {
  const char* name;
  bool required;
};

// The static description of a member's parameters, from which binding and
// its TypeError messages are produced.
struct FunctionDescription {
  const char* class_name;  // "AVLTree", or "" for the module function
  const char* function_name;
  std::span<const char* const> positional_names;
  std::size_t positional_only_count;
  std::size_t required_positional_count;
  std::span<const KeywordOnlyParameterDescription> keyword_only;

  std::size_t parameter_count() const noexcept { return positional_names.size() + keyword_only.size(); }
};

// The most parameters any member of this module takes.
inline constexpr std::size_t kMaxParameters = 4;

// Bound arguments: one borrowed reference per parameter, positional ones
// first; null where the argument was not given.
struct BoundArguments {
  PyObject* slots[kMaxParameters] = {};
  PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
};

// Bound arguments that own one strong reference each.  The keyword values
// of the tuple-and-dict form live in a dict that the caller may not own
// alone: code run later in the call (iterating `values`) can empty it.
struct HeldArguments {
  Ref slots[kMaxParameters];
  PyObject* operator[](std::size_t i) const noexcept { return slots[i].get(); }
};

// For the vector form: keyword values follow the positional ones in `args`,
// which the caller keeps alive for the whole call.
Status extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, BoundArguments& output);
// For the constructor: a tuple and a dict (or null), the dict in its own order.
Status extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                    PyObject* kwargs, HeldArguments& output);

// The error to raise when converting a bound argument failed: the same
// exception, with the note "while processing '<name>'" where notes exist.
Error argument_extraction_error(const char* parameter_name, Error error);

// A flag argument: exactly bool, or a numpy boolean scalar (recognised by its
// type's module and name, without importing numpy).
Result<bool> convert_flag(PyObject* argument);
// A count: an unsigned 64-bit integer through int or __index__.
Result<std::uint64_t> convert_count(PyObject* argument);

// The members that take one required argument, `value` or `key`.
inline constexpr const char* kValueParameter[] = {"value"};
inline constexpr const char* kKeyParameter[] = {"key"};
constexpr FunctionDescription single_parameter(const char* function_name,
                                               std::span<const char* const> names) {
  return FunctionDescription{"AVLTree", function_name, names, 0, 1, {}};
}

// Binds a member's single required parameter (a borrowed reference).
Result<PyObject*> bind_single(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// The qualified name of a type, as a str: the name the type really has,
// read without running any code of the type or its metaclass.
Result<Ref> type_qualname(PyTypeObject* type);

// What special-method lookup finds for `name` on the type of `instance`, as
// the interpreter looks up `__bool__` for bool(x): the first definition in
// the dictionaries of the type's method resolution order, bound to
// `instance` by its own descriptor get.  An empty Ref when no class of the
// order defines it (a definition on the metaclass does not count).
Result<Ref> lookup_special(PyObject* instance, PyObject* name);

}  // namespace quorvel
