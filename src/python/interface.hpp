// The registered members of AVLTree and of the module, each described once:
// name, entry point, registered docstring, and the annotations of its
// parameters and result.  The module's method and property tables and the
// exported interface records (records.cpp) are both made from these, so a
// member cannot be registered one way and described another.
//
// Annotations are Python expressions, one per parameter of the docstring's
// text signature after the receiver, in order; records.cpp turns them into
// the records' expression trees at compile time and rejects a table whose
// annotations do not match its signatures.
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/binding.hpp"
#include "python/docs.hpp"
#include "python/members.hpp"

namespace quorvel::interface {

using VectorEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
using PlainEntry = PyObject* (*)(PyObject*, PyObject*) noexcept;
using GetterEntry = PyObject* (*)(PyObject*, void*) noexcept;

// At most one annotation per parameter of the widest member.
using quorvel::kMaxParameters;

struct Annotations {
  const char* items[kMaxParameters] = {};
};

// A method entry; its calling convention follows from the entry's type.
struct Method {
  const char* name;
  VectorEntry vector = nullptr;  // METH_FASTCALL | METH_KEYWORDS
  PlainEntry plain = nullptr;    // METH_NOARGS
  const char* doc;
  Annotations parameters;
  const char* returns;

  constexpr Method(const char* name, VectorEntry entry, const char* doc, Annotations parameters,
                   const char* returns)
      : name(name), vector(entry), doc(doc), parameters(parameters), returns(returns) {}
  constexpr Method(const char* name, PlainEntry entry, const char* doc, const char* returns)
      : name(name), plain(entry), doc(doc), parameters{}, returns(returns) {}

  constexpr int flags() const { return vector != nullptr ? METH_FASTCALL | METH_KEYWORDS : METH_NOARGS; }
};

struct Property {
  const char* name;
  GetterEntry getter;
  const char* doc;
  const char* returns;
};

// Type names as their PyType_Spec gives them: module name, a dot, class name.
inline constexpr char kTreeTypeName[] = "quorvel.AVLTree";
inline constexpr char kIteratorTypeName[] = "quorvel._AVLTreeIterator";

// AVLTree's methods, in registration order.
inline constexpr Method kTreeMethods[] = {
    {"insert", tree_insert, docs::kInsert, {"typing.Any"}, "builtins.bool"},
    {"remove", tree_remove, docs::kRemove, {"typing.Any"}, "builtins.bool"},
    {"remove_key", tree_remove_key, docs::kRemoveKey, {"typing.Any"}, "builtins.bool"},
    {"search", tree_search, docs::kSearch, {"typing.Any"}, "typing.Any | None"},
    {"get", tree_get, docs::kGet, {"typing.Any"}, "typing.Any | None"},
    {"search_key", tree_search_key, docs::kSearchKey, {"typing.Any"}, "typing.Any | None"},
    {"contains", tree_contains, docs::kContains, {"typing.Any"}, "builtins.bool"},
    {"has_node", tree_has_node, docs::kHasNode, {"typing.Any"}, "builtins.bool"},
    {"contains_key", tree_contains_key, docs::kContainsKey, {"typing.Any"}, "builtins.bool"},
    {"clear", tree_clear, docs::kClear, "None"},
    {"is_empty", tree_is_empty, docs::kIsEmpty, "builtins.bool"},
    {"first", tree_first, docs::kFirst, "typing.Any | None"},
    {"min", tree_first, docs::kMin, "typing.Any | None"},
    {"last", tree_last, docs::kLast, "typing.Any | None"},
    {"max", tree_last, docs::kMax, "typing.Any | None"},
    {"range",
     tree_range,
     docs::kRange,
     {"typing.Any | None", "typing.Any | None", "builtins.bool", "builtins.bool"},
     "_AVLTreeIterator"},
    {"iter_from", tree_iter_from, docs::kIterFrom, {"typing.Any", "builtins.int"}, "_AVLTreeIterator"},
    {"iter_to", tree_iter_to, docs::kIterTo, {"typing.Any", "builtins.int"}, "_AVLTreeIterator"},
    {"in_order", tree_in_order, docs::kInOrder, "_AVLTreeIterator"},
    {"descending", tree_descending, docs::kDescending, "_AVLTreeIterator"},
    {"pre_order", tree_pre_order, docs::kPreOrder, "_AVLTreeIterator"},
    {"post_order", tree_post_order, docs::kPostOrder, "_AVLTreeIterator"},
    {"level_order", tree_level_order, docs::kLevelOrder, "_AVLTreeIterator"},
    {"__reduce__", tree_reduce, docs::kReduce, "builtins.tuple"},
};

inline constexpr Property kTreeProperties[] = {
    {"height", tree_height, docs::kHeight, "builtins.int"},
};

inline constexpr Method kModuleFunction = {
    "_avltree_from_sorted_entries",
    module_from_sorted_entries,
    docs::kFromSortedEntries,
    {"collections.abc.Sequence[builtins.tuple[typing.Any, typing.Any]]",
     "str | typing.Callable[[typing.Any], typing.Any] | None"},
    "AVLTree",
};

}  // namespace quorvel::interface
