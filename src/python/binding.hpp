// Argument binding, argument notes and the shared argument conversions.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "python/signature.hpp"
#include "support/error.hpp"
#include "support/ref.hpp"

namespace quorvel {

// What binding needs of a member: the class it belongs to, for messages
// ("AVLTree.insert()"; empty for the module function), and its parameters.
struct FunctionDescription {
  std::string_view class_name;
  Signature signature;
};

// A type name as its PyType_Spec gives it, "quorvel.AVLTree", names class
// "AVLTree"; the module's own name, "quorvel", names no class.
constexpr std::string_view class_name_of(const char* type_name) {
  const std::string_view name = text::view(type_name);
  const std::size_t dot = text::find(name, '.');
  return dot == text::npos ? std::string_view{} : name.substr(dot + 1);
}

// A member's description, derived from its docstring at compile time.
template <const char* TypeName, const char* Doc>
inline constexpr FunctionDescription description_of = {class_name_of(TypeName), signature_of<Doc>};

// Bound arguments: one borrowed reference per parameter, positional ones
// first; null where the argument was not given.
struct BoundArguments {
  PyObject* slots[kMaxParameters] = {};
  PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
};
// For members without parameters: one shared empty set, so that no entry
// clears a fresh one on every call (clang does, even where it goes unread).
inline constexpr BoundArguments kNoArguments{};

// For the vector form: keyword values follow the positional ones in `args`,
// which the caller keeps alive for the whole call.
Status extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, BoundArguments& output);
// For the constructor: a tuple and a dict (or null), the dict in its own order.
Status extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                    PyObject* kwargs, BoundArguments& output);

// The error to raise when converting a bound argument failed: the same
// exception, with the note "while processing '<name>'" where notes exist.
Error argument_extraction_error(std::string_view parameter_name, Error error);

// A flag argument: exactly bool, or a numpy boolean scalar (recognised by its
// type's module and name, without importing numpy).
Result<bool> convert_flag(PyObject* argument);
// A count: an unsigned 64-bit integer through int or __index__.
Result<std::uint64_t> convert_count(PyObject* argument);
// An index: an integer through int or __index__, held to the range of
// Py_ssize_t (beyond it, every index is out of range anyway).
Result<Py_ssize_t> convert_index(PyObject* argument);

// The qualified name of a type, as a str: the name the type really has,
// read without running any code of the type or its metaclass.
Result<Ref> type_qualname(PyTypeObject* type);
// The same for its plain name.
Result<Ref> type_name(PyTypeObject* type);

}  // namespace quorvel
