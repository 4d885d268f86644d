// The set operations: update, union, intersection, difference and symmetric
// difference with their operators and in-place forms, the subset tests, copy.
//
// The other operand is read once, before anything is compared.  Another tree
// with the same key rule is read as it stands, its stored keys used as they
// are; any other operand (a tree with another key rule included) becomes
// entries whose keys this tree's rule derives, sorted.  A tree operand is
// read under its own shared guard, held until the body returns, so that code
// run meanwhile (key rules, comparisons, finalisers) may read it but not
// change it.  The merge unit walks the two runs; every result is made by the
// linear builder.  A member that changes the tree builds its new contents
// completely before swapping them in: any exception leaves it as it was.
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>

#include "python/interface.hpp"
#include "python/key_extractor.hpp"
#include "python_tree/builder.hpp"
#include "python_tree/merge.hpp"

namespace quorvel::bodies {
namespace {

PyObject* tree_object(PyAVLTree& tree) noexcept { return reinterpret_cast<PyObject*>(&tree); }

// The guard a tree operand is read under while a member of another tree
// runs: shared, as for a reading member of its own, taken by the rules of
// every guard (another thread's change is waited for, a wait that would
// close a cycle fails).
Result<SharedBorrow> read_guard(PyAVLTree& operand) { return table::take_guard<table::Guard::Shared>(operand); }

// The object as a tree, or null if it is none.
Result<PyAVLTree*> as_tree(PyObject* object) {
  Result<PyTypeObject*> type = avl_tree_type();
  if (!type) return std::move(type).error();
  return Py_TYPE(object) == type.value() ? &tree_of(object) : static_cast<PyAVLTree*>(nullptr);
}

// Whether two key rules are the same: both none, the same attribute name, or
// the very same callable.
Result<bool> same_key_rule(const KeyExtractor& a, const KeyExtractor& b) {
  if (a.is_identity() || b.is_identity()) return a.is_identity() && b.is_identity();
  Result<Ref> x = a.to_key_spec();
  if (!x) return std::move(x).error();
  Result<Ref> y = b.to_key_spec();
  if (!y) return std::move(y).error();
  // An attribute rule gives its name as a new exact str, a callable rule the
  // callable itself, which is never a str.
  PyObject* p = x.value().get();
  PyObject* q = y.value().get();
  if (PyUnicode_CheckExact(p) && PyUnicode_CheckExact(q)) {
    const int order = PyUnicode_Compare(p, q);
    if (order == -1 && PyErr_Occurred()) return Error::fetch();
    return order == 0;
  }
  return p == q;
}

// The same key rule, for a new tree.
Result<KeyExtractor> copy_of(const KeyExtractor& rule) {
  if (rule.is_identity()) return KeyExtractor();
  Result<Ref> spec = rule.to_key_spec();
  if (!spec) return std::move(spec).error();
  return KeyExtractor::extract(spec.value().get());
}

// An entry for each value, in the values' order, its key derived by `rule`.
Result<EntrySnapshot> derive_entries(const KeyExtractor& rule, Vec<Ref>& values) {
  EntrySnapshot entries;
  if (Status s = entries.reserve(values.size()); !s) return std::move(s).error();
  for (std::size_t i = 0; i < values.size(); ++i) {
    Result<Ref> key = rule.derive_key(values[i].get());
    if (!key) return std::move(key).error();
    entries.push_reserved(Entry(std::move(values[i]), std::move(key).value()));
  }
  return entries;
}

// The other operand of a set operation, as the merge reads it.  Members are
// released in reverse order: the entries, then the guard, then the object.
struct Operand {
  Ref object;                           // held until the body returns
  bool is_self = false;                 // the receiver itself: guarded already, and no comparison needed
  std::optional<SharedBorrow> guard;    // another tree's
  const PythonAvlTree* tree = nullptr;  // another tree with the same key rule
  SortedEntries sorted;                 // otherwise

  std::uint64_t size() const noexcept { return tree != nullptr ? tree->len() : sorted.size(); }
};

// Reads `argument` for a member of `self`.  Only a failure to iterate it is
// an argument error, named after `parameter`; the errors of key rules and
// comparisons are the operation's own, as they are for the constructor.
Status read_operand(PyAVLTree& self, PyObject* argument, std::string_view parameter, Operand& out) {
  out.object = Ref::borrow(argument);
  if (argument == tree_object(self)) {
    out.is_self = true;
    return {};
  }
  Result<PyAVLTree*> other = as_tree(argument);
  if (!other) return std::move(other).error();
  Vec<Ref> values;
  if (PyAVLTree* tree = other.value()) {
    Result<SharedBorrow> guard = read_guard(*tree);
    if (!guard) return std::move(guard).error();
    out.guard.emplace(std::move(guard).value());
    Result<bool> same = same_key_rule(self.extractor, tree->extractor);
    if (!same) return std::move(same).error();
    if (same.value()) {
      out.tree = &tree->tree;
      return {};
    }
    Result<Snapshot> snapshot = quorvel::in_order(tree->tree);
    if (!snapshot) return std::move(snapshot).error();
    values = std::move(snapshot).value();
  } else {
    Result<PythonValues> collected = extract_values(argument);
    if (!collected) return argument_extraction_error(parameter, std::move(collected).error());
    values = std::move(collected).value();
  }
  Result<EntrySnapshot> entries = derive_entries(self.extractor, values);
  if (!entries) return std::move(entries).error();
  Result<SortedEntries> sorted = SortedEntries::sort(std::move(entries).value());
  if (!sorted) return std::move(sorted).error();
  out.sorted = std::move(sorted).value();
  return {};
}

Result<Merged> merged(SetOperation operation, PyAVLTree& self, const Operand& other) {
  if (other.tree != nullptr) return merge(operation, self.tree, *other.tree);
  return merge(operation, self.tree, other.sorted);
}

// A new tree with `rule` holding `entries`, which are in ascending key order.
Result<Ref> new_tree(const KeyExtractor& rule, EntrySnapshot&& entries) {
  EntrySnapshot held(std::move(entries));
  Result<KeyExtractor> copied = copy_of(rule);
  if (!copied) return std::move(copied).error();
  Result<PyTypeObject*> type = avl_tree_type();
  if (!type) return std::move(type).error();
  Result<PythonAvlTree> tree = from_sorted(std::move(held));
  if (!tree) return std::move(tree).error();
  return create_tree_object(type.value(), std::move(copied).value(), std::move(tree).value());
}

Result<Ref> copy_of_tree(PyAVLTree& self) {
  Result<EntrySnapshot> entries = in_order_entries(self.tree);
  if (!entries) return std::move(entries).error();
  return new_tree(self.extractor, std::move(entries).value());
}

template <SetOperation Operation>
Result<Ref> operate(PyAVLTree& self, Args arguments) {
  Operand other;
  if (Status s = read_operand(self, arguments[0], "other", other); !s) return std::move(s).error();
  if (other.is_self) {
    // As for set: x | x and x & x are copies of x, x - x and x ^ x empty.
    if (Operation == SetOperation::Union || Operation == SetOperation::Intersection) return copy_of_tree(self);
    return new_tree(self.extractor, EntrySnapshot());
  }
  Result<Merged> result = merged(Operation, self, other);
  if (!result) return std::move(result).error();
  return new_tree(self.extractor, std::move(result.value().entries));
}

// Puts `entries` (ascending) in the place of the tree's entries.  The new
// tree is complete before the swap, and nothing after it can fail; the old
// entries are released only once the tree holds the new ones, so that
// finalisers they run find it consistent.
Status replace_entries(PyAVLTree& self, EntrySnapshot&& entries) {
  Result<PythonAvlTree> fresh = from_sorted(std::move(entries));
  if (!fresh) return std::move(fresh).error();
  PythonAvlTree old(std::move(self.tree));
  self.tree.~PythonAvlTree();
  new (&self.tree) PythonAvlTree(std::move(fresh).value());
  return {};
}

template <SetOperation Operation>
Status merge_in(PyAVLTree& self, const Operand& other) {
  Result<Merged> result = merged(Operation, self, other);
  if (!result) return std::move(result).error();
  // Every entry of the tree and nothing else: it stays as it is, shape and all.
  if (result.value().from_right == 0 && result.value().entries.size() == self.tree.len()) return {};
  return replace_entries(self, std::move(result.value().entries));
}

// How update takes in m values: merged with the n entries and the tree
// rebuilt in place, O(n + m) after the sort; or inserted one at a time,
// O(m log n), the cheaper where m is small beside n.  A merge costs about the
// same per entry at any size, while an insertion's descent costs more as the
// tree outgrows the caches, so the larger the tree, the fewer new values
// make the merge worth it: m >= n / 8 below 2**15 entries, n / 16 below
// 2**18, n / 48 below 2**20, and n / 96 from there (where the two ways'
// costs crossed, measured from 3 * 10**4 to 3 * 10**6 random ints).
enum class UpdateWay { MergeAndRebuild, InsertEach };

constexpr UpdateWay update_way(std::uint64_t size, std::uint64_t incoming) {
  const std::uint64_t factor = size < (std::uint64_t{1} << 15)   ? 8
                               : size < (std::uint64_t{1} << 18) ? 16
                               : size < (std::uint64_t{1} << 20) ? 48
                                                                 : 96;
  return incoming * factor < size ? UpdateWay::InsertEach : UpdateWay::MergeAndRebuild;
}

// Inserts the operand's entries one at a time, in key order.  Every
// comparison comes first, on the tree as it stands: one descent for each new
// key, which finds its rank (or that the tree holds the key already, whose
// value then stays); room for all of them is made next, and only then does
// each go to the position its rank gives, with no comparison and nothing
// that can fail.  So any exception leaves the tree as it was, as the merge's
// does.
Status insert_each(PyAVLTree& self, Operand& other) {
  EntrySnapshot from_tree;  // a tree operand's entries, each with references of its own
  if (other.tree != nullptr) {
    Result<EntrySnapshot> entries = in_order_entries(*other.tree);
    if (!entries) return std::move(entries).error();
    from_tree = std::move(entries).value();
  }
  const std::size_t count = other.tree != nullptr ? from_tree.size() : other.sorted.size();
  const auto key_of = [&](std::size_t i) {
    return other.tree != nullptr ? KeyView::of(from_tree[i].key.get()) : other.sorted.key(i);
  };
  constexpr std::uint64_t kPresent = UINT64_MAX;
  Vec<std::uint64_t> ranks;
  if (Status s = ranks.reserve(count); !s) return s;
  std::uint64_t fresh = 0;
  bool separate_keys = false;
  for (std::size_t i = 0; i < count; ++i) {
    Result<PythonAvlTree::Rank> rank = self.tree.rank(key_of(i));
    if (!rank) return std::move(rank).error();
    ranks.push_reserved(std::uint64_t{rank.value().found ? kPresent : rank.value().below});
    if (!rank.value().found) {
      ++fresh;
      const Entry& entry = other.tree != nullptr ? from_tree[i] : other.sorted.entry(i);
      separate_keys |= entry.key.get() != entry.value.get();
    }
  }
  if (Status s = self.tree.prepare_insertions(fresh, separate_keys); !s) return s;
  std::uint64_t inserted = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (ranks[i] == kPresent) continue;
    Entry entry = other.tree != nullptr ? std::move(from_tree[i]) : other.sorted.take(i);
    self.tree.insert_at(ranks[i] + inserted++, std::move(entry));
  }
  return {};
}

// Merges the operand's entries in and rebuilds the tree in place: its own
// entries move to the new storage as they are, so their objects are not
// touched, and nothing is released.
Status merge_and_rebuild(PyAVLTree& self, const Operand& other) {
  Result<UnionPlan> plan = other.tree != nullptr ? plan_union(self.tree, *other.tree)
                                                 : plan_union(self.tree, other.sorted);
  if (!plan) return std::move(plan).error();
  // Every entry of the operand was there already: the tree stays as it is, shape and all.
  if (plan.value().incoming.size() == 0) return {};
  return self.tree.rebuild_with(plan.value().order, plan.value().incoming);
}

Status take_in(PyAVLTree& self, Operand& other) {
  if (other.is_self) return {};
  if (update_way(self.tree.len(), other.size()) == UpdateWay::InsertEach) return insert_each(self, other);
  return merge_and_rebuild(self, other);
}

template <SetOperation Operation>
Status change_by(PyAVLTree& self, Operand& other) {
  if (Operation == SetOperation::Union) return take_in(self, other);
  if (!other.is_self) return merge_in<Operation>(self, other);
  if (Operation != SetOperation::Intersection) self.tree.clear();  // x -= x and x ^= x empty x
  return {};
}

template <SetOperation Operation>
Result<Ref> operate_in_place(PyAVLTree& self, Args arguments) {
  Operand other;
  if (Status s = read_operand(self, arguments[0], "other", other); !s) return std::move(s).error();
  if (Status s = change_by<Operation>(self, other); !s) return std::move(s).error();
  return Ref::borrow(tree_object(self));
}

// A subset test; `for_self` is its answer when the operand is the tree itself.
template <class Test>
Result<Ref> test(PyAVLTree& self, Args arguments, bool for_self, Test run_test) {
  Operand other;
  if (Status s = read_operand(self, arguments[0], "other", other); !s) return std::move(s).error();
  if (other.is_self) return bool_object(for_self);
  Result<bool> answer = other.tree != nullptr ? run_test(self.tree, *other.tree) : run_test(self.tree, other.sorted);
  if (!answer) return std::move(answer).error();
  return bool_object(answer.value());
}

}  // namespace

Result<Ref> update(PyAVLTree& self, Args arguments) {
  Operand other;
  if (Status s = read_operand(self, arguments[0], "values", other); !s) return std::move(s).error();
  if (Status s = take_in(self, other); !s) return std::move(s).error();
  return none_object();
}

Result<Ref> union_with(PyAVLTree& self, Args arguments) { return operate<SetOperation::Union>(self, arguments); }
Result<Ref> intersection(PyAVLTree& self, Args arguments) {
  return operate<SetOperation::Intersection>(self, arguments);
}
Result<Ref> difference(PyAVLTree& self, Args arguments) { return operate<SetOperation::Difference>(self, arguments); }
Result<Ref> symmetric_difference(PyAVLTree& self, Args arguments) {
  return operate<SetOperation::SymmetricDifference>(self, arguments);
}

Result<Ref> in_place_union(PyAVLTree& self, Args arguments) {
  return operate_in_place<SetOperation::Union>(self, arguments);
}
Result<Ref> in_place_intersection(PyAVLTree& self, Args arguments) {
  return operate_in_place<SetOperation::Intersection>(self, arguments);
}
Result<Ref> in_place_difference(PyAVLTree& self, Args arguments) {
  return operate_in_place<SetOperation::Difference>(self, arguments);
}
Result<Ref> in_place_symmetric_difference(PyAVLTree& self, Args arguments) {
  return operate_in_place<SetOperation::SymmetricDifference>(self, arguments);
}

Result<Ref> issubset(PyAVLTree& self, Args arguments) {
  return test(self, arguments, true, [](const PythonAvlTree& tree, const auto& other) { return is_subset(tree, other); });
}
Result<Ref> issuperset(PyAVLTree& self, Args arguments) {
  return test(self, arguments, true,
              [](const PythonAvlTree& tree, const auto& other) { return is_superset(tree, other); });
}
Result<Ref> isdisjoint(PyAVLTree& self, Args arguments) {
  return test(self, arguments, self.tree.len() == 0,
              [](const PythonAvlTree& tree, const auto& other) { return is_disjoint(tree, other); });
}

Result<Ref> copy_tree(PyAVLTree& self, Args) { return copy_of_tree(self); }

}  // namespace quorvel::bodies
