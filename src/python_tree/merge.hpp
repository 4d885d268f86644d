// Set operations on ordered runs of entries: one walk of two runs in
// ascending key order, beside the linear builder that makes trees of what it
// produces.
//
// A run is a tree's entries read off its nodes in order, or entries sorted
// here (SortedEntries).  Like the rest of the engine this unit knows nothing
// of key rules: it compares keys as they are, each comparison through the one
// compare, with the left run's key as the left operand.  Every comparison
// either finds two keys Equal or passes the lesser one for good, so a walk of
// runs of n and m entries makes at most n + m - 1 of them; the first that
// fails ends the walk with its exception, having taken nothing from either
// run.  Where keys compare Equal the left run's entry is the one a result
// keeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python_tree/compare.hpp"
#include "python_tree/traversal.hpp"
#include "python_tree/tree.hpp"
#include "support/error.hpp"
#include "support/memory.hpp"

namespace quorvel {

// What a merge keeps: the entries whose keys are in either run, in both
// (the left run's entry), in the left run only, or in exactly one of them.
enum class SetOperation : std::uint8_t { Union, Intersection, Difference, SymmetricDifference };

// One entry of SortedEntries as the sort moves it: its key (borrowed from
// the entry) with the key's native copy, and where the entry lies.
struct SortItem {
  PyObject* key;
  NativeKey native;
  std::size_t index;
};

// Entries in strictly ascending key order: no two keys compared Equal.
class SortedEntries {
 public:
  SortedEntries() noexcept = default;
  SortedEntries(SortedEntries&&) noexcept = default;
  SortedEntries& operator=(SortedEntries&&) noexcept = default;

  // Sorts `entries` by key, stably, with O(m log m) comparisons (about m - 1
  // when they are in order already); of entries whose keys compare Equal only
  // the first in the given order is kept, as insertion one at a time would.
  // On an error, or MemoryError, every entry is released in the given order.
  static Result<SortedEntries> sort(EntrySnapshot&& entries);

  std::size_t size() const noexcept { return order_.size(); }
  // The i-th entry in key order, and its key.
  const Entry& entry(std::size_t i) const noexcept { return entries_[order_[i].index]; }
  // Hands the i-th entry in key order over to the caller (it is then empty here).
  Entry take(std::size_t i) noexcept { return std::move(entries_[order_[i].index]); }
  KeyView key(std::size_t i) const noexcept { return KeyView{order_[i].key, order_[i].native}; }

 private:
  EntrySnapshot entries_;  // in the order given, dropped ones too: released in that order
  Vec<SortItem> order_;    // the kept ones, ascending
};

// The entries a merge keeps, ascending and each with references of its own,
// ready for from_sorted, and how many of them came from the right run.
struct Merged {
  EntrySnapshot entries;
  std::uint64_t from_right = 0;
};

// The left run is a tree; the right run another tree, or sorted entries.
Result<Merged> merge(SetOperation operation, const PythonAvlTree& left, const PythonAvlTree& right);
Result<Merged> merge(SetOperation operation, const PythonAvlTree& left, const SortedEntries& right);

// The union of the two runs for the left tree to be rebuilt with in place
// (PythonAvlTree::rebuild_with): each of its nodes, and each entry of the
// right run whose key it lacks, with references of its own.  The same walk
// and comparisons as the merge's, without a reference taken to the left
// tree's entries.
struct UnionPlan {
  Vec<const Node*> order;                 // a node of the left tree, or null for the next incoming
  Vec<PythonAvlTree::Incoming> incoming;  // the right run's entries the left tree lacks
};
Result<UnionPlan> plan_union(const PythonAvlTree& left, const PythonAvlTree& right);
Result<UnionPlan> plan_union(const PythonAvlTree& left, const SortedEntries& right);

// Whether every key of the left run compares Equal to one of the right run
// (is_subset) or the other way round (is_superset), and whether no key of one
// compares Equal to one of the other (is_disjoint).  Each stops at the first
// key that decides, and a run longer than the one that should hold it decides
// without a comparison.
Result<bool> is_subset(const PythonAvlTree& left, const PythonAvlTree& right);
Result<bool> is_subset(const PythonAvlTree& left, const SortedEntries& right);
Result<bool> is_superset(const PythonAvlTree& left, const PythonAvlTree& right);
Result<bool> is_superset(const PythonAvlTree& left, const SortedEntries& right);
Result<bool> is_disjoint(const PythonAvlTree& left, const PythonAvlTree& right);
Result<bool> is_disjoint(const PythonAvlTree& left, const SortedEntries& right);

}  // namespace quorvel
