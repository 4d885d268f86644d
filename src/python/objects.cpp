// The two type objects, and the creation and destruction of their instances.
#include "python/objects.hpp"

#include <new>

#include "python/interface.hpp"
#include "python/reading.hpp"
#include "python/testing.hpp"

namespace quorvel {
namespace {

// Process-wide cells, filled once and never emptied.
PyObject* tree_type_cell = nullptr;
PyObject* iterator_type_cell = nullptr;

// object.__new__(type): an instance in its default state (instance_alloc),
// with a new reference to the type.
Result<Ref> allocate_instance(PyTypeObject* type) {
  auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
  Result<Ref> no_arguments = owned(PyTuple_New(0));
  if (!no_arguments) return no_arguments;
  return owned(object_new(type, no_arguments.value().get(), nullptr));
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
    // Every reader holds its tree, so a tree that has readers is not destroyed.
    if (tree.readers != nullptr) throw Fault("a tree destroyed while iterators read from it");
    tree.tree.~PythonAvlTree();
    tree.extractor.~KeyExtractor();
    tree.borrow.~BorrowFlag();
  } else {
    PyAVLTreeIterator& iterator = iterator_of(self);
    Ref tree = end_reading(iterator);
    iterator.lent.~Vec();
    iterator.snapshot.~Snapshot();
    iterator.borrow.~BorrowFlag();
    tree.reset();  // last: its values may be the ones lent
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

// The allocator of both types: however an instance is made (object.__new__
// included, which a replaced __new__ can reach), its payload starts in a
// valid state, an empty tree without key rule or an exhausted iterator, so
// that construction only moves in what it owns.  Nothing runs between the
// allocation and these constructors, so the collector never sees the zeroed
// bytes as a payload.
PyObject* instance_alloc(PyTypeObject* type, Py_ssize_t items) noexcept {
  PyObject* self = PyType_GenericAlloc(type, items);
  if (self == nullptr) return nullptr;
  if (reinterpret_cast<PyObject*>(type) == tree_type_cell) {
    PyAVLTree& tree = tree_of(self);
    new (&tree.extractor) KeyExtractor();
    new (&tree.tree) PythonAvlTree();
    new (&tree.borrow) BorrowFlag();
    tree.deferred_next = nullptr;
    tree.readers = nullptr;
  } else {
    PyAVLTreeIterator& iterator = iterator_of(self);
    new (&iterator.snapshot) Snapshot();
    new (&iterator.lent) Vec<PyObject*>();
    iterator.position = 0;
    iterator.reading = nullptr;
    iterator.state = ReadingState::Finished;
    new (&iterator.borrow) BorrowFlag();
    iterator.deferred_next = nullptr;
  }
  return self;
}

void instance_dealloc(PyObject* self) noexcept {
  // Out of the collector's sight before anything is released, and before a
  // deferred instance waits with its payload half-way to destruction.
  PyObject_GC_UnTrack(self);
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

// Instances hold a reference to their heap type, which the collector must see too.
//
// A tree reports every entry, also while iterators read from it: each such
// reader holds the tree (iterator_traverse reports it), so values still to be
// lent out are reachable whenever their reader is, and a reader that is only
// reachable through a cycle goes with the cycle.
int tree_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  const PyAVLTree& tree = tree_of(self);
  if (const int stop = tree.tree.traverse(visit, arg)) return stop;
  return tree.extractor.traverse(visit, arg);
}

// Breaking a cycle: the tree is emptied and its key rule dropped, and only
// then are the references released, under the exclusive guard, so that the
// finalisers they run see an empty tree that refuses to change.  A tree
// whose guard is held is in the middle of a member, which still relies on
// its nodes: it is left as it is (the member's caller keeps it reachable).
int tree_clear(PyObject* self) noexcept {
  PyAVLTree& tree = tree_of(self);
  const ExclusiveBorrow guard = ExclusiveBorrow::try_take(tree.borrow);
  if (!guard) return 0;
  run_destructor([&] { hand_over_snapshots(tree); });
  if (tree.readers != nullptr) return 0;  // a broken tree: keep what the snapshots need
  // Declared in this order so that the tree goes first, then the rule, then the guard.
  KeyExtractor rule(std::move(tree.extractor));
  PythonAvlTree entries(std::move(tree.tree));
  return 0;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  const PyAVLTreeIterator& iterator = iterator_of(self);
  // Lent values are references of the tree's, which reports them itself.
  if (iterator.reading != nullptr) Py_VISIT(iterator.reading->tree_reference.get());
  for (std::size_t i = iterator.position; i < iterator.snapshot.size(); ++i) Py_VISIT(iterator.snapshot[i].get());
  return 0;
}

// The values not yet handed out go; the iterator is then exhausted.
int iterator_clear(PyObject* self) noexcept {
  PyAVLTreeIterator& iterator = iterator_of(self);
  const ExclusiveBorrow guard = ExclusiveBorrow::try_take(iterator.borrow);
  if (!guard) return 0;
  // Declared in this order so that the values go first, then the tree.
  Ref tree = end_reading(iterator);
  Vec<PyObject*> lent(std::move(iterator.lent));
  Snapshot values(std::move(iterator.snapshot));
  iterator.position = 0;
  iterator.state = ReadingState::Finished;
  return 0;
}

namespace {

Result<PyTypeObject*> type_once(PyObject*& cell, PyType_Spec& spec) {
  Result<PyObject*> type = fill_once(cell, [&] { return PyType_FromSpec(&spec); });
  if (!type) return std::move(type).error();
  return reinterpret_cast<PyTypeObject*>(type.value());
}

}  // namespace

// The specs are static: interpreters before 3.11 keep their name pointers.
// Both types take part in cyclic collection: values, keys and key rules are
// arbitrary objects, and ordinary code makes cycles through them (a key rule
// that is a bound method of the object that holds the tree, a value that
// refers back to its tree).
Result<PyTypeObject*> avl_tree_type() {
  static PyType_Spec spec = {.name = interface::kTreeTypeName,
                             .basicsize = static_cast<int>(sizeof(PyAVLTree)),
                             .itemsize = 0,
                             .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                             .slots = tree_type_slots()};
  return type_once(tree_type_cell, spec);
}

Result<PyTypeObject*> avl_tree_iterator_type() {
  static PyType_Spec spec = {.name = interface::kIteratorTypeName,
                             .basicsize = static_cast<int>(sizeof(PyAVLTreeIterator)),
                             .itemsize = 0,
                             .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                             .slots = iterator_type_slots()};
  return type_once(iterator_type_cell, spec);
}

Result<Ref> create_tree_object(PyTypeObject* type, KeyExtractor&& extractor, PythonAvlTree&& tree) {
  // Declared in this order so that a failure releases the tree first.
  KeyExtractor owned_extractor(std::move(extractor));
  PythonAvlTree owned_tree(std::move(tree));
  Result<Ref> instance = allocate_instance(type);
  if (!instance) return instance;
  // The instance arrived as an empty tree without key rule: only the payload moves in.
  PyAVLTree& object = tree_of(instance.value().get());
  object.extractor = std::move(owned_extractor);
  object.tree.swap(owned_tree);
  return instance;
}

Result<Ref> create_iterator_object(Snapshot&& snapshot) {
  Snapshot owned(std::move(snapshot));
  Result<PyTypeObject*> type = avl_tree_iterator_type();
  if (!type) return std::move(type).error();
  Result<Ref> instance = allocate_instance(type.value());
  if (!instance) return instance;
  PyAVLTreeIterator& iterator = iterator_of(instance.value().get());
  iterator.snapshot = std::move(owned);
  iterator.state = ReadingState::HandedOver;
  return instance;
}

}  // namespace quorvel
