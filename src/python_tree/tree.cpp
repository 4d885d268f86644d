#include "python_tree/tree.hpp"

#include <algorithm>
#include <bit>

#include "support/memory.hpp"

namespace quorvel {

#ifdef QUORVEL_TESTING
std::uint64_t deep_descents_from = std::uint64_t{1} << 18;
#endif

namespace {

// A removal compacts storage of at least this many slots once fewer than
// half of them hold entries: the work is paid for by the removals that freed
// them, and a tree never holds much more than twice what it needs.
constexpr std::uint64_t kCompactFrom = 256;

// How far ahead a sorted build asks for the key objects it will read.
constexpr std::size_t kKeyLookAhead = 16;

// Which child a descent takes is known only after the comparison, and the
// branch is a coin toss; asking for both children as soon as the node is in
// hand overlaps the next level's cache miss with the comparison.  The
// descents compute each child's address once, for the prefetch and the step.
[[gnu::always_inline]] inline void prefetch_slot(const NodePool& pool, NodeIndex index) noexcept {
  prefetch_node(pool.at(index), pool.stride());
}

std::uint64_t key_word_of(const KeyView& key) {
  const auto address = reinterpret_cast<std::uintptr_t>(key.object);
  if ((address & ~Node::kAddressMask) != 0) throw Fault("key object outside the addresses a node can hold");
  if (key.native.kind > Node::kKindMask) throw Fault("native key kind does not fit a node");
  return address | key.native.kind;
}

PyObject* value_in(const NodePool& pool, const Node* node) noexcept {
  return pool.keyed() ? static_cast<const KeyedNode*>(node)->value : node->key_object();
}

constexpr Lean tall_side(bool right) noexcept { return right ? kRightTall : kLeftTall; }

// Restores the balance of node `top`, whose subtree on side `heavy` (true:
// right) is two levels taller than the other, by one rotation or two, and
// returns the subtree's new root.  `lowered` tells whether the subtree is
// now a level lower than it was: always after an insertion, and after a
// removal unless the taller child was even.
NodeIndex rebalance(NodePool& pool, NodeIndex top, bool heavy, bool& lowered) {
  Node* x = pool.at(top);
  const NodeIndex up = x->child(heavy);
  if (up == kNoNode) throw Fault(heavy ? "left rotation needs a right child" : "right rotation needs a left child");
  Node* c = pool.at(up);
  const Lean tall = tall_side(heavy);
  const Lean short_side = tall_side(!heavy);
  if (c->lean() == short_side) {
    // The child leans inward: its inner child g rises two levels.
    const NodeIndex middle = c->child(!heavy);
    Node* g = pool.at(middle);
    const Lean g_lean = g->lean();
    // Positions: the nodes whose left subtrees change are g, and c or x.
    if (heavy) {
      c->before -= g->before + 1;
      g->before += x->before + 1;
    } else {
      x->before -= c->before + g->before + 2;
      g->before += c->before + 1;
    }
    c->child(!heavy) = g->child(heavy);
    g->child(heavy) = up;
    x->child(heavy) = g->child(!heavy);
    g->child(!heavy) = top;
    x->set_lean(g_lean == tall ? short_side : kEven);
    c->set_lean(g_lean == short_side ? tall : kEven);
    g->set_lean(kEven);
    lowered = true;
    return middle;
  }
  if (heavy)
    c->before += x->before + 1;
  else
    x->before -= c->before + 1;
  x->child(heavy) = c->child(!heavy);
  c->child(!heavy) = top;
  lowered = c->lean() != kEven;
  x->set_lean(lowered ? kEven : tall);
  c->set_lean(lowered ? kEven : short_side);
  return up;
}

using Step = PythonAvlTree::Step;
using Path = PythonAvlTree::Path;

// The link that holds path[i]'s node: its parent's child link, or the root.
NodeIndex& link_of(NodePool& pool, NodeIndex& root, Path& path, int i) noexcept {
  return i == 0 ? root : pool.at(path[i - 1].node)->child(path[i - 1].right);
}

// After the subtree below the last step grew by a level, walks back up,
// updating leans.  A node that becomes even, or a rotation, keeps the height
// of everything above, so the walk stops there.  True if the whole tree grew.
bool retrace_growth(NodePool& pool, NodeIndex& root, Path& path) {
  for (int i = path.depth() - 1; i >= 0; --i) {
    const Step step = path[i];
    Node* node = pool.at(step.node);
    const Lean lean = node->lean();
    if (lean == kEven) {
      node->set_lean(tall_side(step.right));
      continue;
    }
    if (lean != tall_side(step.right)) {
      node->set_lean(kEven);
      return false;
    }
    bool lowered = false;
    link_of(pool, root, path, i) = rebalance(pool, step.node, step.right, lowered);
    return false;
  }
  return true;
}

// After the subtree below the last step lost a level.  A node that was even
// now leans the other way with its height unchanged, and a rotation over an
// even child keeps the height: the walk stops at either.  True if the whole
// tree shrank.
bool retrace_shrink(NodePool& pool, NodeIndex& root, Path& path) {
  for (int i = path.depth() - 1; i >= 0; --i) {
    const Step step = path[i];
    Node* node = pool.at(step.node);
    const Lean lean = node->lean();
    if (lean == tall_side(step.right)) {
      node->set_lean(kEven);
      continue;
    }
    if (lean == kEven) {
      node->set_lean(tall_side(!step.right));
      return false;
    }
    bool lowered = false;
    link_of(pool, root, path, i) = rebalance(pool, step.node, !step.right, lowered);
    if (!lowered) return false;
  }
  return true;
}

// A node waiting to be moved by a compaction: where it is, the first
// position of its subtree, and the new slot of its parent (kNoNode for the
// root) with the side it hangs on.
struct Move {
  NodeIndex from;
  std::uint32_t first;
  NodeIndex parent;
  bool right;
};

// How far ahead of its turn a compaction asks for a node.
constexpr std::size_t kMoveAhead = 16;

// Copies the tree at `root` into `to`, which has handed out exactly its
// slots 1 to len, each node to the slot its position gives (position + 1),
// so that the nodes lie in key order; returns the new root.  The nodes are
// read breadth first, so that the misses of a level overlap, and each writes
// its own place and its link in its parent, which was written before it.
// The entries' references move as they are.  On MemoryError nothing changed.
Result<NodeIndex> copy_in_order(const NodePool& from, NodePool& to, NodeIndex root, std::uint64_t len) {
  Vec<Move> queue;
  if (Status s = queue.reserve(len); !s) return std::move(s).error();
  if (root != kNoNode) queue.push_reserved(Move{root, 0, kNoNode, false});
  NodeIndex new_root = kNoNode;
  const auto enqueue = [&](const Move& move) {
    if (queue.size() == len) throw Fault("tree holds more nodes than its length");
    queue.push_reserved(Move(move));
  };
  for (std::size_t i = 0; i < queue.size(); ++i) {
    if (i + kMoveAhead < queue.size()) prefetch_node(from.at(queue[i + kMoveAhead].from), from.stride());
    const Move move = queue[i];
    const Node* old = from.at(move.from);
    const std::uint64_t position = std::uint64_t{move.first} + old->before;
    const auto slot = static_cast<NodeIndex>(position + 1);
    if (position >= len) throw Fault("a node's position lies past the tree's length");
    Node* node = to.at(slot);
    node->key_word = old->key_word;
    node->native_bits = old->native_bits;
    node->left = kNoNode;
    node->right = kNoNode;
    node->before = old->before;
    if (to.keyed()) static_cast<KeyedNode*>(node)->value = value_in(from, old);
    if (move.parent == kNoNode)
      new_root = slot;
    else
      to.at(move.parent)->child(move.right) = slot;
    if (old->left != kNoNode) enqueue(Move{old->left, move.first, slot, false});
    if (old->right != kNoNode) enqueue(Move{old->right, static_cast<std::uint32_t>(position + 1), slot, true});
  }
  if (queue.size() != len) throw Fault("tree holds fewer nodes than its length");
  return new_root;
}

// Takes back what an insertion's descent counted in the nodes on its path.
void uncount(const NodePool& pool, Path& path) noexcept {
  for (int i = 0; i < path.depth(); ++i) pool.at(path[i].node)->before -= !path[i].right;
}

// What a descent does besides finding: a lookup records nothing; a rank
// counts the nodes it passes on the left of the key; a removal records every
// node passed and the side taken; an insertion also counts the new node in
// every node it passes on the left, where the node is at hand, and takes
// those counts back if it stores nothing.
enum class Descent { Find, Rank, Remove, Insert };

// The descent of every keyed operation: the node whose key compares Equal,
// or kNoNode.  A rank adds to `below` the nodes ordered before the key.
//
// In a tree too large for the cache every level is a miss that waits for the
// one before it; a deep descent also asks for the four grandchildren.
template <std::size_t Stride, Descent Kind, bool Deep>
Result<NodeIndex> descend(const NodePool& pool, NodeIndex at, const KeyView& key, Path* path, std::uint64_t* below) {
  if (at == kNoNode) return kNoNode;
  const SlotView<Stride> slot(pool.chunk_table());
  const Node* node = slot(at);
  for (;;) {
    const Node* const left_child = slot(node->left);
    const Node* const right_child = slot(node->right);
    // A tree this large is out of the caches: the second line of a node that
    // spans two would be a miss of its own.
    if constexpr (Deep) {
      prefetch_node(left_child);
      prefetch_node(right_child);
      prefetch_grandchildren(slot, node, left_child, right_child);
    } else {
      __builtin_prefetch(left_child);
      __builtin_prefetch(right_child);
    }
    Result<Ordering> order = compare(key, node->key());
    if (!order) return std::move(order).error();
    if (order.value() == Ordering::Equal) {
      if constexpr (Kind == Descent::Rank) *below += node->before;
      return at;
    }
    const bool right = order.value() == Ordering::Greater;
    if constexpr (Kind == Descent::Rank) {
      // Masked, not branched on: which way a descent turns is a coin toss,
      // and a branch here would be mispredicted at half the levels.
      *below += (std::uint64_t{node->before} + 1) & -std::uint64_t{right};
    } else if constexpr (Kind != Descent::Find) {
      path->push({at, right});
    }
    if constexpr (Kind == Descent::Insert) const_cast<Node*>(node)->before += !right;
    at = node->child(right);
    if (at == kNoNode) return kNoNode;
    node = right ? right_child : left_child;
  }
}

template <Descent Kind>
Result<NodeIndex> descend(const NodePool& pool, NodeIndex root, const KeyView& key, Path* path, bool deep,
                          std::uint64_t* below = nullptr) {
  Result<NodeIndex> found =
      deep && pool.end() >= deep_descents_from
          ? (pool.keyed() ? descend<sizeof(KeyedNode), Kind, true>(pool, root, key, path, below)
                          : descend<sizeof(Node), Kind, true>(pool, root, key, path, below))
          : (pool.keyed() ? descend<sizeof(KeyedNode), Kind, false>(pool, root, key, path, below)
                          : descend<sizeof(Node), Kind, false>(pool, root, key, path, below));
  if constexpr (Kind == Descent::Insert) {
    if (!found || found.value() != kNoNode) uncount(pool, *path);
  }
  return found;
}

}  // namespace

Status PythonAvlTree::compact() {
  NodePool fresh;
  fresh.set_keyed(pool_.keyed());
  fresh.reserve(len_);
  if (fresh.capacity() < len_) return Error::no_memory();
  fresh.take_first(len_);
  Result<NodeIndex> root = copy_in_order(pool_, fresh, root_, len_);
  if (!root) return std::move(root).error();
  root_ = root.value();
  fresh.mark_in_key_order();
  pool_ = std::move(fresh);
  find_ends();
  note_change();
  return {};
}

void PythonAvlTree::maybe_compact() {
  const std::uint64_t slots = pool_.capacity();
  if (slots < kCompactFrom || len_ * 2 >= slots || len_ >= compact_below_) return;
  if (compact()) {
    compact_below_ = UINT64_MAX;
    return;
  }
  // Without memory now, try again once half of what is left is gone.
  compact_below_ = len_ / 2;
}

void PythonAvlTree::find_ends() noexcept {
  first_ = last_ = root_;
  if (root_ == kNoNode) return;
  while (pool_.at(first_)->left != kNoNode) first_ = pool_.at(first_)->left;
  while (pool_.at(last_)->right != kNoNode) last_ = pool_.at(last_)->right;
}

Result<bool> PythonAvlTree::insert(Entry&& entry, bool path_loaded) {
  const KeyView key = KeyView::of(entry.key.get());
  Path path;
  Result<NodeIndex> found = descend<Descent::Insert>(pool_, root_, key, &path, !path_loaded);
  if (!found) {
    Entry dropped(std::move(entry));
    return std::move(found).error();
  }
  if (found.value() != kNoNode) {
    Entry duplicate(std::move(entry));  // the stored entry stays as it is
    return false;
  }
  const std::uint64_t key_word = key_word_of(key);
  const bool separate_key = entry.key.get() != entry.value.get();
  if (!pool_.has_storage()) {
    pool_.set_keyed(separate_key);
  } else if (separate_key && !pool_.keyed()) {
    // The first entry whose key is not its value: every node gets a value
    // slot, at the same index, so that the path stays valid.
    if (Status s = pool_.widen(); !s) {
      uncount(pool_, path);
      Entry dropped(std::move(entry));
      return std::move(s).error();
    }
  }
  Result<NodeIndex> slot = pool_.take();
  if (!slot) {
    uncount(pool_, path);
    Entry dropped(std::move(entry));
    return std::move(slot).error();
  }
  link(path, slot.value(), key_word, key, std::move(entry));
  return true;
}

void PythonAvlTree::link(Path& path, NodeIndex slot, std::uint64_t key_word, const KeyView& key, Entry&& entry) {
  Node* node = pool_.at(slot);
  node->key_word = key_word;
  node->native_bits = key.native.bits;
  node->left = kNoNode;
  node->right = kNoNode;
  node->before = 0;
  // The node keeps both references; without a value slot, both to the one object.
  PyObject* value = entry.value.release();
  if (pool_.keyed()) static_cast<KeyedNode*>(node)->value = value;
  static_cast<void>(entry.key.release());
  link_of(pool_, root_, path, path.depth()) = slot;
  // A node linked below the first (last) node, on its left (right), is the
  // new first (last).  The nodes passed counted it on the way down.
  const bool leaf_of_root = path.empty();
  if (leaf_of_root || (path[path.depth() - 1].node == first_ && !path[path.depth() - 1].right)) first_ = slot;
  if (leaf_of_root || (path[path.depth() - 1].node == last_ && path[path.depth() - 1].right)) last_ = slot;
  ++len_;
  count_key(key.native, 1);
  note_change();
  if (retrace_growth(pool_, root_, path)) ++height_;
}

Status PythonAvlTree::prepare_insertions(std::uint64_t count, bool separate_keys) {
  if (count > NodePool::kIndexLimit - len_)
    return Error::make(PyExc_OverflowError, "a tree holds at most 2**32 - 1 entries");
  if (!pool_.has_storage()) {
    pool_.set_keyed(separate_keys);
  } else if (separate_keys && !pool_.keyed()) {
    if (Status s = pool_.widen(); !s) return s;
  }
  pool_.reserve(count);
  const std::uint64_t room = pool_.capacity() + 1 - pool_.end() + pool_.free_count();
  if (room < count) return Error::no_memory();
  return {};
}

void PythonAvlTree::insert_at(std::uint64_t position, Entry&& entry) {
  if (position > len_) throw Fault("an insertion past the end of the tree");
  const KeyView key = KeyView::of(entry.key.get());
  const std::uint64_t key_word = key_word_of(key);
  if (entry.key.get() != entry.value.get() && !pool_.keyed()) throw Fault("an insertion without its value slot");
  // Down to the empty link at the position, counting the new node in every
  // node it passes on the left.
  Path path;
  for (NodeIndex at = root_; at != kNoNode;) {
    Node* node = pool_.at(at);
    const bool right = position > node->before;
    path.push({at, right});
    if (right) {
      position -= std::uint64_t{node->before} + 1;
      at = node->right;
      keep_branch(at);
    } else {
      ++node->before;
      at = node->left;
    }
  }
  Result<NodeIndex> slot = pool_.take();
  if (!slot) throw Fault("an insertion without the room prepared for it");
  link(path, slot.value(), key_word, key, std::move(entry));
}

Entry PythonAvlTree::unlink(Path& path, NodeIndex at, int counted) {
  Node* node = pool_.at(at);
  const int depth = path.depth();
  // The first node has no left child: the next one is the leftmost of its
  // right subtree, or else its parent.  The last node mirrors it.  Which
  // node that is does not change as the tree is rebalanced.
  const NodeIndex parent = depth > 0 ? path[depth - 1].node : kNoNode;
  const auto next_end = [&](bool right_side) {
    NodeIndex end = node->child(right_side);
    if (end == kNoNode) return parent;
    while (pool_.at(end)->child(!right_side) != kNoNode) end = pool_.at(end)->child(!right_side);
    return end;
  };
  const NodeIndex new_first = at == first_ ? next_end(true) : first_;
  const NodeIndex new_last = at == last_ ? next_end(false) : last_;
  if (node->left == kNoNode || node->right == kNoNode) {
    link_of(pool_, root_, path, depth) = node->left != kNoNode ? node->left : node->right;
  } else {
    // The in-order successor takes the node's place, never the predecessor,
    // with the node's children, lean and position; its own right subtree
    // takes its old place at the bottom of the right subtree's left spine.
    path.push({at, true});
    NodeIndex successor = node->right;
    Node* s = pool_.at(successor);
    while (s->left != kNoNode) {
      path.push({successor, false});
      successor = s->left;
      s = pool_.at(successor);
    }
    if (path.depth() > depth + 1) {
      pool_.at(path[path.depth() - 1].node)->left = s->right;
      s->right = node->right;
    }
    s->left = node->left;
    s->before = node->before;
    s->set_lean(node->lean());
    link_of(pool_, root_, path, depth) = successor;
    path[depth] = Step{successor, true};
  }
  // Every node the path left to the left has one node fewer before it
  // (the first `counted` were told on the way down).
  for (int i = counted; i < path.depth(); ++i) pool_.at(path[i].node)->before -= !path[i].right;
  const KeyView key = node->key();
  Entry removed(Ref::steal(value_in(pool_, node)), Ref::steal(key.object));
  pool_.give_back(at);
  --len_;
  count_key(key.native, -1);
  note_change();
  if (retrace_shrink(pool_, root_, path)) --height_;
  first_ = new_first;
  last_ = new_last;
  maybe_compact();
  return removed;
}

Result<bool> PythonAvlTree::remove(const KeyView& key) {
  Path path;
  Result<NodeIndex> found = descend<Descent::Remove>(pool_, root_, key, &path, true);
  if (!found) return std::move(found).error();
  if (found.value() == kNoNode) return false;
  // Finalisers of the removed value and key find the tree consistent.
  Entry removed = unlink(path, found.value(), 0);
  return true;
}

// Taking from an end is usually followed by taking from it again, and
// releasing a removed key writes to an object that sits anywhere in memory.
// The next keys to go from that end are the new end's, then those of the
// lowest nodes that were above the removed one, each after its inner
// subtree.  Asking for them now, and for the nodes one level further in,
// lets their misses overlap the caller's work instead of the next
// removals'.  The nodes read here are in cache: the new end and the path
// were just passed, and the inner children were asked for by earlier
// removals; a node not yet at hand is only asked for, never read.
inline void PythonAvlTree::prefetch_next_ends(const Path& path, bool back) const noexcept {
  const Node* end = pool_.at(back ? last_ : first_);
  __builtin_prefetch(end->key_object(), 1);
  if (end->child(!back) != kNoNode) prefetch_slot(pool_, end->child(!back));
  for (int i = path.depth() - 1; i >= 0 && i >= path.depth() - 2; --i) {
    const Node* above = pool_.at(path[i].node);
    __builtin_prefetch(above->key_object(), 1);
    const NodeIndex inner = above->child(!back);
    if (inner == kNoNode) continue;
    const Node* next = pool_.at(inner);
    __builtin_prefetch(next->key_object(), 1);
    if (next->left != kNoNode) prefetch_slot(pool_, next->left);
    if (next->right != kNoNode) prefetch_slot(pool_, next->right);
  }
}

Entry PythonAvlTree::remove_at(std::uint64_t position) {
  if (position >= len_) throw Fault("a position past the end of the tree");
  const bool from_front = position == 0;
  const bool from_back = position == len_ - 1;
  // The node is certain to go: the nodes passed on the left are told so on
  // the way down, where they are at hand.
  Path path;
  NodeIndex at = root_;
  // A spine is no longer than the height: its steps need no bound check.
  if ((from_front || from_back) && height_ > Path::kCapacity) throw Fault("tree deeper than an AVL tree can be");
  if (from_front) {
    // The first node ends the left spine, and every node above it counts it.
    while (at != first_) {
      Node* node = pool_.at(at);
      path.push_within({at, false});
      --node->before;
      at = node->left;
      if (at == kNoNode) throw Fault("the first node missing from the left spine");
    }
  } else if (from_back) {
    // The last node ends the right spine, and no node above it counts it.
    while (at != last_) {
      path.push_within({at, true});
      at = pool_.at(at)->right;
      if (at == kNoNode) throw Fault("the last node missing from the right spine");
    }
  } else {
    for (;;) {
      Node* node = pool_.at(at);
      if (position == node->before) break;
      const bool right = position > node->before;
      path.push({at, right});
      if (right) {
        position -= std::uint64_t{node->before} + 1;
        at = node->right;
        keep_branch(at);
      } else {
        --node->before;
        at = node->left;
      }
      if (at == kNoNode) throw Fault("a position missing from the tree");
    }
  }
  Entry removed = unlink(path, at, path.depth());
  if ((from_front || from_back) && len_ != 0) prefetch_next_ends(path, from_back);
  return removed;
}

Result<PyObject*> PythonAvlTree::find(const KeyView& key) const {
  Result<NodeIndex> found = descend<Descent::Find>(pool_, root_, key, nullptr, true);
  if (!found) return std::move(found).error();
  if (found.value() == kNoNode) return static_cast<PyObject*>(nullptr);
  return value_in(pool_, pool_.at(found.value()));
}

Result<PythonAvlTree::Rank> PythonAvlTree::rank(const KeyView& key) const {
  std::uint64_t below = 0;
  Result<NodeIndex> found = descend<Descent::Rank>(pool_, root_, key, nullptr, true, &below);
  if (!found) return std::move(found).error();
  return Rank{below, found.value() != kNoNode};
}

const Node* PythonAvlTree::node_at(std::uint64_t position) const noexcept {
  if (position >= len_) return nullptr;
  if (const Node* placed = placed_at(position)) return placed;
  const Node* node = pool_.at(root_);
  while (position != node->before) {
    const bool right = position > node->before;
    if (right) position -= std::uint64_t{node->before} + 1;
    node = pool_.at(node->child(right));
  }
  return node;
}

bool PythonAvlTree::compares_plainly(const KeyView* start, const KeyView* end) const noexcept {
  if (misordered_) return false;
  for (const PlainFamily family : {PlainFamily::Number, PlainFamily::String}) {
    if (plain_counts_[family == PlainFamily::String] != len_) continue;
    if ((start == nullptr || plain_family(start->native) == family) &&
        (end == nullptr || plain_family(end->native) == family))
      return true;
  }
  return false;
}

void PythonAvlTree::prefetch_descents(const KeyView* keys, int count) const noexcept {
  NodeIndex at[kMaxDescents];
  count = std::min(count, kMaxDescents);
  std::fill(at, at + count, root_);
  for (bool moving = root_ != kNoNode; moving;) {
    moving = false;
    for (int i = 0; i < count; ++i) {
      if (at[i] == kNoNode) continue;
      const Node* node = pool_.at(at[i]);
      const KeyView stored = node->key();
      NodeIndex next = kNoNode;
      if (compares_natively(keys[i].native, stored.native)) {
        Result<Ordering> order = compare(keys[i], stored);
        const int side = order ? static_cast<int>(order.value()) : 0;
        // Chosen without a branch: which way each descent turns is a coin toss.
        const NodeIndex children[2] = {node->left, node->right};
        next = children[side > 0];
        next = side == 0 ? kNoNode : next;
      }
      if (next != kNoNode) prefetch_slot(pool_, next);
      moving |= next != kNoNode;
      at[i] = next;
    }
  }
}

// In pre-order: at each node the value, the key, then the left subtree,
// then the right subtree.  Recurses into the left child and loops along the
// right: the depth stays within the height.
void PythonAvlTree::release_all(NodePool& pool, NodeIndex index) noexcept {
  while (index != kNoNode) {
    const Node* node = pool.at(index);
    const NodeIndex left = node->left;
    const NodeIndex right = node->right;
    {
      Entry entry(Ref::steal(value_in(pool, node)), Ref::steal(node->key_object()));
    }
    release_all(pool, left);
    index = right;
  }
}

void PythonAvlTree::clear() noexcept {
  // The tree is empty, with storage of its own, before any finaliser runs.
  NodePool old(std::move(pool_));
  const NodeIndex root = std::exchange(root_, kNoNode);
  first_ = last_ = kNoNode;
  len_ = 0;
  height_ = 0;
  compact_below_ = UINT64_MAX;
  plain_counts_[0] = plain_counts_[1] = 0;
  misordered_ = false;
  note_change();
  release_all(old, root);
}

int PythonAvlTree::traverse(visitproc visit, void* arg) const {
  for (NodeIndex index = 1; index < pool_.end(); ++index) {
    const Node* node = pool_.at(index);
    if (node->key_word == 0) continue;  // a free slot
    if (int stop = visit(value_in(pool_, node), arg)) return stop;
    if (int stop = visit(node->key_object(), arg)) return stop;
  }
  return 0;
}

// Builds the tree of `count` entries in ascending key order, entry i in slot
// i + 1, with minimal height and no comparison, in place of the tree's own
// storage, whose entries the caller has moved or holds elsewhere.
// `placed(i)` tells entry i's key and value, borrowed, and `moved_in(i)` the
// entry whose references go into the tree, once nothing can fail (null for a
// node whose references move with it).  On MemoryError nothing changed.
template <class Placed, class MovedIn>
Status PythonAvlTree::build_in_order(std::size_t count, bool keyed, Placed&& placed, MovedIn&& moved_in) {
  if (count > NodePool::kIndexLimit) return Error::make(PyExc_OverflowError, "a tree holds at most 2**32 - 1 entries");
  NodePool pool;
  pool.set_keyed(keyed);
  pool.reserve(count);
  if (pool.capacity() < count) return Error::no_memory();
  std::uint64_t plain_counts[2] = {0, 0};
  bool misordered = false;
  KeyView previous{};
  pool.take_first(count);
  for (std::size_t i = 0; i < count; ++i) {
    Node* node = pool.at(static_cast<NodeIndex>(i + 1));
    const auto [key, key_word, value] = placed(i);
    node->key_word = key_word;
    node->native_bits = key.native.bits;
    if (keyed) static_cast<KeyedNode*>(node)->value = value;
    const PlainFamily family = plain_family(key.native);
    if (family != PlainFamily::None) ++plain_counts[family == PlainFamily::String];
    // The order is trusted; where two neighbours compare plainly, it is also
    // seen, so that reads by rank are used only where they agree with walks
    // that compare.
    if (i > 0 && family != PlainFamily::None && plain_family(previous.native) == family) {
      Result<Ordering> order = compare(previous, key);
      misordered |= !order || order.value() != Ordering::Less;
    }
    previous = key;
  }
  // The root of positions [first, first + size) is the upper middle one.
  struct Builder {
    NodePool& pool;
    NodeIndex build(std::size_t first, std::size_t size) {
      if (size == 0) return kNoNode;
      const std::size_t left_size = size / 2;
      const auto index = static_cast<NodeIndex>(first + left_size + 1);
      Node* node = pool.at(index);
      node->left = build(first, left_size);
      node->right = build(first + left_size + 1, size - 1 - left_size);
      node->before = static_cast<std::uint32_t>(left_size);
      // A subtree of k nodes built so is std::bit_width(k) levels high.
      node->set_lean(std::bit_width(left_size) > std::bit_width(size - 1 - left_size) ? kLeftTall : kEven);
      return index;
    }
  };
  const NodeIndex root = Builder{pool}.build(0, count);
  for (std::size_t i = 0; i < count; ++i) {
    if (Entry* entry = moved_in(i)) {
      static_cast<void>(entry->value.release());
      static_cast<void>(entry->key.release());
    }
  }
  pool.mark_in_key_order();
  // The old storage goes without releasing anything: its entries were moved.
  NodePool old(std::move(pool_));
  pool_ = std::move(pool);
  root_ = root;
  first_ = count == 0 ? kNoNode : 1;
  last_ = static_cast<NodeIndex>(count);
  len_ = count;
  height_ = static_cast<unsigned>(std::bit_width(count));
  compact_below_ = UINT64_MAX;
  plain_counts_[0] = plain_counts[0];
  plain_counts_[1] = plain_counts[1];
  misordered_ = misordered;
  note_change();
  return {};
}

Status PythonAvlTree::assign_sorted(Vec<Entry>& entries) {
  if (len_ != 0 || pool_.has_storage()) throw Fault("a sorted build needs an empty tree");
  const std::size_t count = entries.size();
  bool keyed = false;
  for (std::size_t i = 0; i < count && !keyed; ++i) keyed = entries[i].key.get() != entries[i].value.get();
  const auto placed = [&](std::size_t i) {
    // Each key object is read once, in an order unrelated to where it lies.
    if (i + kKeyLookAhead < count) __builtin_prefetch(entries[i + kKeyLookAhead].key.get());
    const KeyView key = KeyView::of(entries[i].key.get());
    return Placement{key, key_word_of(key), entries[i].value.get()};
  };
  const auto moved_in = [&](std::size_t i) { return &entries[i]; };
  return build_in_order(count, keyed, placed, moved_in);
}

Status PythonAvlTree::rebuild_with(const Vec<const Node*>& order, Vec<Incoming>& incoming) {
  // Every node of the tree must come along: their references move as they are.
  if (order.size() != len_ + incoming.size()) throw Fault("a rebuild in place leaves entries of the tree behind");
  bool keyed = pool_.keyed();
  for (std::size_t j = 0; j < incoming.size() && !keyed; ++j)
    keyed = incoming[j].entry.key.get() != incoming[j].entry.value.get();
  std::size_t next_placed = 0;
  const auto placed = [&](std::size_t i) {
    if (const Node* node = order[i]) return Placement{node->key(), node->key_word, value_in(pool_, node)};
    const Incoming& item = incoming[next_placed++];
    const KeyView key{item.entry.key.get(), item.native};
    return Placement{key, key_word_of(key), item.entry.value.get()};
  };
  std::size_t next_moved = 0;
  const auto moved_in = [&](std::size_t i) -> Entry* {
    return order[i] != nullptr ? nullptr : &incoming[next_moved++].entry;
  };
  return build_in_order(order.size(), keyed, placed, moved_in);
}

#ifdef QUORVEL_TESTING
namespace {

struct Checker {
  const NodePool& pool;
  std::uint64_t len;
  bool order;
  std::uint64_t seen = 0;
  std::uint64_t plain[2] = {0, 0};
  const Node* previous = nullptr;
  NodeIndex first = kNoNode;
  NodeIndex last = kNoNode;
  std::uint64_t seen_in_order = 0;
  const char* broken = nullptr;

  struct Subtree {
    int height;
    std::uint64_t size;
  };

  // The subtree's height and size, checking every node of it in key order.
  Subtree walk(NodeIndex index, int depth) {
    if (index == kNoNode || broken != nullptr) return {0, 0};
    if (depth > 96) return fail("the tree is deeper than an AVL tree can be");
    if (index >= pool.end()) return fail("a link points past the slots handed out");
    if (++seen > len) return fail("more nodes are reachable than the length");
    const Node* node = pool.at(index);
    if (node->key_word == 0) return fail("a reachable slot is on the free list");
    const Subtree left = walk(node->left, depth + 1);
    const NativeKey native = NativeKey::of(node->key_object());
    if (native.kind != node->key().native.kind || (native.kind != kNoNative && native.bits != node->native_bits))
      return fail("a node's native key is not that of its key object");
    if (order && previous != nullptr && compares_natively(previous->key().native, node->key().native)) {
      Result<Ordering> order = compare(previous->key(), node->key());
      if (!order || order.value() != Ordering::Less) return fail("native keys are out of order");
    }
    if (previous == nullptr) first = index;
    // Nodes are met here in key order: the one at position p in slot p + 1.
    if (pool.in_key_order() && index != seen_in_order + 1) return fail("a slot is not its node's position");
    ++seen_in_order;
    previous = node;
    last = index;
    const PlainFamily family = plain_family(native);
    if (family != PlainFamily::None) ++plain[family == PlainFamily::String];
    const Subtree right = walk(node->right, depth + 1);
    if (node->before != left.size) return fail("a node's count of the nodes before it is wrong");
    if (left.height - right.height > 1 || right.height - left.height > 1) return fail("a node is out of balance");
    const Lean expected =
        left.height > right.height ? kLeftTall : (right.height > left.height ? kRightTall : kEven);
    if (node->lean() != expected) return fail("a node's recorded lean is wrong");
    return {1 + std::max(left.height, right.height), left.size + 1 + right.size};
  }

  Subtree fail(const char* what) {
    if (broken == nullptr) broken = what;
    return {0, 0};
  }
};

}  // namespace

Status PythonAvlTree::check_invariants(bool order) const {
  Checker checker{pool_, len_, order};
  const int height = checker.walk(root_, 0).height;
  const char* broken = checker.broken;
  if (broken == nullptr && checker.seen != len_) broken = "fewer nodes are reachable than the length";
  if (broken == nullptr && static_cast<unsigned>(height) != height_) broken = "the recorded height is wrong";
  if (broken == nullptr && (checker.first != first_ || checker.last != last_))
    broken = "the recorded first or last node is wrong";
  if (broken == nullptr && (checker.plain[0] != plain_counts_[0] || checker.plain[1] != plain_counts_[1]))
    broken = "the counts of plain keys are wrong";
  if (broken == nullptr) {
    std::uint64_t free = 0;
    for (NodeIndex index = pool_.free_head(); index != kNoNode && free <= pool_.free_count();
         index = pool_.at(index)->left, ++free) {
      if (index >= pool_.end() || pool_.at(index)->key_word != 0) {
        broken = "the free list holds a slot in use";
        break;
      }
    }
    if (broken == nullptr && free != pool_.free_count()) broken = "the free list's length is not its count";
    if (broken == nullptr && len_ + free != static_cast<std::uint64_t>(pool_.end()) - 1)
      broken = "slots are neither in the tree nor free";
    if (broken == nullptr && pool_.end() > pool_.capacity() + 1) broken = "slots were handed out past the storage";
  }
  if (broken != nullptr) return Error::make(PyExc_AssertionError, broken);
  return {};
}
#endif

}  // namespace quorvel
