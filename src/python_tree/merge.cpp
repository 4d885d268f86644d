#include "python_tree/merge.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quorvel {
namespace {

KeyView view_of(const SortItem& item) noexcept { return KeyView{item.key, item.native}; }

// Merges two sorted runs of items that lie in one array, [0, a) and
// [from, from + b) with a <= from, into [0, k), keeping the first of items
// whose keys compare Equal (the left run's, which came earlier), and returns
// k.  The left run is moved to `scratch` first; every item written lands at
// or before the next unread one of the right run, so nothing unread is
// overwritten.
Result<std::size_t> merge_unique(SortItem* items, std::size_t a, std::size_t from, std::size_t b,
                                 SortItem* scratch) {
  SortItem* right = items + from;
  if (a == 0 || b == 0) {
    std::memmove(items + a, right, b * sizeof(SortItem));
    return a + b;
  }
  // Runs already in order, as in input that was sorted to begin with, cost
  // one comparison.
  Result<Ordering> joined = compare(view_of(items[a - 1]), view_of(right[0]));
  if (!joined) return std::move(joined).error();
  if (joined.value() == Ordering::Less) {
    std::memmove(items + a, right, b * sizeof(SortItem));
    return a + b;
  }
  std::memcpy(scratch, items, a * sizeof(SortItem));
  std::size_t i = 0, j = 0, k = 0;
  while (i < a && j < b) {
    Result<Ordering> order = compare(view_of(scratch[i]), view_of(right[j]));
    if (!order) return std::move(order).error();
    if (order.value() == Ordering::Greater) {
      items[k++] = right[j++];
    } else {
      if (order.value() == Ordering::Equal) ++j;  // the later of the two goes
      items[k++] = scratch[i++];
    }
  }
  std::memcpy(items + k, scratch + i, (a - i) * sizeof(SortItem));
  k += a - i;
  std::memmove(items + k, right + j, (b - j) * sizeof(SortItem));
  return k + (b - j);
}

// Sorts items [0, n) stably, keeping the first of items whose keys compare
// Equal; the kept ones end at the front, and their number is the result.
// `scratch` has room for n / 2 items.  Depth log2 n.
Result<std::size_t> sort_unique(SortItem* items, std::size_t n, SortItem* scratch) {
  if (n < 2) return n;
  const std::size_t half = n / 2;
  Result<std::size_t> a = sort_unique(items, half, scratch);
  if (!a) return a;
  Result<std::size_t> b = sort_unique(items + half, n - half, scratch);
  if (!b) return b;
  return merge_unique(items, a.value(), half, b.value(), scratch);
}

// Sorts items whose keys are all native ints as sort_unique would, keeping
// the first of equal keys; false, touching nothing, if any key is another.
// Two native ints compare without a call and without failing, so the order
// the comparisons are made in is not observable, and a sort by value, then
// by place in the given order, gives sort_unique's result faster.
bool sort_ints(Vec<SortItem>& items) {
  SortItem* const begin = items.data();
  SortItem* const end = begin + items.size();
  for (const SortItem* item = begin; item != end; ++item) {
    if (item->native.kind != kNativeInt) return false;
  }
  // compare answers two ints inline and cannot fail.
  const auto order = [](const SortItem& a, const SortItem& b) { return compare(view_of(a), view_of(b)).value(); };
  std::sort(begin, end, [&](const SortItem& a, const SortItem& b) {
    const Ordering o = order(a, b);
    return o == Ordering::Less || (o == Ordering::Equal && a.index < b.index);
  });
  const SortItem* kept_end =
      std::unique(begin, end, [&](const SortItem& a, const SortItem& b) { return order(a, b) == Ordering::Equal; });
  while (items.size() > static_cast<std::size_t>(kept_end - begin)) items.pop_back();
  return true;
}

}  // namespace

Result<SortedEntries> SortedEntries::sort(EntrySnapshot&& entries) {
  SortedEntries out;
  out.entries_ = std::move(entries);
  const std::size_t count = out.entries_.size();
  if (Status s = out.order_.reserve(count); !s) return std::move(s).error();
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* key = out.entries_[i].key.get();
    out.order_.push_reserved(SortItem{key, NativeKey::of(key), i});
  }
  if (sort_ints(out.order_)) return out;
  Vec<SortItem> scratch;
  if (Status s = scratch.reserve(count / 2); !s) return std::move(s).error();
  Result<std::size_t> kept = sort_unique(out.order_.data(), count, scratch.data());
  if (!kept) return std::move(kept).error();
  while (out.order_.size() > kept.value()) out.order_.pop_back();
  return out;
}

namespace {

// Trees of this many entries or more are read breadth first before the walk
// (nodes_in_order); below it they mostly sit in cache.
constexpr std::uint64_t kBreadthFirstFrom = std::uint64_t{1} << 14;
constexpr std::size_t kAhead = 16;  // nodes are asked for this far ahead of their reading

// The runs a walk reads: the current entry's key and a new reference to
// the entry, until done.
//
// A tree's run reads large trees' nodes from an array in order, asking for
// each well before its turn; small ones (and large ones without memory for
// the array) are walked with a stack.
class TreeRun {
 public:
  // `references`: whether entries of this run will be taken with new
  // references, whose objects are then asked for ahead.
  explicit TreeRun(const PythonAvlTree& tree, bool references = true) : tree_(tree), references_(references) {
    if (tree.len() >= kBreadthFirstFrom && tree.placed_at(0) != nullptr) {
      // Nodes in key order are read from their slots, front to back, with
      // no array of them to make.  (Small trees mostly sit in cache, where
      // the stack's walk costs less than a slot's address.)
      placed_ = indexed_ = true;
      current_ = tree.placed_at(0);
    } else if (tree.len() >= kBreadthFirstFrom && nodes_in_order(tree, nodes_)) {
      indexed_ = true;
      for (std::size_t i = 0; i < kAhead && i < nodes_.size(); ++i) tree_.prefetch_node(nodes_[i]);
      current_ = nodes_.empty() ? nullptr : nodes_[0];
    } else {
      nodes_.clear();
      descend(tree.root());
    }
  }

  std::uint64_t size() const noexcept { return tree_.len(); }
  bool done() const noexcept { return current_ == nullptr; }
  KeyView key() const noexcept { return current_->key(); }
  const Node* node() const noexcept { return current_; }
  Entry entry() const noexcept {
    return Entry(Ref::borrow(tree_.value_of(current_)), Ref::borrow(current_->key_object()));
  }
  // Inlined, with descend, into each walk's loop, where the stack's step is
  // a few instructions; a call would cost as much again.
  [[gnu::always_inline]] void next() {
    if (indexed_) {
      ++at_;
      const std::uint64_t count = tree_.len();
      // Slots in key order are read front to back, which the processor
      // foresees; the nodes of an array lie anywhere, and are asked for.
      if (!placed_ && at_ + kAhead < count) tree_.prefetch_node(nodes_[at_ + kAhead]);
      // The objects a kept entry's references are taken to lie anywhere;
      // they are asked for once their node has had time to arrive.
      if (references_ && at_ + kAhead / 2 < count) ask_for_objects(node_at(at_ + kAhead / 2));
      current_ = at_ < count ? node_at(at_) : nullptr;
      return;
    }
    pending_.pop();
    descend(tree_.right_of(current_));
  }

 private:
  const Node* node_at(std::size_t i) const noexcept { return placed_ ? tree_.placed_at(i) : nodes_[i]; }

  [[gnu::always_inline]] void ask_for_objects(const Node* soon) const noexcept {
    __builtin_prefetch(tree_.value_of(soon), 1);
    __builtin_prefetch(soon->key_object(), 1);
  }

  // The nodes still to come are on the stack, the next on top, then its
  // ancestors whose turn is later.  Whoever's turn comes next has its right
  // child asked for: the walk goes there after it.
  [[gnu::always_inline]] void descend(const Node* node) {
    for (; node != nullptr; node = tree_.left_of(node)) {
      if (const Node* later = tree_.right_of(node)) tree_.prefetch_node(later);
      pending_.push(node);
    }
    current_ = pending_.empty() ? nullptr : pending_[pending_.depth() - 1];
  }

  const PythonAvlTree& tree_;
  bool references_;
  bool indexed_ = false;    // large trees: the next is the at_-th node in order
  bool placed_ = false;     // ... read from slot at_ + 1, or else
  Vec<const Node*> nodes_;  // ... from this array of every node in order
  std::size_t at_ = 0;
  PathStack<const Node*> pending_;
  const Node* current_ = nullptr;
};

class SortedRun {
 public:
  explicit SortedRun(const SortedEntries& sorted) : sorted_(sorted) {}

  std::uint64_t size() const noexcept { return sorted_.size(); }
  bool done() const noexcept { return at_ == sorted_.size(); }
  KeyView key() const noexcept { return sorted_.key(at_); }
  Entry entry() const noexcept {
    const Entry& entry = sorted_.entry(at_);
    return Entry(entry.value.clone(), entry.key.clone());
  }
  void next() noexcept { ++at_; }

 private:
  const SortedEntries& sorted_;
  std::size_t at_ = 0;
};

struct Keeps {
  bool left_only, both, right_only;
};

constexpr Keeps keeps_of(SetOperation operation) {
  switch (operation) {
    case SetOperation::Union:
      return {true, true, true};
    case SetOperation::Intersection:
      return {false, true, false};
    case SetOperation::Difference:
      return {true, false, false};
    case SetOperation::SymmetricDifference:
      break;
  }
  return {true, false, true};
}

// The most entries the result of an operation on runs of n and m entries holds.
std::uint64_t bound_of(SetOperation operation, std::uint64_t n, std::uint64_t m) {
  switch (operation) {
    case SetOperation::Intersection:
      return n < m ? n : m;
    case SetOperation::Difference:
      return n;
    case SetOperation::Union:
    case SetOperation::SymmetricDifference:
      break;
  }
  return n + m;
}

// Compares the two runs' current keys, the left run's the left operand, and
// hands each answer to `turn`, until either run is done or a turn returns
// false; whether no turn did, or the comparison's error.  compare_then lets
// a turn branch on the comparison itself, since which way a merge goes is
// often a coin toss.
template <class Left, class Right, class Turn>
[[gnu::always_inline]] inline Result<bool> walk_runs(Left& left, Right& right, Turn&& turn) {
  Ref failed;
  bool on = true;
  while (on && !left.done() && !right.done()) {
    on = compare_then(left.key(), right.key(), turn, [&](Error error) {
      failed = std::move(error).take();
      return false;
    });
  }
  if (failed) return Error::adopt(std::move(failed));
  return on;
}

template <SetOperation Operation, class Left, class Right>
Result<Merged> merge_runs(Left left, Right right) {
  constexpr Keeps keep = keeps_of(Operation);
  Merged out;
  const std::uint64_t bound = bound_of(Operation, left.size(), right.size());
  if (bound > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return Error::no_memory();
  if (Status s = out.entries.reserve(static_cast<std::size_t>(bound)); !s) return std::move(s).error();
  const auto take_left = [&] { out.entries.push_reserved(left.entry()); };
  const auto take_right = [&] {
    out.entries.push_reserved(right.entry());
    ++out.from_right;
  };
  Result<bool> walked = walk_runs(left, right, [&](Ordering order) __attribute__((always_inline)) {
    if (order == Ordering::Less) {
      if (keep.left_only) take_left();
      left.next();
    } else if (order == Ordering::Greater) {
      if (keep.right_only) take_right();
      right.next();
    } else {
      if (keep.both) take_left();
      left.next();
      right.next();
    }
    return true;
  });
  if (!walked) return std::move(walked).error();
  for (; keep.left_only && !left.done(); left.next()) take_left();
  for (; keep.right_only && !right.done(); right.next()) take_right();
  return out;
}

template <class Right>
Result<UnionPlan> plan_runs(TreeRun left, Right right) {
  UnionPlan out;
  const std::uint64_t bound = left.size() + right.size();
  if (bound > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return Error::no_memory();
  if (Status s = out.order.reserve(static_cast<std::size_t>(bound)); !s) return std::move(s).error();
  if (Status s = out.incoming.reserve(static_cast<std::size_t>(right.size())); !s) return std::move(s).error();
  const auto take_left = [&] { out.order.push_reserved(left.node()); };
  const auto take_right = [&] {
    out.order.push_reserved(nullptr);
    out.incoming.push_reserved(PythonAvlTree::Incoming{right.entry(), right.key().native});
  };
  Result<bool> walked = walk_runs(left, right, [&](Ordering order) __attribute__((always_inline)) {
    if (order == Ordering::Greater) {
      take_right();
      right.next();
    } else {
      take_left();
      left.next();
      if (order == Ordering::Equal) right.next();
    }
    return true;
  });
  if (!walked) return std::move(walked).error();
  for (; !left.done(); left.next()) take_left();
  for (; !right.done(); right.next()) take_right();
  return out;
}

template <class Left, class Right>
Result<Merged> merge_any(SetOperation operation, Left left, Right right) {
  switch (operation) {
    case SetOperation::Union:
      return merge_runs<SetOperation::Union>(std::move(left), std::move(right));
    case SetOperation::Intersection:
      return merge_runs<SetOperation::Intersection>(std::move(left), std::move(right));
    case SetOperation::Difference:
      return merge_runs<SetOperation::Difference>(std::move(left), std::move(right));
    case SetOperation::SymmetricDifference:
      break;
  }
  return merge_runs<SetOperation::SymmetricDifference>(std::move(left), std::move(right));
}

// Whether every key of the run on the `part` side compares Equal to a key of
// the other run; the left run's key stays the left operand either way.
enum class Part { Left, Right };

// Without a comparison when the part is the longer run.
template <Part P>
bool too_long(std::uint64_t left, std::uint64_t right) {
  return P == Part::Left ? left > right : right > left;
}

template <Part P, class Left, class Right>
Result<bool> includes(Left left, Right right) {
  Result<bool> walked = walk_runs(left, right, [&](Ordering order) __attribute__((always_inline)) {
    if (order == Ordering::Less) {
      if (P == Part::Left) return false;  // a key of the left run the right one lacks
      left.next();
    } else if (order == Ordering::Greater) {
      if (P == Part::Right) return false;
      right.next();
    } else {
      left.next();
      right.next();
    }
    return true;
  });
  if (!walked) return std::move(walked).error();
  if (!walked.value()) return false;
  return P == Part::Left ? left.done() : right.done();
}

template <class Left, class Right>
Result<bool> disjoint(Left left, Right right) {
  // True unless a turn found two keys Equal.
  return walk_runs(left, right, [&](Ordering order) __attribute__((always_inline)) {
    if (order == Ordering::Equal) return false;
    if (order == Ordering::Less)
      left.next();
    else
      right.next();
    return true;
  });
}

}  // namespace

Result<Merged> merge(SetOperation operation, const PythonAvlTree& left, const PythonAvlTree& right) {
  return merge_any(operation, TreeRun(left), TreeRun(right));
}

Result<Merged> merge(SetOperation operation, const PythonAvlTree& left, const SortedEntries& right) {
  return merge_any(operation, TreeRun(left), SortedRun(right));
}

Result<UnionPlan> plan_union(const PythonAvlTree& left, const PythonAvlTree& right) {
  return plan_runs(TreeRun(left, false), TreeRun(right));
}

Result<UnionPlan> plan_union(const PythonAvlTree& left, const SortedEntries& right) {
  return plan_runs(TreeRun(left, false), SortedRun(right));
}

Result<bool> is_subset(const PythonAvlTree& left, const PythonAvlTree& right) {
  if (too_long<Part::Left>(left.len(), right.len())) return false;
  return includes<Part::Left>(TreeRun(left), TreeRun(right));
}

Result<bool> is_subset(const PythonAvlTree& left, const SortedEntries& right) {
  if (too_long<Part::Left>(left.len(), right.size())) return false;
  return includes<Part::Left>(TreeRun(left), SortedRun(right));
}

Result<bool> is_superset(const PythonAvlTree& left, const PythonAvlTree& right) {
  if (too_long<Part::Right>(left.len(), right.len())) return false;
  return includes<Part::Right>(TreeRun(left), TreeRun(right));
}

Result<bool> is_superset(const PythonAvlTree& left, const SortedEntries& right) {
  if (too_long<Part::Right>(left.len(), right.size())) return false;
  return includes<Part::Right>(TreeRun(left), SortedRun(right));
}

Result<bool> is_disjoint(const PythonAvlTree& left, const PythonAvlTree& right) {
  return disjoint(TreeRun(left), TreeRun(right));
}

Result<bool> is_disjoint(const PythonAvlTree& left, const SortedEntries& right) {
  return disjoint(TreeRun(left), SortedRun(right));
}

}  // namespace quorvel
