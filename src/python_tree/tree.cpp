#include "python_tree/tree.hpp"

#include <algorithm>
#include <new>

#include "support/memory.hpp"

namespace quorvel {
namespace {

void update_height(Node* node) noexcept {
  node->height = static_cast<std::uint8_t>(1 + std::max(height_of(node->left), height_of(node->right)));
}

int balance_of(const Node* node) noexcept {
  return static_cast<int>(height_of(node->left)) - static_cast<int>(height_of(node->right));
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

Node* rotate_left(Node* node) {
  Node* right = node->right;
  if (right == nullptr) throw Fault("left rotation needs a right child");
  node->right = right->left;
  update_height(node);
  right->left = node;
  right->height = static_cast<std::uint8_t>(1 + std::max<unsigned>(node->height, height_of(right->right)));
  return right;
}

Node* rotate_right(Node* node) {
  Node* left = node->left;
  if (left == nullptr) throw Fault("right rotation needs a left child");
  node->left = left->right;
  update_height(node);
  left->right = node;
  left->height = static_cast<std::uint8_t>(1 + std::max<unsigned>(height_of(left->left), node->height));
  return left;
}

Node* rebalance(Node* node) {
  update_height(node);
  const int balance = balance_of(node);
  if (balance > 1) {
    // A balanced taller child (only after a removal) gets a single rotation.
    if (balance_of(node->left) < 0) node->left = rotate_left(node->left);
    return rotate_right(node);
  }
  if (balance < -1) {
    if (balance_of(node->right) > 0) node->right = rotate_right(node->right);
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
  Node*& child = order.value() == Ordering::Less ? node->left : node->right;
  Result<bool> inserted = insert_at(child, std::move(entry), key);
  if (!inserted || !inserted.value()) return inserted;
  // Every node on the way back up is rebalanced; there is no early stop.
  slot = rebalance(node);
  return true;
}

std::pair<Node*, Node*> take_min(Node* node) {
  if (node->left != nullptr) {
    auto [rest, minimum] = take_min(node->left);
    node->left = rest;
    return {rebalance(node), minimum};
  }
  Node* right = node->right;
  node->right = nullptr;
  return {right, node};
}

Result<bool> remove_at(Node*& slot, const KeyView& key, Node*& removed) {
  Node* node = slot;
  if (node == nullptr) return false;
  Result<Ordering> order = compare(key, node->key());
  if (!order) return std::move(order).error();
  if (order.value() != Ordering::Equal) {
    Node*& child = order.value() == Ordering::Less ? node->left : node->right;
    Result<bool> done = remove_at(child, key, removed);
    if (!done || !done.value()) return done;
    slot = rebalance(node);
    return true;
  }
  Node* left = std::exchange(node->left, nullptr);
  Node* right = std::exchange(node->right, nullptr);
  if (left == nullptr) {
    slot = right;
  } else if (right == nullptr) {
    slot = left;
  } else {
    // The in-order successor takes the node's place, never the predecessor.
    auto [rest, successor] = take_min(right);
    successor->left = left;
    successor->right = rest;
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
