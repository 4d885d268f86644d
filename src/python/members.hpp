// The entry points of AVLTree, _AVLTreeIterator and the module function, as
// the interpreter calls them.  The type and module tables refer to these.
#pragma once

#include <Python.h>

namespace quorvel {

#define QUORVEL_VECTOR_ENTRY(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
#define QUORVEL_PLAIN_ENTRY(name) PyObject* name(PyObject* self, PyObject*) noexcept

// Construction, insertion and size.
PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
QUORVEL_VECTOR_ENTRY(tree_insert);
QUORVEL_PLAIN_ENTRY(tree_is_empty);
Py_ssize_t tree_length(PyObject* self) noexcept;
int tree_bool(PyObject* self) noexcept;

// Lookup, removal and the remaining tree methods.
QUORVEL_VECTOR_ENTRY(tree_remove);
QUORVEL_VECTOR_ENTRY(tree_remove_key);
QUORVEL_VECTOR_ENTRY(tree_search);
QUORVEL_VECTOR_ENTRY(tree_get);
QUORVEL_VECTOR_ENTRY(tree_search_key);
QUORVEL_VECTOR_ENTRY(tree_contains);
QUORVEL_VECTOR_ENTRY(tree_has_node);
QUORVEL_VECTOR_ENTRY(tree_contains_key);
QUORVEL_PLAIN_ENTRY(tree_clear);
QUORVEL_PLAIN_ENTRY(tree_first);
QUORVEL_PLAIN_ENTRY(tree_last);
int tree_contains_slot(PyObject* self, PyObject* value) noexcept;
PyObject* tree_height(PyObject* self, void* closure) noexcept;
PyObject* tree_repr(PyObject* self) noexcept;

// Snapshot iterators.
PyObject* tree_iter(PyObject* self) noexcept;
QUORVEL_PLAIN_ENTRY(tree_in_order);
QUORVEL_PLAIN_ENTRY(tree_descending);
QUORVEL_PLAIN_ENTRY(tree_pre_order);
QUORVEL_PLAIN_ENTRY(tree_post_order);
QUORVEL_PLAIN_ENTRY(tree_level_order);
QUORVEL_VECTOR_ENTRY(tree_range);
QUORVEL_VECTOR_ENTRY(tree_iter_from);
QUORVEL_VECTOR_ENTRY(tree_iter_to);
PyObject* iterator_iter(PyObject* self) noexcept;
PyObject* iterator_next(PyObject* self) noexcept;

// Pickling.
QUORVEL_PLAIN_ENTRY(tree_reduce);
PyObject* module_from_sorted_entries(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept;

}  // namespace quorvel
