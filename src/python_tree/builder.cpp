#include "python_tree/builder.hpp"

namespace quorvel {

Result<PythonAvlTree> from_sorted(EntrySnapshot&& entries) {
  // Entries the builder did not take (all of them, after an error) are
  // released with `owned`, front to back, and its storage is freed.
  EntrySnapshot owned(std::move(entries));
  PythonAvlTree tree;
  if (Status s = tree.assign_sorted(owned); !s) return std::move(s).error();
  return tree;
}

}  // namespace quorvel
