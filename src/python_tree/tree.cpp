#include "python_tree/tree.hpp"

#include <algorithm>
#include <new>

#include "support/memory.hpp"

namespace quorvel {
namespace {

// Records the new height of the subtree on the side that changed.
void refresh_height(Node* node, bool left) noexcept {
  if (left)
    node->left_height = static_cast<std::uint8_t>(height_of(node->left));
  else
    node->right_height = static_cast<std::uint8_t>(height_of(node->right));
}

// Which child a descent takes is known only after the comparison, and the
// branch is a coin toss; asking for both children as soon as the node is in
// hand overlaps the next level's cache miss with the comparison.
inline void prefetch_children(const Node* node) noexcept {
  __builtin_prefetch(node->left);
  __builtin_prefetch(node->right);
}

int balance_of(const Node* node) noexcept {
  return static_cast<int>(node->left_height) - static_cast<int>(node->right_height);
}

}  // namespace

Result<Node*> Node::make(Entry&& entry, NativeKey native) {
  Entry owned(std::move(entry));
  void* memory = mem_alloc(sizeof(Node));
  if (memory == nullptr) return Error::no_memory();  // `owned` is released after the error is taken
  Node* node = new (memory) Node;
  node->entry = std::move(owned);
  node->native_bits = native.bits;
  node->native_kind = native.kind;
  return node;
}

void Node::destroy(Node* node) noexcept {
  node->~Node();
  mem_free(node);
}

void destroy_subtree(Node* node) noexcept {
  // Recurse into the left child, loop along the right: depth stays within the height.
  while (node != nullptr) {
    Node* left = node->left;
    Node* right = node->right;
    Node::destroy(node);
    destroy_subtree(left);
    node = right;
  }
}

// A rotation updates the recorded heights of the two nodes it moves only.
Node* rotate_left(Node* node) {
  Node* right = node->right;
  if (right == nullptr) throw Fault("left rotation needs a right child");
  node->right = right->left;
  node->right_height = right->left_height;
  set_left(right, node);
  return right;
}

Node* rotate_right(Node* node) {
  Node* left = node->left;
  if (left == nullptr) throw Fault("right rotation needs a left child");
  node->left = left->right;
  node->left_height = left->right_height;
  set_right(left, node);
  return left;
}

Node* rebalance(Node* node) {
  const int balance = balance_of(node);
  if (balance > 1) {
    // A balanced taller child (only after a removal) gets a single rotation.
    if (balance_of(node->left) < 0) set_left(node, rotate_left(node->left));
    return rotate_right(node);
  }
  if (balance < -1) {
    if (balance_of(node->right) > 0) set_right(node, rotate_right(node->right));
    return rotate_left(node);
  }
  return node;
}

namespace {

// The slots passed on the way down, root first: slot i holds the node at depth i.
using Path = PathStack<Node**>;

// After the subtree at `changed` grew or shrank, walks back up the path,
// recording heights and rebalancing.  Once a node's recorded height for the
// changed side is what it was, neither its balance nor its own height moved,
// so nothing above it can change either and the walk stops: every node
// further up would be left exactly as it is.
inline void retrace(Path& path, Node** changed) {
  for (int i = path.depth() - 1; i >= 0; --i) {
    Node* node = *path[i];
    const bool left = changed == &node->left;
    const std::uint8_t before = left ? node->left_height : node->right_height;
    refresh_height(node, left);
    if ((left ? node->left_height : node->right_height) == before) return;
    *path[i] = rebalance(node);
    changed = path[i];
  }
}

}  // namespace

Result<bool> PythonAvlTree::insert(Entry&& entry) {
  const KeyView key = KeyView::of(entry.key.get());
  Path path;
  Node** slot = &root_;
  while (Node* node = *slot) {
    prefetch_children(node);
    Result<Ordering> order = compare(key, node->key());
    if (!order) {
      Entry dropped(std::move(entry));
      return std::move(order).error();
    }
    if (order.value() == Ordering::Equal) {
      Entry duplicate(std::move(entry));  // the stored entry stays as it is
      return false;
    }
    path.push(slot);
    slot = order.value() == Ordering::Less ? &node->left : &node->right;
  }
  Result<Node*> made = Node::make(std::move(entry), key.native);
  if (!made) return std::move(made).error();
  *slot = made.value();
  ++len_;
  retrace(path, slot);
  return true;
}

Result<bool> PythonAvlTree::remove(const KeyView& key) {
  Path path;
  Node** slot = &root_;
  Node* node;
  for (;;) {
    node = *slot;
    if (node == nullptr) return false;
    prefetch_children(node);
    Result<Ordering> order = compare(key, node->key());
    if (!order) return std::move(order).error();
    if (order.value() == Ordering::Equal) break;
    path.push(slot);
    slot = order.value() == Ordering::Less ? &node->left : &node->right;
  }
  Node** changed = slot;
  if (node->left == nullptr || node->right == nullptr) {
    *slot = node->left != nullptr ? node->left : node->right;
  } else {
    // The in-order successor takes the node's place, never the predecessor.
    // It moves up first, with the node's children and their heights, and
    // is then detached from the bottom of the right subtree's left spine.
    path.push(slot);
    const int spine = path.depth();
    Node** min_slot = &node->right;
    while ((*min_slot)->left != nullptr) {
      path.push(min_slot);
      min_slot = &(*min_slot)->left;
    }
    Node* successor = *min_slot;
    *min_slot = successor->right;
    successor->left = node->left;
    successor->left_height = node->left_height;
    successor->right = node->right;
    successor->right_height = node->right_height;
    *slot = successor;
    // The slot that held the right subtree now lives in the successor.
    if (path.depth() > spine)
      path[spine] = &successor->right;
    else
      min_slot = &successor->right;
    changed = min_slot;
  }
  set_left(node, nullptr);
  set_right(node, nullptr);
  --len_;
  retrace(path, changed);
  // Finalisers of the removed value and key find the tree consistent.
  Node::destroy(node);
  return true;
}

Result<const Node*> PythonAvlTree::find(const KeyView& key) const {
  const Node* node = root_;
  while (node != nullptr) {
    prefetch_children(node);
    Result<Ordering> order = compare(key, node->key());
    if (!order) return std::move(order).error();
    switch (order.value()) {
      case Ordering::Equal:
        return node;
      case Ordering::Less:
        node = node->left;
        break;
      case Ordering::Greater:
        node = node->right;
        break;
    }
  }
  return static_cast<const Node*>(nullptr);
}

void PythonAvlTree::prefetch_descents(const KeyView* keys, int count) const noexcept {
  const Node* at[kMaxDescents];
  count = std::min(count, kMaxDescents);
  std::fill(at, at + count, root_);
  for (bool moving = root_ != nullptr; moving;) {
    moving = false;
    for (int i = 0; i < count; ++i) {
      const Node* node = at[i];
      if (node == nullptr) continue;
      const KeyView stored = node->key();
      const Node* next = nullptr;
      if (compares_natively(keys[i].native, stored.native)) {
        Result<Ordering> order = compare(keys[i], stored);
        const int side = order ? static_cast<int>(order.value()) : 0;
        // Chosen without a branch: which way each descent turns is a coin toss.
        const Node* const children[2] = {node->left, node->right};
        next = children[side > 0];
        next = side == 0 ? nullptr : next;
      }
      __builtin_prefetch(next);  // a prefetch of null is harmless
      moving |= next != nullptr;
      at[i] = next;
    }
  }
}

const Node* PythonAvlTree::first() const noexcept {
  const Node* node = root_;
  while (node != nullptr && node->left != nullptr) node = node->left;
  return node;
}

const Node* PythonAvlTree::last() const noexcept {
  const Node* node = root_;
  while (node != nullptr && node->right != nullptr) node = node->right;
  return node;
}

int PythonAvlTree::traverse(visitproc visit, void* arg) const {
  // Recurses into the left child and loops along the right, so the depth
  // stays within the height.
  const auto walk = [&](const auto& self, const Node* node) -> int {
    for (; node != nullptr; node = node->right) {
      Py_VISIT(node->entry.value.get());
      Py_VISIT(node->entry.key.get());
      if (const int stop = self(self, node->left)) return stop;
    }
    return 0;
  };
  return walk(walk, root_);
}

void PythonAvlTree::clear() noexcept {
  Node* old = std::exchange(root_, nullptr);
  len_ = 0;
  destroy_subtree(old);
}

}  // namespace quorvel
