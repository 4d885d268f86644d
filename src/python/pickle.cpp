// Pickling: __reduce__ and the linear-time rebuild it names.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "python/interface.hpp"
#include "python_tree/builder.hpp"
#include "support/recursion.hpp"

namespace quorvel::bodies {
namespace {

// Up-front room for pairs is only a hint: a sequence may report any length.
constexpr std::size_t kMaxReservedPairs = std::size_t{1} << 20;

// Whether the collector can never find a reference cycle through the object:
// exact ints, floats and strs hold no references.
bool holds_no_references(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type;
}

constexpr std::size_t kTypeLookAhead = 16;

// [(value, key), ...] in ascending key order, each tuple taking over its pair.
// A pair of such atoms is taken off the collector's books at once, as the
// collector itself would do at its first look: otherwise each pair is
// traversed by every collection the allocations below set off, and enough of
// them outlive their first collection to set off full ones.
Result<Ref> pairs_list(EntrySnapshot& entries) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) return Error::fetch();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The values lie in the order they were made, not in key order.
    if (i + kTypeLookAhead < entries.size()) {
      __builtin_prefetch(entries[i + kTypeLookAhead].value.get());
      __builtin_prefetch(entries[i + kTypeLookAhead].key.get());
    }
    Ref pair = Ref::steal(PyTuple_New(2));
    if (!pair) return Error::fetch();
    Entry entry = std::move(entries[i]);
    const bool atoms = holds_no_references(entry.value.get()) && holds_no_references(entry.key.get());
    PyTuple_SetItem(pair.get(), 0, entry.value.release());
    PyTuple_SetItem(pair.get(), 1, entry.key.release());
    if (atoms) PyObject_GC_UnTrack(pair.get());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

Result<Ref> reconstructor() {
  // The import may run user code (import hooks, a replaced module).
  Result<RecursionLevel> level = RecursionLevel::enter(" while importing");
  if (!level) return std::move(level).error();
  Result<Ref> module_name = owned(PyUnicode_FromString("quorvel.quorvel"));
  if (!module_name) return module_name;
  Result<Ref> module = owned(PyImport_Import(module_name.value().get()));
  if (!module) return module;
  return owned(PyObject_GetAttrString(module.value().get(), "_avltree_from_sorted_entries"));
}

}  // namespace

Result<Ref> reduce(PyAVLTree& self, Args) {
  Result<EntrySnapshot> entries = in_order_entries(self.tree);
  if (!entries) return std::move(entries).error();
  Result<Ref> pairs = pairs_list(entries.value());
  if (!pairs) return pairs;
  Result<Ref> key_spec = self.extractor.to_key_spec();
  if (!key_spec) return key_spec;
  Result<Ref> function = reconstructor();
  if (!function) return function;
  Result<Ref> arguments = owned(PyTuple_Pack(2, pairs.value().get(), key_spec.value().get()));
  if (!arguments) return arguments;
  return owned(PyTuple_Pack(2, function.value().get(), arguments.value().get()));
}

namespace {

Error not_an_instance(PyObject* object, const char* target) {
  Result<Ref> name = type_qualname(Py_TYPE(object));
  if (!name) return std::move(name).error();
  Ref message =
      Ref::steal(PyUnicode_FromFormat("'%U' object is not an instance of '%s'", name.value().get(), target));
  if (!message) return Error::fetch();
  return Error::make(PyExc_TypeError, std::move(message));
}

// Whether a key may be replaced by its value unobservably: both exact int,
// float or str of the same type and value, a float's sign included (a NaN is
// never equal).  Their comparisons run no user code.
bool interchangeable(PyObject* value, PyObject* key) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  if (Py_TYPE(key) != type) return false;
  if (type == &PyFloat_Type) {
    const double v = PyFloat_AsDouble(value);
    return !std::isnan(v) && std::bit_cast<std::uint64_t>(v) == std::bit_cast<std::uint64_t>(PyFloat_AsDouble(key));
  }
  if (type == &PyLong_Type) {
    // Two ints within 64 bits are equal exactly when their native copies are.
    const NativeKey v = NativeKey::of(value);
    const NativeKey k = NativeKey::of(key);
    if (v.kind == kNativeInt && k.kind == kNativeInt) return v.bits == k.bits;
  } else if (type != &PyUnicode_Type) {
    return false;
  }
  const int equal = PyObject_RichCompareBool(value, key, Py_EQ);
  if (equal < 0) PyErr_Clear();  // not expected of these types; the pair is kept as given
  return equal == 1;
}

// One item of `pairs`: a tuple (or tuple subclass) of exactly two elements.
// In a tree without key rule every key is its value.  Unpickling does not
// memoise numbers, so each pair comes back as two equal objects; with
// `share`, one is kept where that cannot be seen.
Result<Entry> pair_entry(PyObject* item, bool share) {
  if (!PyTuple_Check(item)) return not_an_instance(item, "tuple");
  const Py_ssize_t size = PyTuple_Size(item);
  if (size != 2) {
    Ref message =
        Ref::steal(PyUnicode_FromFormat("expected tuple of length 2, but got tuple of length %zd", size));
    if (!message) return Error::fetch();
    return Error::make(PyExc_ValueError, std::move(message));
  }
  PyObject* value = PyTuple_GetItem(item, 0);
  PyObject* key = PyTuple_GetItem(item, 1);
  if (share && key != value && interchangeable(value, key)) key = value;
  return Entry(Ref::borrow(value), Ref::borrow(key));
}

Result<EntrySnapshot> extract_pairs(PyObject* pairs, bool share) {
  if (PyType_GetFlags(Py_TYPE(pairs)) & Py_TPFLAGS_UNICODE_SUBCLASS)
    return Error::make(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(pairs)) return not_an_instance(pairs, "Sequence");
  // Its length and its items may come from user code that rebuilds again.
  Result<RecursionLevel> level = RecursionLevel::enter(" while reading pairs");
  if (!level) return std::move(level).error();
  EntrySnapshot entries;
  const Py_ssize_t hint = PySequence_Size(pairs);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    // A reservation that fails is no error: the array grows as needed.
    static_cast<void>(entries.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservedPairs)));
  }
  if (Py_TYPE(pairs) == &PyList_Type) {
    // Reading an exact list and its tuples runs no other code, so it cannot
    // change while it is read.
    const Py_ssize_t size = PyList_Size(pairs);
    for (Py_ssize_t i = 0; i < size; ++i) {
      Result<Entry> entry = pair_entry(PyList_GetItem(pairs, i), share);
      if (!entry) return std::move(entry).error();
      if (Status s = entries.push(std::move(entry).value()); !s) return std::move(s).error();
    }
    return entries;
  }
  Result<Ref> iterator = owned(PyObject_GetIter(pairs));
  if (!iterator) return std::move(iterator).error();
  while (Ref item = Ref::steal(PyIter_Next(iterator.value().get()))) {
    Result<Entry> entry = pair_entry(item.get(), share);
    if (!entry) return std::move(entry).error();
    if (Status s = entries.push(std::move(entry).value()); !s) return std::move(s).error();
  }
  if (PyErr_Occurred()) return Error::fetch();
  return entries;
}

}  // namespace

Result<Ref> from_sorted_entries(PyObject&, Args bound) {
  // The caller keeps its arguments alive for the call; held all the same, as
  // every argument read after user code has run (iterating `pairs`).
  const Ref key_spec = Ref::borrow(bound[1]);
  const bool without_key_rule = key_spec.get() == Py_None;
  Result<EntrySnapshot> entries = extract_pairs(bound[0], without_key_rule);
  if (!entries) return argument_extraction_error("pairs", std::move(entries).error());
  KeyExtractor extractor;
  if (!without_key_rule) {
    Result<KeyExtractor> converted = KeyExtractor::extract(key_spec.get());
    if (!converted) {
      Error error = std::move(converted).error();
      entries.value().clear();
      return argument_extraction_error("key_spec", std::move(error));
    }
    extractor = std::move(converted).value();
  }
  Result<PyTypeObject*> type = avl_tree_type();
  if (!type) return std::move(type).error();
  Result<PythonAvlTree> tree = from_sorted(std::move(entries).value());
  if (!tree) return std::move(tree).error();
  return create_tree_object(type.value(), std::move(extractor), std::move(tree).value());
}

}  // namespace quorvel::bodies
