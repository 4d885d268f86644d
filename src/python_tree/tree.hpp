// The AVL tree over (value, key) entries.
//
// The engine knows nothing of key rules: callers derive keys before they call
// it.  It calls back into the interpreter only to compare keys (compare) and
// to add or release references.  Every comparison of an insertion or removal
// happens on the way down, before anything is relinked, so a failed
// comparison leaves the tree exactly as it was.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "python_tree/compare.hpp"
#include "python_tree/pool.hpp"
#include "support/error.hpp"
#include "support/memory.hpp"
#include "support/ref.hpp"

namespace quorvel {

// Storage from which descents read two levels ahead: below it the tree
// mostly stays in cache, where the extra loads cost more than they save
// (measured at 10**5 entries).  A testing build can move it.
#ifdef QUORVEL_TESTING
extern std::uint64_t deep_descents_from;
#else
inline constexpr std::uint64_t deep_descents_from = std::uint64_t{1} << 18;
#endif

// Which of the key families whose comparisons never run interpreter code or
// fail a key belongs to: exact ints (within 64 bits) and floats other than
// NaN compare among themselves natively, and so do exact strs.
enum class PlainFamily : std::uint8_t { None, Number, String };

inline PlainFamily plain_family(const NativeKey& key) noexcept {
  if (key.kind == kNativeInt || (key.kind == kNativeFloat && !is_nan(key))) return PlainFamily::Number;
  return key.kind == kNativeStr ? PlainFamily::String : PlainFamily::None;
}

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

// A stack as deep as the longest path from the root, held in place: the
// iterative walks keep their pending nodes in one.  Overflowing it means the
// tree is broken.  A tree holds fewer than 2**32 nodes (NodeIndex), and an
// AVL tree of height h has at least F(h + 2) - 1 (Fibonacci), so it is at
// most 45 levels deep.  Small, a reading's cursor fits the interpreter's
// small-object allocator.
template <class T>
class PathStack {
 public:
  static constexpr int kCapacity = 48;
  static_assert(sizeof(NodeIndex) == 4, "the capacity assumes fewer than 2**32 nodes");

  PathStack() noexcept = default;
  // Copies only the items in use: a cursor is copied whole into a reading.
  PathStack(const PathStack& other) noexcept : depth_(other.depth_) {
    std::copy_n(other.items_, depth_, items_);
  }
  PathStack& operator=(const PathStack& other) noexcept {
    if (this == &other) return *this;
    depth_ = other.depth_;
    std::copy_n(other.items_, depth_, items_);
    return *this;
  }

  void push(T item) {
    if (depth_ == kCapacity) throw Fault("tree deeper than an AVL tree can be");
    items_[depth_++] = item;
  }
  // For a walk whose length the caller has bounded by the tree's height.
  void push_within(T item) noexcept { items_[depth_++] = item; }
  T pop() noexcept { return items_[--depth_]; }
  bool empty() const noexcept { return depth_ == 0; }
  int depth() const noexcept { return depth_; }
  // Bottom first: item 0 was pushed first.
  T& operator[](int i) noexcept { return items_[i]; }
  const T& operator[](int i) const noexcept { return items_[i]; }

 private:
  T items_[kCapacity];
  int depth_ = 0;
};

// The tree's invariants, which every operation keeps and the testing build's
// check verifies:
// - order: for every node, each key in its left subtree compares Less than
//   its key and each key in its right subtree Greater;
// - uniqueness: no two stored keys compare Equal (an insertion of an Equal
//   key keeps the stored entry);
// - balance: the heights of a node's two subtrees differ by at most one;
// - recorded lean: each node records which subtree is the taller (or
//   neither), and the tree records its own height (0 when empty);
// - len: the number of nodes reachable from the root, each slot of the pool
//   either reachable exactly once or on the free list;
// - positions: each node's `before` is the number of nodes in its left
//   subtree; the tree records its first and last node, and how many of its
//   keys are plain numbers and plain strings (plain_key_family).
//
// What each operation costs, n entries, h <= 1.44 log2(n + 2) levels:
// - insert: h comparisons, O(h) lean and position updates, the lean updates stopping early,
//   <= 1 rotation, amortised O(1) storage.
// - remove: h comparisons, O(h) lean and position updates, <= h rotations, amortised O(1) compaction.
// - remove_at, value_at: h steps and no comparison; rank: h comparisons.
// - find: h comparisons; first, last, len, height: O(1).
// - clear, destruction: O(n), each reference released once; reserve, trim: O(count / 4096) blocks.
// - snapshots (traversal.hpp): O(n) for full walks, O(h + values taken) for bounded ones.
//
/* A rotation moves one node up over its parent; the middle subtree changes
   sides, every other subtree keeps its place:

          x                   l                  x                   r
         / \    right(x)     / \                / \     left(x)     / \
        l   c   ------->    a   x              a   r    ------->   x   c
       / \                     / \                / \             / \
      a   b                   b   c              b   c           a   b

   Removing a node x with two children splices its in-order successor s (the
   leftmost node of its right subtree) into x's place, with x's children and
   lean; s's own right subtree t takes s's old place:

          x                   s
         / \                 / \
        a   r               a   r
           / \                 / \
          s   c               t   c
           \
            t
*/
class PythonAvlTree {
 public:
  PythonAvlTree() noexcept = default;
  PythonAvlTree(PythonAvlTree&& other) noexcept { swap(other); }
  PythonAvlTree& operator=(PythonAvlTree&&) = delete;
  PythonAvlTree(const PythonAvlTree&) = delete;
  ~PythonAvlTree() { clear(); }

  std::uint64_t len() const noexcept { return len_; }
  unsigned height() const noexcept { return height_; }

  // Exchanges the whole contents of two trees; nothing is released.
  void swap(PythonAvlTree& other) noexcept {
    std::swap(pool_, other.pool_);
    std::swap(root_, other.root_);
    std::swap(first_, other.first_);
    std::swap(last_, other.last_);
    std::swap(len_, other.len_);
    std::swap(height_, other.height_);
    std::swap(compact_below_, other.compact_below_);
    std::swap(plain_counts_, other.plain_counts_);
    std::swap(misordered_, other.misordered_);
    note_change();
    other.note_change();
  }

  // Stores the entry: true, or false for a duplicate key (the entry is then
  // released and the stored one stays).  On an exception the entry is
  // released and the tree is unchanged.  `path_loaded`: the caller has
  // loaded the path already (prefetch_descents), so the descent does not
  // read ahead itself.
  Result<bool> insert(Entry&& entry, bool path_loaded = false);
  // Room for `count` more entries, with a value slot for every node if any
  // of them has a key of its own, so that that many insert_at calls cannot
  // fail; MemoryError (or OverflowError past 2**32 - 1 entries) with the
  // entries unchanged otherwise.
  Status prepare_insertions(std::uint64_t count, bool separate_keys);
  // Stores an entry at a position (0 to len()) that the caller found by rank,
  // with no comparison, in room prepare_insertions made: the tree is then as
  // insert would leave it.
  void insert_at(std::uint64_t position, Entry&& entry);
  // Removes the entry whose key compares Equal.  Its references are released
  // only once the whole tree is consistent again.
  Result<bool> remove(const KeyView& key);
  // Removes the entry at a position (0 is the smallest key, below len()),
  // without a comparison, and hands it to the caller, who releases it.
  Entry remove_at(std::uint64_t position);
  // The stored value (borrowed) whose key compares Equal to the probe, or null.
  Result<PyObject*> find(const KeyView& key) const;

  // Where a probe key stands: how many stored keys compare Less than it, and
  // whether one compares Equal.  One descent, the probe the left operand.
  struct Rank {
    std::uint64_t below;
    bool found;
  };
  Result<Rank> rank(const KeyView& key) const;
  // The node at a position (below len()), found without a comparison.
  const Node* node_at(std::uint64_t position) const noexcept;

  // Starts loading the nodes that descents for these keys would pass through
  // in the tree as it is now.  The descents go a level at a time, all of
  // them together, so that their cache misses overlap instead of waiting on
  // each other.  A hint only: it changes nothing and calls nothing, and a
  // descent stops at the first pair of keys that does not compare natively.
  static constexpr int kMaxDescents = 16;
  void prefetch_descents(const KeyView* keys, int count) const noexcept;

  // The values with the smallest and largest keys (borrowed), or null.
  PyObject* first() const noexcept { return first_ == kNoNode ? nullptr : value_of(pool_.at(first_)); }
  PyObject* last() const noexcept { return last_ == kNoNode ? nullptr : value_of(pool_.at(last_)); }

  // Whether every key of the tree and every given bound (null: absent)
  // belong to one plain family, so that any comparison among them is made
  // natively: it runs no interpreter code and cannot fail, and a walk may
  // make such comparisons in any order, or not at all, unobservably.  A tree
  // built from a trusted order that its plain keys contradict does not: its
  // walks find what their comparisons say, which no rank can tell.
  bool compares_plainly(const KeyView* start, const KeyView* end) const noexcept;

  // Room for `count` more entries without growing the storage: a hint that
  // spares growth steps and spare room when the count is known.  An empty
  // tree takes the node size for entries with or without a key of their
  // own.  trim() gives back what such a hint reserved and no entry took.
  void reserve(std::uint64_t count, bool separate_keys) noexcept {
    if (!pool_.has_storage()) pool_.set_keyed(separate_keys);
    pool_.reserve(count);
  }
  void trim() noexcept { pool_.trim(); }
  // Moves the nodes into storage of exactly `len` slots, in key order, so
  // that ordered walks read it front to back: O(n), no comparison; shape and
  // entries stay.  A hint: without the memory the nodes stay where they are.
  void lay_out_in_order() {
    if (!compact()) pool_.trim();
  }

  // Builds the tree of `entries`, in that order, into an empty tree with
  // minimal height and no comparison: the order is trusted, not checked.
  // On MemoryError nothing was taken from `entries`.
  Status assign_sorted(Vec<Entry>& entries);

  // An entry that joins a tree rebuilt in place, with references of its
  // own, and its key's native copy.
  struct Incoming {
    Entry entry;
    NativeKey native;
  };
  // Rebuilds the tree as `order` says, as assign_sorted does: ascending, each
  // item a node of the tree as it stands (every one of them), or null for
  // the next of `incoming`.  No comparison is made, and the objects of the
  // tree's entries are not touched: their references move as they are.  On
  // MemoryError nothing changed and nothing was taken from `incoming`.
  Status rebuild_with(const Vec<const Node*>& order, Vec<Incoming>& incoming);

  // Empties the tree, then releases what it held.
  void clear() noexcept;

  // Visits each stored value, then its key (for a tree whose keys are its
  // values, the one object twice: the entry holds two references).
  int traverse(visitproc visit, void* arg) const;

  // Read access for the walks.  Node pointers stay valid until the tree
  // next changes.
  const Node* root() const noexcept { return node_or_null(root_); }
  const Node* left_of(const Node* node) const noexcept { return node_or_null(node->left); }
  const Node* right_of(const Node* node) const noexcept { return node_or_null(node->right); }
  PyObject* value_of(const Node* node) const noexcept {
    return pool_.keyed() ? static_cast<const KeyedNode*>(node)->value : node->key_object();
  }
  // Asks for what a descent from `node` reads next, as the keyed descents
  // do: its children and, from deep_descents_from slots on, theirs.
  [[gnu::always_inline]] void prefetch_below(const Node* node) const noexcept {
    const auto slot = [this](NodeIndex index) { return pool_.at(index); };
    const Node* const left = slot(node->left);
    const Node* const right = slot(node->right);
    quorvel::prefetch_node(left);
    quorvel::prefetch_node(right);
    if (pool_.end() >= deep_descents_from) prefetch_grandchildren(slot, node, left, right);
  }
  // While the nodes lie in key order (a build or compaction placed them, and
  // no entry came or went since), the node at a position, read straight
  // from its slot; null otherwise, and the caller descends.
  bool in_key_order() const noexcept { return pool_.in_key_order(); }
  const Node* placed_at(std::uint64_t position) const noexcept {
    return pool_.in_key_order() ? pool_.at(static_cast<NodeIndex>(position + 1)) : nullptr;
  }
  // Asks for a whole node, its value slot included.
  [[gnu::always_inline]] void prefetch_node(const Node* node) const noexcept {
    quorvel::prefetch_node(node, pool_.stride());
  }

  // The tree's storage in bytes per slot, slots with storage, and free slots.
  std::size_t node_size() const noexcept { return pool_.stride(); }
  std::uint64_t slots() const noexcept { return pool_.capacity(); }

#ifdef QUORVEL_TESTING
  // Verifies every invariant above and the pool's accounting, natively and
  // without calling the interpreter: AssertionError says what is broken.
  // Without `order`, the order of keys is not checked: comparisons that lie
  // can leave even native keys out of order.
  Status check_invariants(bool order) const;
  // How many times the tree changed: readings that lend from the tree check
  // that it did not change under them.
  std::uint64_t changes() const noexcept { return changes_; }
  // Counts a change that did not happen: the readings' check must catch it.
  void pretend_change() noexcept { note_change(); }
#endif

  // One step of a descent: the node passed and the side taken (true: right).
  struct Step {
    NodeIndex node;
    bool right;
  };
  using Path = PathStack<Step>;

 private:
  const Node* node_or_null(NodeIndex index) const noexcept { return index ? pool_.at(index) : nullptr; }
  // Fills slot `slot` with the entry and links it below the end of `path`,
  // whose nodes have counted it already; then rebalances.
  void link(Path& path, NodeIndex slot, std::uint64_t key_word, const KeyView& key, Entry&& entry);
  // Takes the node at the end of `path` (the path leading to it, without it)
  // out of the tree and rebalances: the entry is handed to the caller.  The
  // first `counted` nodes of the path have counted the removal already.
  Entry unlink(Path& path, NodeIndex at, int counted);
  // After a removal from an end: asks for what the next removals from it
  // read.  Always inlined, as every helper that only prefetches (pool.hpp).
  [[gnu::always_inline]] void prefetch_next_ends(const Path& path, bool back) const noexcept;
  // Moves every node into new storage of exactly `len` slots, in key order;
  // the shape and every entry stay.  On MemoryError nothing changed.
  Status compact();
  // After a removal: compacts the storage once it is mostly free.
  void maybe_compact();
  void release_all(NodePool& pool, NodeIndex root) noexcept;
  // What an in-order build puts in a slot: the key and the value, borrowed.
  // The build asks for them, and then for the entries moved in, in ascending order.
  struct Placement {
    KeyView key;
    std::uint64_t key_word;  // the key's word as a node holds it (any lean)
    PyObject* value;
  };
  template <class Placed, class MovedIn>
  Status build_in_order(std::size_t count, bool keyed, Placed&& placed, MovedIn&& moved_in);
  // The first and last nodes, found again after they changed.
  void find_ends() noexcept;
  void count_key(const NativeKey& key, std::int64_t step) noexcept {
    const PlainFamily family = plain_family(key);
    if (family != PlainFamily::None) plain_counts_[family == PlainFamily::String] += step;
  }
  void note_change() noexcept {
#ifdef QUORVEL_TESTING
    ++changes_;
#endif
  }

  NodePool pool_;
  NodeIndex root_ = kNoNode;
  NodeIndex first_ = kNoNode;
  NodeIndex last_ = kNoNode;
  std::uint64_t len_ = 0;
  unsigned height_ = 0;
  std::uint64_t compact_below_ = UINT64_MAX;  // lowered after a compaction could not get memory
  std::uint64_t plain_counts_[2] = {0, 0};    // keys of the plain number and string families
  bool misordered_ = false;                    // built from a trusted order that plain keys show false
#ifdef QUORVEL_TESTING
  std::uint64_t changes_ = 0;
#endif
};

template <>
inline constexpr bool is_relocatable<PythonAvlTree::Incoming> = true;

}  // namespace quorvel
