// The module: its entry point and execution step, the two type objects, and
// the creation and destruction of their instances.
#include <array>
#include <cstddef>
#include <new>

#include "python/docs.hpp"
#include "python/entry.hpp"
#include "python/interface.hpp"
#include "python/members.hpp"
#include "python/names.hpp"
#include "python/objects.hpp"
#include "python/testing.hpp"

static_assert(Py_LIMITED_API == 0x030A0000, "one build for the stable ABI of CPython 3.10 and later");

namespace quorvel {
namespace {

template <class F>
void* slot_function(F* function) noexcept {
  return reinterpret_cast<void*>(function);
}

template <class F>
PyCFunction method_function(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef method_def(const interface::Method& method) noexcept {
  PyCFunction function =
      method.vector != nullptr ? method_function(method.vector) : method_function(method.plain);
  return {method.name, function, method.flags(), method.doc};
}

// A registration table from a member table, ending in the zero entry.
template <std::size_t N>
std::array<PyMethodDef, N + 1> method_defs(const interface::Method (&methods)[N]) noexcept {
  std::array<PyMethodDef, N + 1> table{};
  for (std::size_t i = 0; i < N; ++i) table[i] = method_def(methods[i]);
  return table;
}

template <std::size_t N>
std::array<PyGetSetDef, N + 1> property_defs(const interface::Property (&properties)[N]) noexcept {
  std::array<PyGetSetDef, N + 1> table{};
  for (std::size_t i = 0; i < N; ++i)
    table[i] = {properties[i].name, properties[i].getter, nullptr, properties[i].doc, nullptr};
  return table;
}

std::array tree_methods = method_defs(interface::kTreeMethods);
std::array tree_properties = property_defs(interface::kTreeProperties);

void tree_dealloc(PyObject* self) noexcept;
void iterator_dealloc(PyObject* self) noexcept;
int tree_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int tree_clear(PyObject* self) noexcept;
int iterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int iterator_clear(PyObject* self) noexcept;

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kTreeClass)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, slot_function(tree_new)},
    {Py_mp_length, slot_function(tree_length)},
    {Py_nb_bool, slot_function(tree_bool)},
    {Py_sq_contains, slot_function(tree_contains_slot)},
    {Py_tp_iter, slot_function(tree_iter)},
    {Py_tp_repr, slot_function(tree_repr)},
    {Py_tp_methods, tree_methods.data()},
    {Py_tp_getset, tree_properties.data()},
    {Py_tp_dealloc, slot_function(tree_dealloc)},
    {Py_tp_traverse, slot_function(tree_traverse)},
    {Py_tp_clear, slot_function(tree_clear)},
    {0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kIteratorClass)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_iter, slot_function(iterator_iter)},
    {Py_tp_iternext, slot_function(iterator_next)},
    {Py_tp_dealloc, slot_function(iterator_dealloc)},
    {Py_tp_traverse, slot_function(iterator_traverse)},
    {Py_tp_clear, slot_function(iterator_clear)},
    {0, nullptr},
};

// Static texts: interpreters before 3.11 keep the name pointer.  Both types
// take part in cyclic collection: values, keys and key rules are arbitrary
// objects, and ordinary code makes cycles through them (a key rule that is a
// bound method of the object that holds the tree, a value that refers back
// to its tree).
PyType_Spec tree_spec = {interface::kTreeTypeName, static_cast<int>(sizeof(PyAVLTree)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, tree_slots};
PyType_Spec iterator_spec = {interface::kIteratorTypeName, static_cast<int>(sizeof(PyAVLTreeIterator)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
                             iterator_slots};

// Process-wide cells, filled once and never emptied.
PyObject* tree_type_cell = nullptr;
PyObject* iterator_type_cell = nullptr;

Result<PyTypeObject*> type_from_cell(PyObject*& cell, PyType_Spec& spec) {
  if (cell == nullptr) {
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) return Error::fetch();
    // Making a type can run interpreter code; if another thread filled the
    // cell meanwhile, the filled cell wins.
    if (cell == nullptr)
      cell = made;
    else
      Py_DECREF(made);
  }
  return reinterpret_cast<PyTypeObject*>(cell);
}

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

void destroy_tree(PyObject* self) {
#ifdef QUORVEL_TESTING
  maybe_fault_in_destructor();
#endif
  PyAVLTree& tree = tree_of(self);
  tree.tree.~PythonAvlTree();
  tree.extractor.~KeyExtractor();
  tree.borrow.~BorrowFlag();
  free_instance(self);
}

void destroy_iterator(PyObject* self) {
#ifdef QUORVEL_TESTING
  maybe_fault_in_destructor();
#endif
  PyAVLTreeIterator& iterator = iterator_of(self);
  iterator.snapshot.~Snapshot();
  iterator.borrow.~BorrowFlag();
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
  if (reinterpret_cast<PyObject*>(Py_TYPE(self)) == tree_type_cell) return tree_of(self).deferred_next;
  return iterator_of(self).deferred_next;
}

void destroy(PyObject* self) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(self)) == tree_type_cell)
    destroy_tree(self);
  else
    destroy_iterator(self);
}

void dealloc(PyObject* self) noexcept {
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

void tree_dealloc(PyObject* self) noexcept { dealloc(self); }
void iterator_dealloc(PyObject* self) noexcept { dealloc(self); }

// Instances hold a reference to their heap type, which the collector must see too.
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
  if (tree.borrow.state.load(std::memory_order_relaxed) != 0) return 0;
  Result<ExclusiveBorrow> guard = ExclusiveBorrow::take(tree.borrow);
  if (!guard) return 0;
  // Declared in this order so that the tree goes first, then the rule, then the guard.
  KeyExtractor rule(std::move(tree.extractor));
  PythonAvlTree entries(std::move(tree.tree));
  return 0;
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  const PyAVLTreeIterator& iterator = iterator_of(self);
  for (std::size_t i = iterator.position; i < iterator.snapshot.size(); ++i) Py_VISIT(iterator.snapshot[i].get());
  return 0;
}

// The values not yet handed out go; the iterator is then exhausted.
int iterator_clear(PyObject* self) noexcept {
  PyAVLTreeIterator& iterator = iterator_of(self);
  if (iterator.borrow.state.load(std::memory_order_relaxed) != 0) return 0;
  Result<ExclusiveBorrow> guard = ExclusiveBorrow::take(iterator.borrow);
  if (!guard) return 0;
  Snapshot values(std::move(iterator.snapshot));
  iterator.position = 0;
  return 0;
}

PyMethodDef from_sorted_entries_def = method_def(interface::kModuleFunction);

// Adds `value` under `name` and records the name in the working __all__.
Status add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  Result<PyObject*> all_name = interned_name(Name::All);
  if (!all_name) return std::move(all_name).error();
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name.value()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) return Error::fetch();
    if (PyObject_SetAttr(module, all_name.value(), all.get()) < 0) return Error::fetch();
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    throw Fault("could not append to the module's __all__");
  }
  if (PyObject_SetAttr(module, name, value) < 0) return Error::fetch();
  return {};
}

Status add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text) return Error::fetch();
  return add_to_module(module, text.get(), value);
}

Status add_type(PyObject* module, const char* name, Result<PyTypeObject*> type) {
  if (!type) return std::move(type).error();
  return add_to_module(module, name, reinterpret_cast<PyObject*>(type.value()));
}

Status add_function(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return Error::fetch();
  Ref function = Ref::steal(PyCMethod_New(&from_sorted_entries_def, module, module_name.get(), nullptr));
  if (!function) return Error::fetch();
  Result<PyObject*> name_attribute = interned_name(Name::DunderName);
  if (!name_attribute) return std::move(name_attribute).error();
  Ref name = Ref::steal(PyObject_GetAttr(function.get(), name_attribute.value()));
  if (!name) return Error::fetch();
  if (!PyUnicode_Check(name.get())) return Error::make(PyExc_TypeError, "function name must be a str");
  return add_to_module(module, name.get(), function.get());
}

// The types are process-wide and shared by every module object, so they
// must not meet the objects of another interpreter: only the main
// interpreter may import the module.
Status refuse_subinterpreters() {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return {};
  if (PyErr_Occurred()) return Error::fetch();
  return Error::make(PyExc_ImportError,
                     "quorvel cannot be imported in a sub-interpreter: its types are shared by the whole "
                     "process; import it in the main interpreter");
}

Status execute(PyObject* module) {
  if (Status s = refuse_subinterpreters(); !s) return s;
  if (Status s = add_type(module, "AVLTree", avl_tree_type()); !s) return s;
  if (Status s = add_type(module, "_AVLTreeIterator", avl_tree_iterator_type()); !s) return s;
  if (Status s = add_function(module); !s) return s;
  Ref version = Ref::steal(PyUnicode_FromString(docs::kVersion));
  if (!version) return Error::fetch();
  if (Status s = add_to_module(module, "__version__", version.get()); !s) return s;
  Ref all = Ref::steal(Py_BuildValue("[ss]", "AVLTree", "__version__"));
  if (!all) return Error::fetch();
  if (Status s = add_to_module(module, "__all__", all.get()); !s) return s;
#ifdef QUORVEL_TESTING
  return add_test_hooks(module);
#else
  return {};
#endif
}

int execute_entry(PyObject* module) noexcept {
  return run_status([&] { return execute(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot_function(execute_entry)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quorvel", docs::kModule, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

Result<PyTypeObject*> avl_tree_type() { return type_from_cell(tree_type_cell, tree_spec); }

Result<PyTypeObject*> avl_tree_iterator_type() { return type_from_cell(iterator_type_cell, iterator_spec); }

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

PyMODINIT_FUNC PyInit_quorvel(void) { return PyModuleDef_Init(&quorvel::module_definition); }
