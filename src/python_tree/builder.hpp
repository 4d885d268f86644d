// The linear-time builder from sorted entries, used to rebuild pickled trees.
#pragma once

#include "python_tree/traversal.hpp"
#include "python_tree/tree.hpp"

namespace quorvel {

// A tree whose in-order sequence is exactly `entries`, of minimal height,
// built without a single comparison: the order is trusted, not checked.
Result<PythonAvlTree> from_sorted(EntrySnapshot&& entries);

}  // namespace quorvel
