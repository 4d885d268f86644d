// Snapshots and cursors: every way of reading many entries out of the tree.
//
// A snapshot operation walks the tree once and copies strong references into
// a new array that the caller owns; the tree is not changed and keeps no
// trace of the walk.  The full traversals make no comparison; the bounded
// queries compare the stored key (left operand) with the bound (right
// operand).  A cursor reads consecutive positions a few at a time instead,
// for callers that may never want most of them.
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
// Every node, in ascending key order, appended to `out`, read breadth first
// (the misses of a level overlap).  The memory is optional: false, with
// nothing appended, when it cannot be had.
bool nodes_in_order(const PythonAvlTree& tree, Vec<const Node*>& out);

// ValueError "range start must not exceed end" when both bounds are present
// and start compares Greater than end (start the left operand), or the
// comparison's exception.
Status check_range_bounds(const KeyView* start, const KeyView* end);
// Values whose keys lie between the bounds, ascending, by the bounded walk
// (its comparisons, in its order).  A null bound is absent.  The bounds are
// checked by check_range_bounds first.
Result<Snapshot> range(const PythonAvlTree& tree, const KeyView* start, const KeyView* end,
                       bool include_start, bool include_end);
// The same, read breadth first, when the tree is large and the walk visits
// at most a few hundred nodes: true, with the values appended to `out`;
// false, with nothing taken, when that is not so.  Its comparisons differ
// from the walk's in order, so only for ranges that compare natively, or
// ones whose comparisons may be made again by the walk (see range).
Result<bool> short_range(const PythonAvlTree& tree, const KeyView* start, const KeyView* end, bool include_start,
                         bool include_end, Snapshot& out);
// At most `count` values, ascending from the smallest key not less than `start`.
Result<Snapshot> iter_from(const PythonAvlTree& tree, const KeyView& start, std::uint64_t count);
// At most `count` values, descending from the largest key not greater than `end`.
Result<Snapshot> iter_to(const PythonAvlTree& tree, const KeyView& end, std::uint64_t count);

// Consecutive positions [first, first + count) of the ascending order.
struct Span {
  std::uint64_t first;
  std::uint64_t count;
};
// Where the values of a range lie, found by rank instead of by the bounded
// walk; only for bounds and keys that compare plainly
// (PythonAvlTree::compares_plainly), whose comparisons nobody can see.
Span plain_range_span(const PythonAvlTree& tree, const KeyView* start, const KeyView* end, bool include_start,
                      bool include_end);

// The values at positions first, first + step, ... (`count` of them; step may
// be negative), as list slicing takes them: O(h + count) for a step of one,
// and each subtree holding no wanted position is skipped whole.
Result<Snapshot> positions(const PythonAvlTree& tree, std::uint64_t first, std::int64_t step, std::uint64_t count);

// A reading of consecutive positions of a tree, ascending or descending: the
// next node on top of a stack of the nodes whose turn comes later on its
// path.  The tree must not change while a cursor is used: every node pointer
// it holds is valid only until then.
class Cursor {
 public:
  Cursor() noexcept = default;  // reads nothing

  // Reads `count` values (the caller checks that the tree has them) from
  // position `first` of the ascending order, in the given direction.  O(h),
  // no comparison.
  static Cursor at(const PythonAvlTree& tree, std::uint64_t first, std::uint64_t count, bool ascending);
  // Reads at most `count` values from the first key that is not beyond
  // `bound`: not Less (ascending) or not Greater (descending), or, when the
  // bound is not `inclusive`, neither Equal.  One descent to a leaf, comparing
  // each stored key with the bound (stored key the left operand), as
  // iter_from and iter_to do.
  static Result<Cursor> from_bound(const PythonAvlTree& tree, const KeyView& bound, std::uint64_t count,
                                   bool ascending, bool inclusive = true);

  std::uint64_t remaining() const noexcept { return remaining_; }
  bool ascending() const noexcept { return ascending_; }

  // The next value (borrowed): O(1) amortised.  Needs remaining() > 0.
  PyObject* next(const PythonAvlTree& tree);
  // Appends the next `count` values (at most remaining()) to `out`, which has
  // room for them, as fast as a full walk: borrowed, not even touched, or
  // with references of their own.
  void lend(const PythonAvlTree& tree, std::uint64_t count, Vec<PyObject*>& out);
  void take(const PythonAvlTree& tree, std::uint64_t count, Snapshot& out);

 private:
  template <class Taker>
  void read(const PythonAvlTree& tree, std::uint64_t count, Vec<typename Taker::Item>& out);

  PathStack<const Node*> pending_;  // the next node on top, then its ancestors still to come
  std::uint64_t position_ = 0;      // of the next node, in the ascending order
  std::uint64_t remaining_ = 0;
  bool ascending_ = true;
};

}  // namespace quorvel
