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
struct Reading;  // reading.hpp

struct PyAVLTree {
  PyObject_HEAD
  KeyExtractor extractor;
  PythonAvlTree tree;
  BorrowFlag borrow;
  PyObject* deferred_next;      // links the instance while its destruction waits
  PyAVLTreeIterator* readers;   // iterators that still read from the tree
};

// Where an iterator's values come from (reading.hpp says what each state holds).
enum class ReadingState : std::uint8_t { NotStarted, Lent, HandedOver, Finished };

struct PyAVLTreeIterator {
  PyObject_HEAD
  Snapshot snapshot;    // HandedOver: values to hand out from `position` on, with references
  Vec<PyObject*> lent;  // NotStarted, Lent: values read ahead, borrowed from the tree, from `position` on
  std::size_t position;
  Reading* reading;     // NotStarted, Lent: what is read from the tree
  ReadingState state;
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
