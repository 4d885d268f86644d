// The instance structures behind AVLTree and _AVLTreeIterator, their type
// objects, and the creation and destruction of instances (objects.cpp).
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/entry.hpp"
#include "python/key_extractor.hpp"
#include "python_tree/traversal.hpp"
#include "python_tree/tree.hpp"

namespace quorvel {

struct PyAVLTreeIterator;

struct PyAVLTree {
  PyObject_HEAD
  KeyExtractor extractor;
  PythonAvlTree tree;
  BorrowFlag borrow;
  PyObject* deferred_next;      // links the instance while its destruction waits
  PyAVLTreeIterator* readers;   // iterators whose snapshots still read from the tree
};

// What an iterator's snapshot still reads from its tree.  It lasts only while
// the tree does not change: before any member changes the tree, and before
// the tree is cleared or destroyed, every reader takes references to the rest
// of its values (hand_over_snapshots), into room its snapshot has had since
// it was made.
struct PendingReading {
  Ref tree_reference;  // the tree read from, held while it is read
  PyAVLTreeIterator* next;
  PyAVLTreeIterator** link;  // the pointer to this iterator in the tree's list
  OrderedReading reading;

  PyAVLTree& tree() const noexcept { return *reinterpret_cast<PyAVLTree*>(tree_reference.get()); }
};

struct PyAVLTreeIterator {
  PyObject_HEAD
  Snapshot snapshot;  // values still to hand out from `position` on
  // While the tree has not changed since the rest of its values were read
  // (`pending` is then still set): those values, borrowed from the tree, to
  // hand out from `position` on.  `snapshot` is then empty.
  Vec<PyObject*> lent;
  std::size_t position;
  PendingReading* pending;  // null once the snapshot holds all its values
  BorrowFlag borrow;
  PyObject* deferred_next;
};

inline PyAVLTree& tree_of(PyObject* self) noexcept { return *reinterpret_cast<PyAVLTree*>(self); }
inline PyAVLTreeIterator& iterator_of(PyObject* self) noexcept {
  return *reinterpret_cast<PyAVLTreeIterator*>(self);
}
inline PyObject* object_of(PyAVLTreeIterator& self) noexcept { return reinterpret_cast<PyObject*>(&self); }

// The process-wide type objects (borrowed), made on first lookup.
Result<PyTypeObject*> avl_tree_type();
Result<PyTypeObject*> avl_tree_iterator_type();

// A new instance owning the payload; on failure the payload is released
// (the tree before the extractor).
Result<Ref> create_tree_object(PyTypeObject* type, KeyExtractor&& extractor, PythonAvlTree&& tree);
Result<Ref> create_iterator_object(Snapshot&& snapshot);

// Every iterator still reading from the tree takes the rest of its values
// and stops reading (iterator.cpp).  No interpreter code runs.
void hand_over_snapshots(PyAVLTree& tree);
// The iterator stops reading from its tree, keeping what it took; the
// reference to the tree it held is handed to the caller, to drop when
// nothing depends on the tree any longer.
Ref end_reading(PyAVLTreeIterator& iterator) noexcept;

// The allocator and destructor of both types, and their part in cyclic collection.
PyObject* instance_alloc(PyTypeObject* type, Py_ssize_t items) noexcept;
void instance_dealloc(PyObject* self) noexcept;
int tree_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int tree_clear(PyObject* self) noexcept;
int iterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int iterator_clear(PyObject* self) noexcept;

// The slot arrays the types are made from, built from the member rows
// (module.cpp).
PyType_Slot* tree_type_slots() noexcept;
PyType_Slot* iterator_type_slots() noexcept;

}  // namespace quorvel
