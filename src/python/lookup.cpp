// Lookup, membership, removal, the ends of the order, height and repr.
#include "python/binding.hpp"
#include "python/members.hpp"
#include "python/objects.hpp"

namespace quorvel {
namespace {

constexpr FunctionDescription kRemoveDescription = single_parameter("remove", kValueParameter);
constexpr FunctionDescription kRemoveKeyDescription = single_parameter("remove_key", kKeyParameter);
constexpr FunctionDescription kSearchDescription = single_parameter("search", kValueParameter);
constexpr FunctionDescription kGetDescription = single_parameter("get", kValueParameter);
constexpr FunctionDescription kSearchKeyDescription = single_parameter("search_key", kKeyParameter);
constexpr FunctionDescription kContainsDescription = single_parameter("contains", kValueParameter);
constexpr FunctionDescription kHasNodeDescription = single_parameter("has_node", kValueParameter);
constexpr FunctionDescription kContainsKeyDescription = single_parameter("contains_key", kKeyParameter);

// The stored value (borrowed) whose key compares Equal to the derived key of
// `value`, or null.  The key is derived even for an empty tree; the probe key
// is released before the value.  The stored value stays alive while the
// caller holds the shared guard, and membership tests never touch it.
Result<PyObject*> search_stored(PyAVLTree& self, Ref value) {
  Result<Ref> key = self.extractor.derive_key(value.get());
  if (!key) return std::move(key).error();
  Result<PyObject*> found = self.tree.find(KeyView::of(key.value().get()));
  key.value().reset();
  value.reset();
  return found;
}

// The bodies of the by-value lookups, after binding: `Answer` shapes the result.
template <Ref (*Answer)(PyObject*)>
Result<Ref> look_up_value(const FunctionDescription& description, PyAVLTree& self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  Result<PyObject*> value = bind_single(description, args, nargs, kwnames);
  if (!value) return std::move(value).error();
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  Result<PyObject*> found = search_stored(self, Ref::borrow(value.value()));
  if (!found) return std::move(found).error();
  return Answer(found.value());
}

template <Ref (*Answer)(PyObject*)>
Result<Ref> look_up_key(const FunctionDescription& description, PyAVLTree& self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  Result<PyObject*> key = bind_single(description, args, nargs, kwnames);
  if (!key) return std::move(key).error();
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  Result<PyObject*> found = self.tree.find(KeyView::of(key.value()));
  if (!found) return std::move(found).error();
  return Answer(found.value());
}

Ref value_or_none(PyObject* value) { return value ? Ref::borrow(value) : none_object(); }
Ref found_flag(PyObject* value) { return bool_object(value != nullptr); }

Result<Ref> remove_probe(PyAVLTree& self, const KeyView& key) {
  Result<bool> removed = self.tree.remove(key);
  if (!removed) return std::move(removed).error();
  return bool_object(removed.value());
}

Result<Ref> remove_value(PyAVLTree& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Result<PyObject*> argument = bind_single(kRemoveDescription, args, nargs, kwnames);
  if (!argument) return std::move(argument).error();
  Result<ExclusiveBorrow> guard = ExclusiveBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  Ref value = Ref::borrow(argument.value());
  Result<Ref> key = self.extractor.derive_key(value.get());
  if (!key) return std::move(key).error();
  Result<Ref> removed = remove_probe(self, KeyView::of(key.value().get()));
  key.value().reset();  // the probe key, then the value
  value.reset();
  return removed;
}

Result<Ref> remove_key(PyAVLTree& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Result<PyObject*> key = bind_single(kRemoveKeyDescription, args, nargs, kwnames);
  if (!key) return std::move(key).error();
  Result<ExclusiveBorrow> guard = ExclusiveBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  return remove_probe(self, KeyView::of(key.value()));
}

Result<Ref> clear(PyAVLTree& self) {
  Result<ExclusiveBorrow> guard = ExclusiveBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  self.tree.clear();
  return none_object();
}

template <PyObject* (PythonAvlTree::*End)() const noexcept>
Result<Ref> end_value(PyAVLTree& self) {
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  return value_or_none((self.tree.*End)());
}

Result<Ref> height(PyAVLTree& self) {
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  Ref number = Ref::steal(PyLong_FromUnsignedLong(self.tree.height()));
  if (!number) return Error::fetch();
  return number;
}

Result<bool> contains_slot(PyAVLTree& self, PyObject* value) {
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  Result<PyObject*> found = search_stored(self, Ref::borrow(value));
  if (!found) return std::move(found).error();
  return found.value() != nullptr;
}

Result<Ref> representation(PyAVLTree& self) {
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  Result<Snapshot> values = in_order(self.tree);
  if (!values) return std::move(values).error();
  Snapshot& snapshot = values.value();
  static constexpr char kOpen[] = "AVLTree([";
  static constexpr char kSeparator[] = ", ";
  static constexpr char kClose[] = "])";
  Vec<char> text;
  if (Status s = text.append(kOpen, sizeof kOpen - 1); !s) return std::move(s).error();
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    Ref shown = Ref::steal(PyObject_Repr(snapshot[i].get()));
    if (!shown) return Error::fetch();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(shown.get(), &size);
    if (utf8 == nullptr) return Error::fetch();
    if (i > 0) {
      if (Status s = text.append(kSeparator, sizeof kSeparator - 1); !s) return std::move(s).error();
    }
    if (Status s = text.append(utf8, static_cast<std::size_t>(size)); !s) return std::move(s).error();
    shown.reset();
    snapshot[i].reset();
  }
  if (Status s = text.append(kClose, sizeof kClose - 1); !s) return std::move(s).error();
  Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!result) return Error::fetch();
  return result;
}

}  // namespace

QUORVEL_VECTOR_ENTRY(tree_remove) {
  return run_object([&] { return remove_value(tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_remove_key) {
  return run_object([&] { return remove_key(tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_search) {
  return run_object([&] { return look_up_value<value_or_none>(kSearchDescription, tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_get) {
  return run_object([&] { return look_up_value<value_or_none>(kGetDescription, tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_contains) {
  return run_object([&] { return look_up_value<found_flag>(kContainsDescription, tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_has_node) {
  return run_object([&] { return look_up_value<found_flag>(kHasNodeDescription, tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_search_key) {
  return run_object([&] { return look_up_key<value_or_none>(kSearchKeyDescription, tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_contains_key) {
  return run_object([&] { return look_up_key<found_flag>(kContainsKeyDescription, tree_of(self), args, nargs, kwnames); });
}

QUORVEL_PLAIN_ENTRY(tree_clear) {
  return run_object([&] { return clear(tree_of(self)); });
}

QUORVEL_PLAIN_ENTRY(tree_first) {
  return run_object([&] { return end_value<&PythonAvlTree::first>(tree_of(self)); });
}

QUORVEL_PLAIN_ENTRY(tree_last) {
  return run_object([&] { return end_value<&PythonAvlTree::last>(tree_of(self)); });
}

int tree_contains_slot(PyObject* self, PyObject* value) noexcept {
  return run_integer<int>([&] { return contains_slot(tree_of(self), value); });
}

PyObject* tree_height(PyObject* self, void*) noexcept {
  return run_object([&] { return height(tree_of(self)); });
}

PyObject* tree_repr(PyObject* self) noexcept {
  return run_object([&] { return representation(tree_of(self)); });
}

}  // namespace quorvel
