#include "python/testing.hpp"

#ifdef QUORVEL_TESTING

#include <cstring>
#include <string>
#include <utility>

#include "support/memory.hpp"
#include "support/ref.hpp"
#include "python/entry.hpp"
#include "python/objects.hpp"

namespace quorvel {
namespace {

bool destructor_fault_armed = false;

// "fault", message: an internal fault in this call's body.
// "fault_in_next_destructor": the next AVLTree or iterator destruction faults.
// "fail_allocation", n: the n-th allocation from now fails (0 disarms).
// "allocations_left": what is left of that countdown.
// "panic_type": the PanicException type.
// "check_tree", tree: verifies the tree's invariants natively (AssertionError if broken).
// "check_tree_shape", tree: the same but for the order of keys.
// "tree_storage", tree: (bytes per node, slots with storage).
// "in_key_order", tree: whether positions are read straight from the storage.
// "lazy_snapshots_from", n: ordered snapshots of trees of n entries or more
//   read lazily; gives back the size it replaces.
// "deep_descents_from", n: descents in storage of n slots or more read two
//   levels ahead; gives back the size it replaces.
// "index_limit", n: the most slots a tree's storage may hand out (0 restores 2**32 - 1).
// "pretend_change", tree: counts a change of the tree that did not happen,
//   without handing its readers over: their next read must fail loudly.
// "waiting_calls", tree or iterator: how many calls wait for its guard.
// "waits_begun": how many calls have waited for a guard so far.
Result<PythonAvlTree*> tree_argument(PyObject* argument) {
  Result<PyTypeObject*> type = avl_tree_type();
  if (!type) return std::move(type).error();
  if (!PyObject_TypeCheck(argument, type.value())) return Error::make(PyExc_TypeError, "expected an AVLTree");
  return &tree_of(argument).tree;
}

Result<Ref> run_hook(PyObject* args) {
  const char* command = nullptr;
  PyObject* argument = Py_None;
  if (!PyArg_ParseTuple(args, "s|O:_test_hooks", &command, &argument)) return Error::fetch();
  if (std::strcmp(command, "fault") == 0) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(argument) ? PyUnicode_AsUTF8AndSize(argument, &size) : "";
    if (text == nullptr) return Error::fetch();
    throw Fault(std::string(text, static_cast<std::size_t>(size)));
  }
  if (std::strcmp(command, "fault_in_next_destructor") == 0) {
    destructor_fault_armed = true;
    return Ref::borrow(Py_None);
  }
  if (std::strcmp(command, "fail_allocation") == 0) {
    const long long n = PyLong_AsLongLong(argument);
    if (n == -1 && PyErr_Occurred()) return Error::fetch();
    allocation_countdown = n;
    return Ref::borrow(Py_None);
  }
  for (auto [name, size] : {std::pair{"lazy_snapshots_from", &lazy_snapshots_from},
                            std::pair{"deep_descents_from", &deep_descents_from}}) {
    if (std::strcmp(command, name) != 0) continue;
    const unsigned long long n = PyLong_AsUnsignedLongLong(argument);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
    return owned(PyLong_FromUnsignedLongLong(std::exchange(*size, n)));
  }
  if (std::strcmp(command, "allocations_left") == 0) return owned(PyLong_FromLongLong(allocation_countdown));
  const bool check_order = std::strcmp(command, "check_tree") == 0;
  if (check_order || std::strcmp(command, "check_tree_shape") == 0) {
    Result<PythonAvlTree*> tree = tree_argument(argument);
    if (!tree) return std::move(tree).error();
    if (Status s = tree.value()->check_invariants(check_order); !s) return std::move(s).error();
    return Ref::borrow(Py_None);
  }
  if (std::strcmp(command, "pretend_change") == 0) {
    Result<PythonAvlTree*> tree = tree_argument(argument);
    if (!tree) return std::move(tree).error();
    tree.value()->pretend_change();
    return Ref::borrow(Py_None);
  }
  if (std::strcmp(command, "tree_storage") == 0) {
    Result<PythonAvlTree*> tree = tree_argument(argument);
    if (!tree) return std::move(tree).error();
    return owned(Py_BuildValue("(nK)", static_cast<Py_ssize_t>(tree.value()->node_size()),
                               static_cast<unsigned long long>(tree.value()->slots())));
  }
  if (std::strcmp(command, "in_key_order") == 0) {
    Result<PythonAvlTree*> tree = tree_argument(argument);
    if (!tree) return std::move(tree).error();
    return Ref::borrow(tree.value()->in_key_order() ? Py_True : Py_False);
  }
  if (std::strcmp(command, "index_limit") == 0) {
    const unsigned long long n = PyLong_AsUnsignedLongLong(argument);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
    NodePool::index_limit_for_testing = n;
    return Ref::borrow(Py_None);
  }
  if (std::strcmp(command, "waits_begun") == 0) return owned(PyLong_FromUnsignedLongLong(waits_begun()));
  if (std::strcmp(command, "waiting_calls") == 0) {
    Result<PyTypeObject*> tree = avl_tree_type();
    if (!tree) return std::move(tree).error();
    Result<PyTypeObject*> iterator = avl_tree_iterator_type();
    if (!iterator) return std::move(iterator).error();
    const BorrowFlag* flag = PyObject_TypeCheck(argument, tree.value())       ? &tree_of(argument).borrow
                             : PyObject_TypeCheck(argument, iterator.value()) ? &iterator_of(argument).borrow
                                                                              : nullptr;
    if (flag == nullptr) return Error::make(PyExc_TypeError, "expected an AVLTree or an iterator");
    return owned(PyLong_FromSize_t(waiting_calls(*flag)));
  }
  if (std::strcmp(command, "panic_type") == 0) {
    Result<PyObject*> type = panic_exception_type();
    if (!type) return std::move(type).error();
    return Ref::borrow(type.value());
  }
  return Error::make(PyExc_ValueError, "unknown test hook");
}

PyObject* test_hooks(PyObject*, PyObject* args) noexcept { return run_object([&] { return run_hook(args); }); }

PyMethodDef test_hooks_def = {"_test_hooks", test_hooks, METH_VARARGS, "Hooks of the testing build."};

}  // namespace

Status add_test_hooks(PyObject* module) {
  Ref function = Ref::steal(PyCFunction_NewEx(&test_hooks_def, module, nullptr));
  if (!function) return Error::fetch();
  if (PyObject_SetAttrString(module, "_test_hooks", function.get()) < 0) return Error::fetch();
  return {};
}

void maybe_fault_in_destructor() {
  if (!destructor_fault_armed) return;
  destructor_fault_armed = false;
  throw Fault("injected fault in a destructor");
}

}  // namespace quorvel

#endif
