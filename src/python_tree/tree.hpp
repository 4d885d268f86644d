// The AVL tree over (value, key) entries.
//
// The engine knows nothing of key rules: callers derive keys before they call
// it.  It calls back into the interpreter only to compare keys (compare) and
// to add or release references.  Every comparison of an insertion or removal
// happens on the way down, before anything is relinked, so a failed
// comparison leaves the tree exactly as it was.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "python_tree/compare.hpp"
#include "support/error.hpp"
#include "support/memory.hpp"
#include "support/ref.hpp"

namespace quorvel {

// One stored item.  For a tree without key rule both are the same object.
struct Entry {
  Ref value;
  Ref key;

  Entry() noexcept = default;
  Entry(Ref v, Ref k) noexcept : value(std::move(v)), key(std::move(k)) {}
  Entry(Entry&&) noexcept = default;
  Entry& operator=(Entry&&) noexcept = default;
  // The value is released before the key.
  ~Entry() {
    value.reset();
    key.reset();
  }
};

template <>
inline constexpr bool is_relocatable<Entry> = true;

// A node keeps the heights of its two subtrees rather than its own: on the
// way back up from an insertion or removal, rebalancing then reads only the
// nodes on the path, never the sibling subtree (one cache miss per level
// saved).  Its own height is 1 + the larger of the two.
struct Node {
  Node* left = nullptr;   // keys that compared Less
  Node* right = nullptr;  // keys that compared Greater
  Entry entry;
  std::uint64_t native_bits = 0;  // NativeKey of entry.key, split to keep the node at 48 bytes
  std::uint8_t native_kind = kNoNative;
  // AVL heights stay far below 255 (about 93 for 2**64 nodes).
  std::uint8_t left_height = 0;
  std::uint8_t right_height = 0;

  KeyView key() const noexcept { return KeyView{entry.key.get(), NativeKey{native_bits, native_kind}}; }

  // A new leaf owning the entry, or MemoryError (the entry is then released).
  static Result<Node*> make(Entry&& entry, NativeKey native);
  // Releases one detached node: value, then key, then the memory.
  static void destroy(Node* node) noexcept;
};

// h(x): the height of a subtree, 0 when empty.
inline unsigned height_of(const Node* node) noexcept {
  return node ? 1u + (node->left_height > node->right_height ? node->left_height : node->right_height) : 0u;
}

// Links `child` as the left or right subtree and records its height.
inline void set_left(Node* node, Node* child) noexcept {
  node->left = child;
  node->left_height = static_cast<std::uint8_t>(height_of(child));
}
inline void set_right(Node* node, Node* child) noexcept {
  node->right = child;
  node->right_height = static_cast<std::uint8_t>(height_of(child));
}

// Releases a whole subtree in pre-order: at each node the value, the key,
// then the left subtree, then the right subtree.
void destroy_subtree(Node* node) noexcept;

Node* rotate_left(Node* node);
Node* rotate_right(Node* node);
// Restores the balance of a node whose recorded subtree heights are current.
Node* rebalance(Node* node);

// A stack as deep as the longest path from the root (an AVL tree of 2**64
// nodes is at most 93 levels deep), held in place: the iterative walks keep
// their pending nodes in one.  Overflowing it means the tree is broken.
template <class T>
class PathStack {
 public:
  static constexpr int kCapacity = 96;

  void push(T item) {
    if (depth_ == kCapacity) throw Fault("tree deeper than an AVL tree can be");
    items_[depth_++] = item;
  }
  T pop() noexcept { return items_[--depth_]; }
  bool empty() const noexcept { return depth_ == 0; }
  int depth() const noexcept { return depth_; }
  // Bottom first: item 0 was pushed first.
  T& operator[](int i) noexcept { return items_[i]; }

 private:
  T items_[kCapacity];
  int depth_ = 0;
};

class PythonAvlTree {
 public:
  PythonAvlTree() noexcept = default;
  PythonAvlTree(Node* root, std::uint64_t len) noexcept : root_(root), len_(len) {}
  PythonAvlTree(PythonAvlTree&& other) noexcept
      : root_(std::exchange(other.root_, nullptr)), len_(std::exchange(other.len_, 0)) {}
  PythonAvlTree& operator=(PythonAvlTree&&) = delete;
  PythonAvlTree(const PythonAvlTree&) = delete;
  ~PythonAvlTree() { clear(); }

  const Node* root() const noexcept { return root_; }
  std::uint64_t len() const noexcept { return len_; }
  unsigned height() const noexcept { return height_of(root_); }

  // Stores the entry: true, or false for a duplicate key (the entry is then
  // released and the stored one stays).  On an exception the entry is
  // released and the tree is unchanged.
  Result<bool> insert(Entry&& entry);
  // Removes the entry whose key compares Equal.  Its references are released
  // only once the whole tree is consistent again.
  Result<bool> remove(const KeyView& key);
  // The node whose key compares Equal to the probe, or null.
  Result<const Node*> find(const KeyView& key) const;

  // Starts loading the nodes that descents for these keys would pass through
  // in the tree as it is now.  The descents go a level at a time, all of
  // them together, so that their cache misses overlap instead of waiting on
  // each other.  A hint only: it changes nothing and calls nothing, and a
  // descent stops at the first pair of keys that does not compare natively.
  static constexpr int kMaxDescents = 16;
  void prefetch_descents(const KeyView* keys, int count) const noexcept;

  const Node* first() const noexcept;
  const Node* last() const noexcept;

  // Empties the tree, then releases what it held.
  void clear() noexcept;

  // Calls `visit` on every reference the tree holds, the value and then the
  // key of each node (for a tree without key rule that is one object twice:
  // the node holds two references to it), for the cyclic garbage collector.
  // Stops at and returns the first nonzero result.
  int traverse(visitproc visit, void* arg) const;

 private:
  Node* root_ = nullptr;
  std::uint64_t len_ = 0;
};

}  // namespace quorvel
