// The module: its definition and execution step, and the registration
// tables of both types and of the module, made from the member rows.
#include <algorithm>
#include <array>
#include <cstddef>

#include "python/docs.hpp"
#include "python/entry.hpp"
#include "python/interface.hpp"
#include "python/objects.hpp"
#include "python/testing.hpp"

static_assert(Py_LIMITED_API == 0x030A0000, "one build for the stable ABI of CPython 3.10 and later");

namespace quorvel {
namespace {

using table::Member;

template <class F>
void* slot_function(F* function) noexcept { return reinterpret_cast<void*>(function); }

constexpr bool is_method(const Member& row) { return row.slot == table::kMethod; }
constexpr bool is_property(const Member& row) { return row.slot == table::kProperty; }
constexpr bool is_slot(const Member& row) { return row.slot > 0; }

PyMethodDef method_def(const Member& row) noexcept {
  return {row.name, reinterpret_cast<PyCFunction>(row.entry()), row.flags, row.doc};
}

// A property's docstring is the body alone; the interpreter writes a slot's own.
PyGetSetDef property_def(const Member& row) noexcept {
  return {row.name, reinterpret_cast<getter>(row.entry()), nullptr, doc_body(row.doc).data(), nullptr};
}

PyType_Slot slot_def(const Member& row) noexcept { return {row.slot, slot_function(row.entry())}; }

// A registration table: an entry made from each row that `Wanted` picks,
// then `tail` (by default only the zero entry that ends every table).
template <const auto& Rows, bool (*Wanted)(const Member&), class Def, std::size_t M = 1>
auto registration(Def (*make)(const Member&), const std::array<Def, M>& tail = {}) noexcept {
  constexpr auto count = static_cast<std::size_t>(std::count_if(std::begin(Rows), std::end(Rows), Wanted));
  std::array<Def, count + M> table{};
  std::size_t at = 0;
  for (const Member& row : Rows)
    if (Wanted(row)) table[at++] = make(row);
  for (const Def& def : tail) table[at++] = def;
  return table;
}

// The slots no caller reaches as a member: the type's own machinery.  Any
// other slot must come from a described row, and only once.
constexpr bool is_machinery(int slot) {
  return slot == Py_tp_doc || slot == Py_tp_base || slot == Py_tp_methods || slot == Py_tp_getset ||
         slot == Py_tp_alloc || slot == Py_tp_dealloc || slot == Py_tp_traverse || slot == Py_tp_clear ||
         slot == 0;
}

template <std::size_t N>
constexpr bool slots_are_distinct(const Member (&rows)[N]) {
  for (const Member& row : rows) {
    const auto same_slot = [&](const Member& other) { return other.slot == row.slot; };
    if (is_slot(row) && (is_machinery(row.slot) || std::count_if(rows, rows + N, same_slot) > 1)) return false;
  }
  return true;
}
static_assert(slots_are_distinct(interface::kTreeMembers) && slots_are_distinct(interface::kIteratorMembers),
              "two rows, or a row and the machinery, register the same slot");

template <int Slot>
constexpr PyType_Slot machinery(void* pointer) noexcept {
  static_assert(is_machinery(Slot), "a slot callers reach is a member: give it a row in interface.hpp");
  return {Slot, pointer};
}

std::array tree_methods = registration<interface::kTreeMembers, is_method>(method_def);
std::array tree_properties = registration<interface::kTreeMembers, is_property>(property_def);
std::array iterator_methods = registration<interface::kIteratorMembers, is_method>(method_def);
std::array module_functions = registration<interface::kModuleMembers, is_method>(method_def);

std::array tree_slots = registration<interface::kTreeMembers, is_slot>(
    slot_def, std::array{machinery<Py_tp_doc>(const_cast<char*>(docs::kTreeClass)),
                         machinery<Py_tp_base>(&PyBaseObject_Type),
                         machinery<Py_tp_methods>(tree_methods.data()),
                         machinery<Py_tp_getset>(tree_properties.data()),
                         machinery<Py_tp_alloc>(slot_function(instance_alloc)),
                         machinery<Py_tp_dealloc>(slot_function(instance_dealloc)),
                         machinery<Py_tp_traverse>(slot_function(tree_traverse)),
                         machinery<Py_tp_clear>(slot_function(tree_clear)), machinery<0>(nullptr)});

std::array iterator_slots = registration<interface::kIteratorMembers, is_slot>(
    slot_def, std::array{machinery<Py_tp_doc>(const_cast<char*>(docs::kIteratorClass)),
                         machinery<Py_tp_base>(&PyBaseObject_Type),
                         machinery<Py_tp_methods>(iterator_methods.data()),
                         machinery<Py_tp_alloc>(slot_function(instance_alloc)),
                         machinery<Py_tp_dealloc>(slot_function(instance_dealloc)),
                         machinery<Py_tp_traverse>(slot_function(iterator_traverse)),
                         machinery<Py_tp_clear>(slot_function(iterator_clear)), machinery<0>(nullptr)});

// Adds `value` under `name` and records the name in the working __all__.
Status add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  static PyObject* all_cell = nullptr;  // interned once per process
  Result<PyObject*> all_name = fill_once(all_cell, [] { return PyUnicode_InternFromString("__all__"); });
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

// The same under a name given as text, for a value whose making may have failed.
Status add_to_module(PyObject* module, const char* name, Result<Ref> value) {
  if (!value) return std::move(value).error();
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text) return Error::fetch();
  return add_to_module(module, text.get(), value.value().get());
}

Status add_type(PyObject* module, const char* name, Result<PyTypeObject*> type) {
  if (!type) return std::move(type).error();
  return add_to_module(module, name, Ref::borrow(reinterpret_cast<PyObject*>(type.value())));
}

Status add_function(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return Error::fetch();
  Ref function = Ref::steal(PyCMethod_New(&module_functions[0], module, module_name.get(), nullptr));
  if (!function) return Error::fetch();
  static PyObject* name_cell = nullptr;  // interned once per process
  Result<PyObject*> name_attribute = fill_once(name_cell, [] { return PyUnicode_InternFromString("__name__"); });
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
  if (Status s = add_to_module(module, "__version__", owned(PyUnicode_FromString(docs::kVersion))); !s) return s;
  if (Status s = add_to_module(module, "__all__", owned(Py_BuildValue("[ss]", "AVLTree", "__version__"))); !s)
    return s;
#ifdef QUORVEL_TESTING
  return add_test_hooks(module);
#else
  return {};
#endif
}

int execute_entry(PyObject* module) noexcept {
  return run_entry<int>([&] { return execute(module); }, -1, [](Status&) { return 0; });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, slot_function(execute_entry)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = interface::kModuleName,
    .m_doc = docs::kModule,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyType_Slot* tree_type_slots() noexcept { return tree_slots.data(); }
PyType_Slot* iterator_type_slots() noexcept { return iterator_slots.data(); }

}  // namespace quorvel

PyMODINIT_FUNC PyInit_quorvel(void) { return PyModuleDef_Init(&quorvel::module_definition); }
