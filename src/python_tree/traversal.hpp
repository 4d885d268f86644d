// Snapshots: every way of reading many entries out of the tree.
//
// Each operation walks the tree once and copies strong references into a new
// array that the caller owns; the tree is not changed and keeps no trace of
// the walk.  The full traversals make no comparison; the bounded queries
// compare the stored key (left operand) with the bound (right operand).
#pragma once

#include <cstdint>

#include "python_tree/tree.hpp"
#include "support/memory.hpp"

namespace quorvel {

// Strong references to values, in traversal order.
using Snapshot = Vec<Ref>;
// (value, key) pairs in ascending key order.
using EntrySnapshot = Vec<Entry>;

Result<Snapshot> in_order(const PythonAvlTree& tree);
Result<Snapshot> descending(const PythonAvlTree& tree);
Result<Snapshot> pre_order(const PythonAvlTree& tree);
Result<Snapshot> post_order(const PythonAvlTree& tree);
Result<Snapshot> level_order(const PythonAvlTree& tree);
Result<EntrySnapshot> in_order_entries(const PythonAvlTree& tree);

// Values whose keys lie between the bounds, ascending.  A null bound is absent.
Result<Snapshot> range(const PythonAvlTree& tree, const KeyView* start, const KeyView* end,
                       bool include_start, bool include_end);
// At most `count` values, ascending from the smallest key not less than `start`.
Result<Snapshot> iter_from(const PythonAvlTree& tree, const KeyView& start, std::uint64_t count);
// At most `count` values, descending from the largest key not greater than `end`.
Result<Snapshot> iter_to(const PythonAvlTree& tree, const KeyView& end, std::uint64_t count);

// The in-order walk of in_order() or descending(), read a value at a time
// from the tree itself: a caller that may never want most of the values
// starts one in O(h) instead of copying them all.  Between values the reading
// holds pointers to nodes, so the tree must not change until the reading has
// taken its rest into a snapshot.
class OrderedReading {
 public:
  // Descends to the first value: O(h), no comparison.
  OrderedReading(const PythonAvlTree& tree, bool ascending);

  // The next value (borrowed), or null when every value was read: O(1)
  // amortised.
  PyObject* next(const PythonAvlTree& tree);
  // Appends every value not read yet to `out`, which has room for all of
  // them, as fast as the full walks do.  It cannot fail: the work memory that
  // makes large trees faster is optional.
  void take_rest(const PythonAvlTree& tree, Snapshot& out);
  // The same walk, appending the values borrowed: they stay the tree's, and
  // are not even touched, until the caller takes references to them.
  void lend_rest(const PythonAvlTree& tree, Vec<PyObject*>& out);
  std::uint64_t taken() const noexcept { return taken_; }
  bool finished() const noexcept { return pending_.empty(); }

 private:
  template <class Taker>
  void rest(const PythonAvlTree& tree, Vec<typename Taker::Item>& out);

  PathStack<const Node*> pending_;  // the next node on top, then its ancestors still to come
  std::uint64_t taken_ = 0;
  bool ascending_;
};

}  // namespace quorvel
