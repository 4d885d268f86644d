#include "python_tree/builder.hpp"

namespace quorvel {

Result<Node*> build_balanced_py(EntryCursor& cursor, std::size_t count) {
  if (count == 0) return static_cast<Node*>(nullptr);
  // The left side takes floor(count / 2), so the root is the upper middle entry.
  const std::size_t left_count = count / 2;
  Result<Node*> left = build_balanced_py(cursor, left_count);
  if (!left) return left;
  if (cursor.exhausted()) {
    destroy_subtree(left.value());
    throw Fault("iterator must supply exactly n entries");
  }
  Entry entry = cursor.take();
  Result<Node*> right = build_balanced_py(cursor, count - 1 - left_count);
  if (!right) {
    destroy_subtree(left.value());
    return right;
  }
  const NativeKey native = NativeKey::of(entry.key.get());
  Result<Node*> made = Node::make(std::move(entry), native);
  if (!made) {
    destroy_subtree(left.value());
    destroy_subtree(right.value());
    return made;
  }
  Node* node = made.value();
  set_left(node, left.value());
  set_right(node, right.value());
  return node;
}

Result<PythonAvlTree> from_sorted(EntrySnapshot&& entries) {
  EntrySnapshot owned(std::move(entries));
  const std::size_t count = owned.size();
  EntryCursor cursor(owned);
  Result<Node*> root = build_balanced_py(cursor, count);
  if (!root) return std::move(root).error();
  // Entries the builder did not take (none, when it ran to the end) are
  // released with `owned`, and its storage is freed.
  return PythonAvlTree(root.value(), count);
}

}  // namespace quorvel
