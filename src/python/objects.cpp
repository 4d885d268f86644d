// The two type objects, and the creation and destruction of their instances.
#include "python/objects.hpp"

#include <new>

#include "python/interface.hpp"
#include "python/testing.hpp"

namespace quorvel {
namespace {

// Process-wide cells, filled once and never emptied.
PyObject* tree_type_cell = nullptr;
PyObject* iterator_type_cell = nullptr;

// object.__new__(type): zero-filled, with a new reference to the type.
Result<Ref> allocate_instance(PyTypeObject* type) {
  auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  Ref no_arguments = Ref::steal(PyTuple_New(0));
  if (!no_arguments) return Error::fetch();
  Ref instance = Ref::steal(object_new(type, no_arguments.get(), nullptr));
  if (!instance) return Error::fetch();
  return instance;
}

// The last step of destruction, for both types.
void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_function(self);
  Py_DECREF(type);
}

bool is_tree(PyObject* self) noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(self)) == tree_type_cell; }

void destroy(PyObject* self) {
#ifdef QUORVEL_TESTING
  maybe_fault_in_destructor();
#endif
  if (is_tree(self)) {
    PyAVLTree& tree = tree_of(self);
    tree.tree.~PythonAvlTree();
    tree.extractor.~KeyExtractor();
    tree.borrow.~BorrowFlag();
  } else {
    PyAVLTreeIterator& iterator = iterator_of(self);
    iterator.snapshot.~Snapshot();
    iterator.borrow.~BorrowFlag();
  }
  free_instance(self);
}

// Destroying an instance releases its values, which may be instances too: a
// tree holding a tree holding a tree would recurse once per level on the C
// stack.  As the interpreter does for its own containers, past a fixed depth
// an instance's destruction is deferred, and the outermost destruction runs
// what was deferred once it has finished.
constexpr int kMaxDestructionDepth = 50;
thread_local int destruction_depth = 0;
thread_local PyObject* deferred_destructions = nullptr;

PyObject*& deferred_link(PyObject* self) noexcept {
  return is_tree(self) ? tree_of(self).deferred_next : iterator_of(self).deferred_next;
}

}  // namespace

void instance_dealloc(PyObject* self) noexcept {
  if (destruction_depth >= kMaxDestructionDepth) {
    deferred_link(self) = deferred_destructions;
    deferred_destructions = self;
    return;
  }
  ++destruction_depth;
  run_destructor([&] { destroy(self); });
  --destruction_depth;
  if (destruction_depth > 0) return;
  while (PyObject* next = deferred_destructions) {
    deferred_destructions = deferred_link(next);
    ++destruction_depth;
    run_destructor([&] { destroy(next); });
    --destruction_depth;
  }
}

// The specs are static: interpreters before 3.11 keep their name pointers.
Result<PyTypeObject*> avl_tree_type() {
  Result<PyObject*> type = fill_once(tree_type_cell, [] {
    static PyType_Spec spec = {.name = interface::kTreeTypeName,
                               .basicsize = static_cast<int>(sizeof(PyAVLTree)),
                               .itemsize = 0,
                               .flags = Py_TPFLAGS_DEFAULT,
                               .slots = tree_type_slots()};
    return PyType_FromSpec(&spec);
  });
  if (!type) return std::move(type).error();
  return reinterpret_cast<PyTypeObject*>(type.value());
}

Result<PyTypeObject*> avl_tree_iterator_type() {
  Result<PyObject*> type = fill_once(iterator_type_cell, [] {
    static PyType_Spec spec = {.name = interface::kIteratorTypeName,
                               .basicsize = static_cast<int>(sizeof(PyAVLTreeIterator)),
                               .itemsize = 0,
                               .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               .slots = iterator_type_slots()};
    return PyType_FromSpec(&spec);
  });
  if (!type) return std::move(type).error();
  return reinterpret_cast<PyTypeObject*>(type.value());
}

Result<Ref> create_tree_object(PyTypeObject* type, KeyExtractor&& extractor, PythonAvlTree&& tree) {
  // Declared in this order so that a failure releases the tree first.
  KeyExtractor owned_extractor(std::move(extractor));
  PythonAvlTree owned_tree(std::move(tree));
  Result<Ref> instance = allocate_instance(type);
  if (!instance) return instance;
  PyAVLTree& object = tree_of(instance.value().get());
  new (&object.extractor) KeyExtractor(std::move(owned_extractor));
  new (&object.tree) PythonAvlTree(std::move(owned_tree));
  new (&object.borrow) BorrowFlag();
  object.deferred_next = nullptr;
  return instance;
}

Result<Ref> create_iterator_object(Snapshot&& snapshot) {
  Snapshot owned(std::move(snapshot));
  Result<PyTypeObject*> type = avl_tree_iterator_type();
  if (!type) return std::move(type).error();
  Result<Ref> instance = allocate_instance(type.value());
  if (!instance) return instance;
  PyAVLTreeIterator& object = iterator_of(instance.value().get());
  new (&object.snapshot) Snapshot(std::move(owned));
  object.position = 0;
  new (&object.borrow) BorrowFlag();
  object.deferred_next = nullptr;
  return instance;
}

}  // namespace quorvel
