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

Result<bool> insert_at(Node*& slot, Entry&& entry, const KeyView& key) {
  if (slot == nullptr) {
    Result<Node*> made = Node::make(std::move(entry), key.native);
    if (!made) return std::move(made).error();
    slot = made.value();
    return true;
  }
  Node* node = slot;
  Result<Ordering> order = compare(key, node->key());
  if (!order) {
    Entry dropped(std::move(entry));
    return std::move(order).error();
  }
  if (order.value() == Ordering::Equal) {
    Entry duplicate(std::move(entry));  // the stored entry stays as it is
    return false;
  }
  const bool left = order.value() == Ordering::Less;
  Result<bool> inserted = insert_at(left ? node->left : node->right, std::move(entry), key);
  if (!inserted || !inserted.value()) return inserted;
  // Every node on the way back up is rebalanced; there is no early stop.
  refresh_height(node, left);
  slot = rebalance(node);
  return true;
}

std::pair<Node*, Node*> take_min(Node* node) {
  if (node->left != nullptr) {
    auto [rest, minimum] = take_min(node->left);
    set_left(node, rest);
    return {rebalance(node), minimum};
  }
  Node* right = node->right;
  set_right(node, nullptr);
  return {right, node};
}

Result<bool> remove_at(Node*& slot, const KeyView& key, Node*& removed) {
  Node* node = slot;
  if (node == nullptr) return false;
  Result<Ordering> order = compare(key, node->key());
  if (!order) return std::move(order).error();
  if (order.value() != Ordering::Equal) {
    const bool left = order.value() == Ordering::Less;
    Result<bool> done = remove_at(left ? node->left : node->right, key, removed);
    if (!done || !done.value()) return done;
    refresh_height(node, left);
    slot = rebalance(node);
    return true;
  }
  Node* left = node->left;
  Node* right = node->right;
  set_left(node, nullptr);
  set_right(node, nullptr);
  if (left == nullptr) {
    slot = right;
  } else if (right == nullptr) {
    slot = left;
  } else {
    // The in-order successor takes the node's place, never the predecessor.
    auto [rest, successor] = take_min(right);
    set_left(successor, left);
    set_right(successor, rest);
    slot = rebalance(successor);
  }
  removed = node;
  return true;
}

Result<bool> PythonAvlTree::insert(Entry&& entry) {
  const KeyView key = KeyView::of(entry.key.get());
  Result<bool> inserted = insert_at(root_, std::move(entry), key);
  if (inserted && inserted.value()) ++len_;
  return inserted;
}

Result<bool> PythonAvlTree::remove(const KeyView& key) {
  Node* removed = nullptr;
  Result<bool> done = remove_at(root_, key, removed);
  if (done && done.value()) {
    --len_;
    // Finalisers of the removed value and key find the tree consistent.
    Node::destroy(removed);
  }
  return done;
}

Result<const Node*> PythonAvlTree::find(const KeyView& key) const {
  const Node* node = root_;
  while (node != nullptr) {
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

void PythonAvlTree::clear() noexcept {
  Node* old = std::exchange(root_, nullptr);
  len_ = 0;
  destroy_subtree(old);
}

}  // namespace quorvel
