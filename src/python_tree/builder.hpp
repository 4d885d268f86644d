// The linear-time builder from sorted entries, used to rebuild pickled trees.
#pragma once

#include <cstddef>

#include "python_tree/traversal.hpp"
#include "python_tree/tree.hpp"

namespace quorvel {

// Reads entries front to back, moving each out as it is taken.
class EntryCursor {
 public:
  explicit EntryCursor(EntrySnapshot& entries) noexcept : entries_(entries) {}
  bool exhausted() const noexcept { return next_ == entries_.size(); }
  Entry take() noexcept { return std::move(entries_[next_++]); }

 private:
  EntrySnapshot& entries_;
  std::size_t next_ = 0;
};

// The root of a subtree holding the next `count` entries of the cursor, in order.
Result<Node*> build_balanced_py(EntryCursor& cursor, std::size_t count);

// A tree whose in-order sequence is exactly `entries`, of minimal height,
// built without a single comparison: the order is trusted, not checked.
Result<PythonAvlTree> from_sorted(EntrySnapshot&& entries);

}  // namespace quorvel
