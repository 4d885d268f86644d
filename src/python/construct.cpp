// AVLTree(values=None, *, key=None), insert, and the size queries.
#include "python/interface.hpp"
#include "python/key_extractor.hpp"

namespace quorvel::bodies {
namespace {

bool given(PyObject* argument) noexcept { return argument != nullptr && argument != Py_None; }

// When values are their own keys, looking at the next few keys runs no code,
// so the paths their insertions will take can be loaded together first.
// Below kLookAheadFrom entries the tree mostly stays in cache and looking
// ahead costs more than it saves.
constexpr std::uint64_t kLookAheadFrom = std::uint64_t{1} << 17;
constexpr std::size_t kLookAhead = 16;

void prefetch_insertions(const PythonValues& values, std::size_t from, const PythonAvlTree& tree) {
  KeyView keys[kLookAhead];
  int count = 0;
  for (std::size_t i = from; i < values.size() && i < from + kLookAhead; ++i) keys[count++] = KeyView::of(values[i].get());
  tree.prefetch_descents(keys, count);
}

// Trees this large are laid out in key order once built: a smaller one stays
// in the caches, where the order of its nodes matters little.
constexpr std::uint64_t kLayOutFrom = 4096;

// Inserts every collected value in order, deriving each key only after the
// value before it was placed.
Status insert_all(PythonValues& values, const KeyExtractor& extractor, PythonAvlTree& tree) {
  const bool look_ahead = extractor.is_identity();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const bool loaded = look_ahead && tree.len() >= kLookAheadFrom;
    if (loaded && i % kLookAhead == 0) prefetch_insertions(values, i, tree);
    Ref value = std::move(values[i]);
    Result<Ref> key = extractor.derive_key(value.get());
    if (!key) {
      Error error = std::move(key).error();
      value.reset();
      return error;
    }
    Result<bool> inserted = tree.insert(Entry(std::move(value), std::move(key).value()), loaded);
    if (!inserted) return std::move(inserted).error();
  }
  return {};
}

}  // namespace

Result<Ref> construct(PyTypeObject& type, Args bound) {
  PyObject* values_argument = bound[0];
  PyObject* key_argument = bound[1];

  // Every value is collected before the key rule is even looked at.
  PythonValues values;
  if (given(values_argument)) {
    Result<PythonValues> collected = extract_values(values_argument);
    if (!collected) return argument_extraction_error("values", std::move(collected).error());
    values = std::move(collected).value();
  }
  KeyExtractor extractor;
  if (given(key_argument)) {
    Result<KeyExtractor> converted = KeyExtractor::extract(key_argument);
    if (!converted) {
      Error error = std::move(converted).error();
      values.clear();
      return argument_extraction_error("key", std::move(error));
    }
    extractor = std::move(converted).value();
  }

  PythonAvlTree tree;
  // Room for every value up front, no more: the tree then holds no spare
  // storage unless values were duplicates (trimmed below).
  tree.reserve(values.size(), !extractor.is_identity());
  if (Status s = insert_all(values, extractor, tree); !s) {
    // What was not reached, then the partial tree, then the extractor.
    Error error = std::move(s).error();
    values.clear();
    tree.clear();
    return error;
  }
  values.clear();
  // Nodes lie in the order their values arrived; laid out again in key
  // order, every ordered walk of the new tree reads its storage front to back.
  if (tree.len() >= kLayOutFrom) {
    tree.lay_out_in_order();
  } else {
    tree.trim();
  }
  return create_tree_object(&type, std::move(extractor), std::move(tree));
}

Result<Ref> insert(PyAVLTree& self, Args arguments) {
  Ref value = Ref::borrow(arguments[0]);
  Result<Ref> key = self.extractor.derive_key(value.get());
  if (!key) return std::move(key).error();
  Result<bool> inserted = self.tree.insert(Entry(std::move(value), std::move(key).value()));
  if (!inserted) return std::move(inserted).error();
  return bool_object(inserted.value());
}

Result<Ref> is_empty(PyAVLTree& self, Args) { return bool_object(self.tree.len() == 0); }

Result<Py_ssize_t> length(PyAVLTree& self, Args) {
  const std::uint64_t len = self.tree.len();
  if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return Error::fetch();
  }
  return static_cast<Py_ssize_t>(len);
}

Result<bool> truth(PyAVLTree& self, Args) { return self.tree.len() != 0; }

}  // namespace quorvel::bodies
