// Lookup, membership, removal, positions of keys, the ends of the order,
// height and repr.
#include "python/interface.hpp"
#include "support/recursion.hpp"

namespace quorvel::bodies {
namespace {

// Runs `probe` on the derived key of `value`.  The key is derived even for
// an empty tree; the probe key is released before the value.
template <class Probe>
auto with_derived_key(PyAVLTree& self, Ref value, Probe probe) -> decltype(probe(KeyView{})) {
  Result<Ref> key = self.extractor.derive_key(value.get());
  if (!key) return std::move(key).error();
  auto answer = probe(KeyView::of(key.value().get()));
  key.value().reset();
  value.reset();
  return answer;
}

// The stored value (borrowed) whose key compares Equal to the derived key of
// the argument, or null.  The stored value stays alive while the caller
// holds the shared guard, and membership tests never touch it.
Result<PyObject*> search_stored(PyAVLTree& self, Args arguments) {
  return with_derived_key(self, Ref::borrow(arguments[0]), [&](const KeyView& key) { return self.tree.find(key); });
}

Ref value_or_none(PyObject* value) { return value ? Ref::borrow(value) : none_object(); }
Ref found_flag(PyObject* value) { return bool_object(value != nullptr); }
bool is_found(PyObject* value) { return value != nullptr; }

// A lookup's or removal's result, shaped by `Answer`.
template <auto Answer, class Found>
auto answer(Result<Found> found) -> Result<decltype(Answer(found.value()))> {
  if (!found) return std::move(found).error();
  return Answer(found.value());
}

}  // namespace

Result<Ref> search(PyAVLTree& self, Args arguments) { return answer<value_or_none>(search_stored(self, arguments)); }
Result<Ref> contains(PyAVLTree& self, Args arguments) { return answer<found_flag>(search_stored(self, arguments)); }
Result<bool> membership(PyAVLTree& self, Args arguments) { return answer<is_found>(search_stored(self, arguments)); }

Result<Ref> search_key(PyAVLTree& self, Args arguments) {
  return answer<value_or_none>(self.tree.find(KeyView::of(arguments[0])));
}

Result<Ref> contains_key(PyAVLTree& self, Args arguments) {
  return answer<found_flag>(self.tree.find(KeyView::of(arguments[0])));
}

Result<Ref> remove(PyAVLTree& self, Args arguments) {
  const auto probe = [&](const KeyView& key) { return answer<bool_object>(self.tree.remove(key)); };
  return with_derived_key(self, Ref::borrow(arguments[0]), probe);
}

Result<Ref> remove_key(PyAVLTree& self, Args arguments) {
  return answer<bool_object>(self.tree.remove(KeyView::of(arguments[0])));
}

namespace {

Result<Ref> position_object(std::uint64_t position) { return owned(PyLong_FromUnsignedLongLong(position)); }

// How many stored keys compare Less than the probe (left), or not Greater (right).
template <bool Right>
Result<Ref> bisect(const PythonAvlTree& tree, const KeyView& key) {
  Result<PythonAvlTree::Rank> rank = tree.rank(key);
  if (!rank) return std::move(rank).error();
  return position_object(rank.value().below + (Right && rank.value().found));
}

// The position of the entry whose key compares Equal to the probe, or
// ValueError naming `argument` (its repr may run code, and re-enter).
Result<Ref> position_of(const PythonAvlTree& tree, const KeyView& key, PyObject* argument) {
  Result<PythonAvlTree::Rank> rank = tree.rank(key);
  if (!rank) return std::move(rank).error();
  if (rank.value().found) return position_object(rank.value().below);
  Result<RecursionLevel> level = RecursionLevel::enter(" while getting the repr of a value");
  if (!level) return std::move(level).error();
  Ref shown = Ref::steal(PyObject_Repr(argument));
  if (!shown) return Error::fetch();
  Ref message = Ref::steal(PyUnicode_FromFormat("%U is not in tree", shown.get()));
  if (!message) return Error::fetch();
  return Error::make(PyExc_ValueError, std::move(message));
}

}  // namespace

Result<Ref> index(PyAVLTree& self, Args arguments) {
  const Ref value = Ref::borrow(arguments[0]);
  return with_derived_key(self, value.clone(),
                          [&](const KeyView& key) { return position_of(self.tree, key, value.get()); });
}

Result<Ref> index_key(PyAVLTree& self, Args arguments) {
  return position_of(self.tree, KeyView::of(arguments[0]), arguments[0]);
}

Result<Ref> bisect_left(PyAVLTree& self, Args arguments) {
  return with_derived_key(self, Ref::borrow(arguments[0]), [&](const KeyView& key) { return bisect<false>(self.tree, key); });
}

Result<Ref> bisect_right(PyAVLTree& self, Args arguments) {
  return with_derived_key(self, Ref::borrow(arguments[0]), [&](const KeyView& key) { return bisect<true>(self.tree, key); });
}

Result<Ref> bisect_left_key(PyAVLTree& self, Args arguments) { return bisect<false>(self.tree, KeyView::of(arguments[0])); }
Result<Ref> bisect_right_key(PyAVLTree& self, Args arguments) { return bisect<true>(self.tree, KeyView::of(arguments[0])); }

Result<Ref> clear(PyAVLTree& self, Args) {
  self.tree.clear();
  return none_object();
}

Result<Ref> first(PyAVLTree& self, Args) { return value_or_none(self.tree.first()); }
Result<Ref> last(PyAVLTree& self, Args) { return value_or_none(self.tree.last()); }

Result<Ref> height(PyAVLTree& self, Args) { return owned(PyLong_FromUnsignedLong(self.tree.height())); }

Result<Ref> representation(PyAVLTree& self, Args) {
  Result<Snapshot> values = in_order(self.tree);
  if (!values) return std::move(values).error();
  Snapshot& snapshot = values.value();
  // The values' __repr__ may show this tree or another one again.
  Result<RecursionLevel> level = RecursionLevel::enter(" while getting the repr of a value");
  if (!level) return std::move(level).error();
  Vec<char> text;
  const auto add = [&text](std::string_view part) { return text.append(part.data(), part.size()); };
  if (Status s = add("AVLTree(["); !s) return std::move(s).error();
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    Ref shown = Ref::steal(PyObject_Repr(snapshot[i].get()));
    if (!shown) return Error::fetch();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(shown.get(), &size);
    if (utf8 == nullptr) return Error::fetch();
    if (Status s = add(i > 0 ? ", " : ""); !s) return std::move(s).error();
    if (Status s = add({utf8, static_cast<std::size_t>(size)}); !s) return std::move(s).error();
    shown.reset();
    snapshot[i].reset();
  }
  if (Status s = add("])"); !s) return std::move(s).error();
  return owned(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace quorvel::bodies
