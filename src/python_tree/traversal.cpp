#include "python_tree/traversal.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace quorvel {
namespace {

Status append_value(const PythonAvlTree& tree, Snapshot& out, const Node* node) {
  return out.push(Ref::borrow(tree.value_of(node)));
}

// Nodes and values are spread over memory in insertion order, so a walk is a
// chain of cache misses.  On arriving at a node, start loading what the walk
// needs only after the node's left subtree: its value and its right child.
[[gnu::always_inline]] inline void prefetch_later(const PythonAvlTree& tree, const Node* node) noexcept {
  __builtin_prefetch(tree.value_of(node), 1);
  if (const Node* right = tree.right_of(node)) tree.prefetch_node(right);
}

// What the ordered walks take of each node into their snapshots: a new
// reference to the value, or to the value and the key.
struct ValueTaker {
  using Item = Ref;
  static Item take(const PythonAvlTree& tree, const Node* node) noexcept { return Ref::borrow(tree.value_of(node)); }
  [[gnu::always_inline]] static void prefetch(const PythonAvlTree& tree, const Node* node) noexcept {
    __builtin_prefetch(tree.value_of(node), 1);
  }
};
// The same without the references, and without loading the values: the
// caller takes its references later, value by value.
struct LentValueTaker {
  using Item = PyObject*;
  static Item take(const PythonAvlTree& tree, const Node* node) noexcept { return tree.value_of(node); }
  static void prefetch(const PythonAvlTree&, const Node*) noexcept {}
};
// The nodes themselves, for walks of their own (the set operations').
struct NodeTaker {
  using Item = const Node*;
  static Item take(const PythonAvlTree&, const Node* node) noexcept { return node; }
  static void prefetch(const PythonAvlTree&, const Node*) noexcept {}
};
struct EntryTaker {
  using Item = Entry;
  static Item take(const PythonAvlTree& tree, const Node* node) noexcept {
    return Entry(Ref::borrow(tree.value_of(node)), Ref::borrow(node->key_object()));
  }
  [[gnu::always_inline]] static void prefetch(const PythonAvlTree& tree, const Node* node) noexcept {
    ValueTaker::prefetch(tree, node);
    __builtin_prefetch(node->key_object(), 1);
  }
};

// The in-order walks, ascending or descending, keep on an explicit stack the
// nodes still to come: the next one on top, then its ancestors whose turn is
// later.  Descending pushes the path from `node` toward the start.
template <bool Ascending, class Taker>
[[gnu::always_inline]] inline void descend_ordered(const PythonAvlTree& tree, const Node* node, PathStack<const Node*>& stack) {
  for (; node != nullptr; node = Ascending ? tree.left_of(node) : tree.right_of(node)) {
    Taker::prefetch(tree, node);
    if (const Node* later = Ascending ? tree.right_of(node) : tree.left_of(node)) tree.prefetch_node(later);
    stack.push(node);
  }
}

// Takes every node still on the stack and after it, `remaining` in all, into
// a snapshot with room for them: no call or check per node.
template <bool Ascending, class Taker>
void drain_ordered(const PythonAvlTree& tree, PathStack<const Node*>& stack, std::uint64_t remaining,
                   Vec<typename Taker::Item>& out) {
  while (!stack.empty()) {
    const Node* node = stack.pop();
    if (remaining-- == 0) throw Fault("tree holds more nodes than its length");
    out.push_reserved(Taker::take(tree, node));
    descend_ordered<Ascending, Taker>(tree, Ascending ? tree.right_of(node) : tree.left_of(node), stack);
  }
}

// A full in-order walk into a snapshot with room for exactly `len` entries.
template <bool Ascending, class Taker>
void walk_ordered(const PythonAvlTree& tree, Vec<typename Taker::Item>& out) {
  PathStack<const Node*> stack;
  descend_ordered<Ascending, Taker>(tree, tree.root(), stack);
  drain_ordered<Ascending, Taker>(tree, stack, tree.len(), out);
}

// Large trees are read breadth first instead.  Along a path every node is a
// cache miss that waits for the one before it; the nodes of a level do not
// depend on each other, so reading them in that order overlaps their misses
// (and those of their values, whose references are taken there) like a scan
// of an array.  Each node's position in the order is known as it is read, so
// its value goes straight to its place.
constexpr std::uint64_t kBreadthFirstFrom = std::uint64_t{1} << 14;
constexpr std::size_t kAhead = 16;  // values are fetched this far ahead of the reading, nodes twice as far
constexpr std::uint32_t kNoLink = UINT32_MAX;

// Visits the positions of a linked copy of a tree, recorded breadth first
// with its root at position 0, in order (ascending or descending), while
// `visit` gives true.
template <bool Ascending, class Links, class Visit>
void visit_in_order(Links& links, bool empty, Visit&& visit) {
  PathStack<std::uint32_t> stack;
  std::uint32_t at = empty ? kNoLink : 0;
  for (;;) {
    for (; at != kNoLink; at = Ascending ? links[at].left : links[at].right) stack.push(at);
    if (stack.empty() || !visit(at = stack.pop())) return;
    at = Ascending ? links[at].right : links[at].left;
  }
}

// Visits every node in breadth-first order, with the positions in that order
// of its children (kNoLink for none), loading nodes and what Taker takes of
// them far enough ahead.  `order`, with room for `len` nodes, is the queue.
template <class Taker, class Visit>
void visit_breadth_first(const PythonAvlTree& tree, Vec<const Node*>& order, Visit&& visit) {
  const std::uint64_t len = tree.len();
  const auto enqueue = [&](const Node* child) -> std::uint32_t {
    if (child == nullptr) return kNoLink;
    if (order.size() == len) throw Fault("tree holds more nodes than its length");
    order.push_reserved(static_cast<const Node*>(child));
    return static_cast<std::uint32_t>(order.size() - 1);
  };
  enqueue(tree.root());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + 2 * kAhead < order.size()) tree.prefetch_node(order[i + 2 * kAhead]);
    if (i + kAhead < order.size()) Taker::prefetch(tree, order[i + kAhead]);
    const Node* node = order[i];
    const std::uint32_t left = enqueue(tree.left_of(node));
    const std::uint32_t right = enqueue(tree.right_of(node));
    visit(node, left, right);
  }
  if (order.size() != len) throw Fault("tree holds fewer nodes than its length");
}

// The values at positions first, first + step, ... (`count` of them) of a
// tree whose nodes lie in key order, appended to `out`, which has room for
// them: each is read straight from its slot, its value asked for as far
// ahead as a breadth-first walk asks.
template <class Taker>
void read_placed(const PythonAvlTree& tree, Vec<typename Taker::Item>& out, std::uint64_t first, std::int64_t step,
                 std::uint64_t count) {
  // Unsigned arithmetic wraps to the same positions for a negative step.
  const auto position = [&](std::uint64_t i) { return first + i * static_cast<std::uint64_t>(step); };
  for (std::uint64_t i = 0; i < count; ++i) {
    if (i + kAhead < count) Taker::prefetch(tree, tree.placed_at(position(i + kAhead)));
    out.push_reserved(Taker::take(tree, tree.placed_at(position(i))));
  }
}

// A node waiting in a windowed breadth-first walk, with the positions its
// subtree holds: [lo, hi).  Positions fit 32 bits, as indices do.
struct Waiting {
  const Node* node;
  std::uint32_t lo;
  std::uint32_t hi;
};

// The values at positions [first, last) of the ascending order, appended in
// order (ascending or descending) to `out`, which has room for them.  The
// walk visits, breadth first, the nodes whose subtrees hold a wanted
// position: those positions, and at most the two paths down to the window's
// ends.  Each node's position comes from its own count and its subtree's
// first position, so no node waits for a child to be read, and each value is
// placed straight at its place in the result.  On MemoryError nothing was
// taken.  A tree whose nodes lie in key order is read by read_placed
// instead: every caller checks for it first.
template <bool Ascending, class Taker>
Status walk_breadth_first(const PythonAvlTree& tree, Vec<typename Taker::Item>& out, std::uint64_t first,
                          std::uint64_t last) {
  if (first >= last) return {};
  const std::uint64_t room = (last - first) + 2 * std::uint64_t{tree.height()} + 1;
  Vec<Waiting> order;
  if (Status s = order.reserve(room); !s) return s;
  std::size_t i = 0;
  // A node that will be read soon, as in a short queue, is asked for now;
  // the others when the reading comes near them.
  const auto enqueue = [&](const Node* child, std::uint64_t lo, std::uint64_t hi) {
    if (order.size() == room) throw Fault("a window of the tree holds more nodes than it can");
    if (order.size() < i + 2 * kAhead) tree.prefetch_node(child);
    order.push_reserved(Waiting{child, static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi)});
  };
  enqueue(tree.root(), 0, tree.len());
  std::uint64_t placed = 0;
  for (; i < order.size(); ++i) {
    if (i + 2 * kAhead < order.size()) tree.prefetch_node(order[i + 2 * kAhead].node);
    if (i + kAhead < order.size()) Taker::prefetch(tree, order[i + kAhead].node);
    const Waiting at = order[i];
    const std::uint64_t position = std::uint64_t{at.lo} + at.node->before;
    if (at.lo < last && position > first) {
      if (const Node* left = tree.left_of(at.node)) enqueue(left, at.lo, position);
    }
    if (position + 1 < last && at.hi > first) {
      if (const Node* right = tree.right_of(at.node)) enqueue(right, position + 1, at.hi);
    }
    if (position >= first && position < last) {
      out.place(Ascending ? position - first : last - 1 - position, Taker::take(tree, at.node));
      ++placed;
    }
  }
  if (placed != last - first) throw Fault("a window of the tree holds other positions than its counts say");
  out.grow(placed);
  return {};
}

template <bool Ascending, class Taker>
Result<Vec<typename Taker::Item>> collect_ordered(const PythonAvlTree& tree) {
  Vec<typename Taker::Item> out;
  if (Status s = out.reserve(tree.len()); !s) return std::move(s).error();
  if (tree.len() != 0 && tree.placed_at(0) != nullptr) {
    read_placed<Taker>(tree, out, Ascending ? 0 : tree.len() - 1, Ascending ? 1 : -1, tree.len());
  } else if (tree.len() >= kBreadthFirstFrom && tree.len() < kNoLink) {
    if (Status s = walk_breadth_first<Ascending, Taker>(tree, out, 0, tree.len()); !s)
      return std::move(s).error();
  } else {
    walk_ordered<Ascending, Taker>(tree, out);
  }
  return out;
}

// Pre-order (node, left, right) on a stack of the right children still to
// come, at most one per level of the current path.  Post-order is the
// mirrored pre-order (node, right, left) reversed, so the same walk serves
// it, then reverses the snapshot in place.  Children are loaded when their
// parent is taken.
template <bool PostOrder>
Result<Snapshot> collect_depth_first(const PythonAvlTree& tree) {
  const std::uint64_t len = tree.len();
  Snapshot out;
  if (Status s = out.reserve(len); !s) return std::move(s).error();
  const auto first_of = [&](const Node* node) { return PostOrder ? tree.right_of(node) : tree.left_of(node); };
  const auto second_of = [&](const Node* node) { return PostOrder ? tree.left_of(node) : tree.right_of(node); };
  PathStack<const Node*> later;
  for (const Node* node = tree.root(); node != nullptr || !later.empty();) {
    if (node == nullptr) node = later.pop();
    if (out.size() == len) throw Fault("tree holds more nodes than its length");
    out.push_reserved(ValueTaker::take(tree, node));
    const Node* first = first_of(node);
    if (const Node* second = second_of(node)) {
      tree.prefetch_node(second);
      later.push(second);
    }
    if (first != nullptr) {
      tree.prefetch_node(first);
      ValueTaker::prefetch(tree, first);
    }
    node = first;
  }
  if (out.size() != len) throw Fault("tree holds fewer nodes than its length");
  if (PostOrder) std::reverse(out.data(), out.data() + out.size());
  return out;
}

// Where a stored key stands against the bounds of a range.
struct Window {
  const KeyView* start;
  const KeyView* end;
  bool include_start;
  bool include_end;
};

// What a bounded walk makes of one node, from its two comparisons.
struct Judgement {
  bool inside;     // its value belongs to the range
  bool go_left;    // keys below it can still be inside
  bool go_right;   // keys above it can
};

Result<Judgement> judge(const Node* node, const Window& window) {
  Ordering vs_start = Ordering::Greater;
  Ordering vs_end = Ordering::Less;
  if (window.start != nullptr) {
    Result<Ordering> order = compare(node->key(), *window.start);
    if (!order) return std::move(order).error();
    vs_start = order.value();
  }
  if (window.end != nullptr) {
    Result<Ordering> order = compare(node->key(), *window.end);
    if (!order) return std::move(order).error();
    vs_end = order.value();
  }
  const bool above_start = vs_start == Ordering::Greater || (vs_start == Ordering::Equal && window.include_start);
  const bool below_end = vs_end == Ordering::Less || (vs_end == Ordering::Equal && window.include_end);
  return Judgement{above_start && below_end, vs_start == Ordering::Greater, vs_end == Ordering::Less};
}

// The recursive order of a bounded in-order walk, on an explicit stack: at
// each node both comparisons come before any of its subtrees is visited, then
// the left subtree if keys below the node can still be inside, the node
// itself, and the right subtree if keys above it can.
Status collect_range(const PythonAvlTree& tree, const Node* node, const Window& window, Snapshot& out) {
  struct Visited {
    const Node* node;
    Judgement judgement;
  };
  PathStack<Visited> stack;
  for (;;) {
    while (node != nullptr) {
      prefetch_later(tree, node);
      Result<Judgement> judgement = judge(node, window);
      if (!judgement) return std::move(judgement).error();
      stack.push({node, judgement.value()});
      node = judgement.value().go_left ? tree.left_of(node) : nullptr;
    }
    if (stack.empty()) return {};
    const Visited visited = stack.pop();
    if (visited.judgement.inside) {
      if (Status s = append_value(tree, out, visited.node); !s) return s;
    }
    node = visited.judgement.go_right ? tree.right_of(visited.node) : nullptr;
  }
}

// When every comparison a bounded walk makes stays native, which nodes it
// visits depends only on each node's own comparisons, never on their order.
// A walk of a large tree then reads the visited nodes breadth first, so that
// the misses of nodes that do not depend on each other overlap, and takes the
// in-order sequence off the links it recorded.  It gives up, having taken
// nothing, at the first key that would call back into the interpreter or
// fail (the ordinary walk may meet another such key first), or when the range
// outgrows its buffer; the ordinary walk then starts over, and its
// comparisons are the first that anything can see.
constexpr int kBreadthFirstRange = 512;  // nodes visited at most

bool compares_natively(const Node* node, const Window& window) {
  const NativeKey native = node->key().native;
  return (window.start == nullptr || compares_natively(native, window.start->native)) &&
         (window.end == nullptr || compares_natively(native, window.end->native));
}

Result<bool> collect_breadth_first(const PythonAvlTree& tree, const Node* root, const Window& window, Snapshot& out) {
  struct Link {
    const Node* node;
    std::uint32_t left;  // positions in `links`, or kNoLink
    std::uint32_t right;
    bool inside;
  };
  Link links[kBreadthFirstRange];
  int count = 0;
  std::size_t inside = 0;
  const auto enqueue = [&](const Node* child) -> std::uint32_t {
    tree.prefetch_node(child);
    links[count] = Link{child, kNoLink, kNoLink, false};
    return static_cast<std::uint32_t>(count++);
  };
  enqueue(root);
  for (int i = 0; i < count; ++i) {
    const Node* node = links[i].node;
    if (!compares_natively(node, window)) return false;
    Result<Judgement> judgement = judge(node, window);
    if (!judgement) return false;  // not expected; the ordinary walk will say why
    const Judgement j = judgement.value();
    if (j.inside) ValueTaker::prefetch(tree, node);
    const Node* left_child = tree.left_of(node);
    const Node* right_child = tree.right_of(node);
    const bool left = j.go_left && left_child != nullptr;
    const bool right = j.go_right && right_child != nullptr;
    if (count + left + right > kBreadthFirstRange) return false;
    links[i].inside = j.inside;
    inside += j.inside;
    if (left) links[i].left = enqueue(left_child);
    if (right) links[i].right = enqueue(right_child);
  }
  if (Status s = out.reserve(out.size() + inside); !s) return std::move(s).error();
  visit_in_order<true>(links, false, [&](std::uint32_t at) {
    if (links[at].inside) out.push_reserved(ValueTaker::take(tree, links[at].node));
    return true;
  });
  return true;
}

// The height of a node's child on one side, from the node's own height and
// lean: the taller side is one level lower, the other two (or one if even).
unsigned child_height(const Node* node, unsigned height, bool right_side) noexcept {
  const Lean lean = node->lean();
  const bool shorter = lean == (right_side ? kLeftTall : kRightTall);
  return height - (shorter ? 2 : 1);
}

// The fewest nodes an AVL subtree of h levels can hold, for every height a
// tree can have: fewest(h) = fewest(h - 1) + fewest(h - 2) + 1, saturating.
constexpr std::size_t kHeights = 128;
constexpr auto kFewestNodes = [] {
  std::array<std::uint64_t, kHeights> fewest{0, 1};
  for (std::size_t h = 2; h < kHeights; ++h) {
    const std::uint64_t sum = fewest[h - 1] + fewest[h - 2] + 1;
    fewest[h] = sum < fewest[h - 1] ? UINT64_MAX : sum;
  }
  return fewest;
}();

// In a large tree (one that no longer fits in the cache) the walk from a
// bound reads each subtree it enters, from its first node in the walk's
// direction, breadth first, so that the misses of a level overlap.  It visits
// only nodes that can be among the `wanted` first: a node's subtree is
// entered if the fewest nodes that can come before it in the subtree are
// fewer than `wanted`, counting by height, as the leans give it.  Every node
// among the first `wanted` is therefore visited, and the in-order sequence of
// what was visited starts with them.  Appends the first `wanted` values (all
// of the subtree's, if it holds fewer) and gives true; gives false, having
// appended nothing, when more nodes than the buffer holds would be visited.
// Small subtrees, and trees in cache, gain nothing from it.
constexpr unsigned kFrontReadFrom = 3;  // levels

// Whether reading the front of a subtree is worth trying: surely when the
// whole subtree fits the buffer, and for few values, whose front stays small.
// A try that overflows the buffer is wasted work.
bool front_may_fit(unsigned height, std::uint64_t wanted) noexcept {
  return height < 10 || wanted <= kBreadthFirstRange / 4;
}

template <bool Ascending>
bool collect_front(const PythonAvlTree& tree, const Node* root, unsigned height, std::uint64_t wanted,
                   Snapshot& out) {
  struct Link {
    const Node* node;
    std::uint32_t left;  // positions in `links`, or kNoLink
    std::uint32_t right;
    std::uint64_t before;  // the fewest nodes of the subtree read that come before this one's
    unsigned height;
    bool taken;
  };
  Link links[kBreadthFirstRange];
  int count = 0;
  const auto enqueue = [&](const Node* child, unsigned child_levels, std::uint64_t before) -> std::uint32_t {
    tree.prefetch_node(child);
    links[count] = Link{child, kNoLink, kNoLink, before, child_levels, false};
    return static_cast<std::uint32_t>(count++);
  };
  enqueue(root, height, 0);
  for (int i = 0; i < count; ++i) {
    const Link link = links[i];
    const Node* first_side = Ascending ? tree.left_of(link.node) : tree.right_of(link.node);
    const Node* last_side = Ascending ? tree.right_of(link.node) : tree.left_of(link.node);
    const unsigned first_levels = first_side ? child_height(link.node, link.height, !Ascending) : 0;
    const std::uint64_t fewest = kFewestNodes[std::min<std::size_t>(first_levels, kHeights - 1)];
    const std::uint64_t rank = std::max(link.before + fewest, fewest);  // the fewest before this node, saturating
    const bool taken = rank < wanted;
    const bool last = taken && rank + 1 < wanted && last_side != nullptr;
    if (count + (first_side != nullptr) + last > kBreadthFirstRange) return false;
    links[i].taken = taken;
    if (taken) ValueTaker::prefetch(tree, link.node);
    std::uint32_t& to_first = Ascending ? links[i].left : links[i].right;
    std::uint32_t& to_last = Ascending ? links[i].right : links[i].left;
    if (first_side != nullptr) to_first = enqueue(first_side, first_levels, link.before);
    if (last) to_last = enqueue(last_side, child_height(link.node, link.height, Ascending), rank + 1);
  }
  std::uint64_t left = wanted;
  visit_in_order<Ascending>(links, false, [&](std::uint32_t at) {
    if (!links[at].taken) return true;
    out.push_reserved(ValueTaker::take(tree, links[at].node));
    return --left > 0;
  });
  return true;
}

// The stack-driven walk shared by iter_from (toward the right) and iter_to
// (toward the left, mirrored): descend to the bound, then hand out nodes in
// order until `count` values are taken.
template <bool Ascending>
Result<Snapshot> walk_from_bound(const PythonAvlTree& tree, const KeyView& bound, std::uint64_t count) {
  Snapshot out;
  if (Status s = out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(tree.len(), count))); !s)
    return std::move(s).error();
  if (count == 0) return out;
  // A node is "inside" when its key is not beyond the bound: not Less for
  // iter_from, not Greater for iter_to.
  constexpr Ordering kOutside = Ascending ? Ordering::Less : Ordering::Greater;
  const auto toward_start = [&](const Node* node) { return Ascending ? tree.left_of(node) : tree.right_of(node); };
  const auto toward_end = [&](const Node* node) { return Ascending ? tree.right_of(node) : tree.left_of(node); };

  // Every node on the stack is on one path from the root: it cannot outgrow
  // the tree's height, and needs no storage of its own.  Each is kept with
  // its height, which the walk derives on the way down.
  struct Pending {
    const Node* node;
    unsigned height;
  };
  PathStack<Pending> stack;
  unsigned height = tree.height();
  for (const Node* node = tree.root(); node != nullptr;) {
    tree.prefetch_below(node);
    Result<Ordering> order = compare(node->key(), bound);
    if (!order) return std::move(order).error();
    if (order.value() == kOutside) {
      height = child_height(node, height, Ascending);
      node = toward_end(node);
    } else {
      stack.push({node, height});
      ValueTaker::prefetch(tree, node);
      height = child_height(node, height, !Ascending);
      node = toward_start(node);
    }
  }
  const bool large = tree.len() >= kBreadthFirstFrom;
  while (!stack.empty() && out.size() < count) {
    const Pending taken = stack.pop();
    out.push_reserved(ValueTaker::take(tree, taken.node));
    const Node* next = toward_end(taken.node);
    unsigned next_height = child_height(taken.node, taken.height, Ascending);
    if (next != nullptr && large && next_height >= kFrontReadFrom && front_may_fit(next_height, count - out.size()) &&
        collect_front<Ascending>(tree, next, next_height, count - out.size(), out))
      continue;
    for (; next != nullptr; next = toward_start(next)) {
      stack.push({next, next_height});
      ValueTaker::prefetch(tree, next);
      if (const Node* later = toward_end(next)) tree.prefetch_node(later);
      next_height = child_height(next, next_height, !Ascending);
    }
  }
  return out;
}

// Takes the next `count` nodes of an in-order walk whose nodes still to come
// are on `stack`, as drain_ordered does, into room reserved for them.
template <bool Ascending, class Taker>
void drain_count(const PythonAvlTree& tree, PathStack<const Node*>& stack, std::uint64_t count,
                 Vec<typename Taker::Item>& out) {
  for (; count > 0; --count) {
    if (stack.empty()) throw Fault("a reading ran past the end of the tree");
    const Node* node = stack.pop();
    out.push_reserved(Taker::take(tree, node));
    descend_ordered<Ascending, Taker>(tree, Ascending ? tree.right_of(node) : tree.left_of(node), stack);
  }
}

// Reads this long or longer, from a tree of kBreadthFirstFrom entries or
// more, go breadth first: the misses of a level overlap.  Shorter ones would
// pay the work array for little.  A copy of a run made at once starts
// sooner: it has no cursor to place again.
constexpr std::uint64_t kBreadthFirstRead = 4096;
constexpr std::uint64_t kBreadthFirstWindow = 32;

// A progression of positions, ascending: first, first + step, ... (count).
struct Progression {
  std::uint64_t first;
  std::uint64_t step;
  std::uint64_t count;

  // Whether a position of [lo, hi) is in the progression.
  bool meets(std::uint64_t lo, std::uint64_t hi) const noexcept {
    const std::uint64_t skipped = lo <= first ? 0 : (lo - first + step - 1) / step;
    return skipped < count && first + skipped * step < hi;
  }
  bool holds(std::uint64_t position) const noexcept {
    return position >= first && (position - first) % step == 0 && (position - first) / step < count;
  }
};

// Appends, in order, the values of the subtree at `node` (positions [lo, hi))
// whose positions are in the progression; subtrees without one are skipped.
void collect_progression(const PythonAvlTree& tree, const Node* node, std::uint64_t lo, std::uint64_t hi,
                         const Progression& wanted, Snapshot& out) {
  while (node != nullptr && wanted.meets(lo, hi)) {
    const std::uint64_t position = lo + node->before;
    collect_progression(tree, tree.left_of(node), lo, position, wanted, out);
    if (wanted.holds(position)) out.push_reserved(ValueTaker::take(tree, node));
    node = tree.right_of(node);
    lo = position + 1;
  }
}

}  // namespace

Result<Snapshot> in_order(const PythonAvlTree& tree) {
  return collect_ordered<true, ValueTaker>(tree);
}

bool nodes_in_order(const PythonAvlTree& tree, Vec<const Node*>& out) {
  const std::uint64_t len = tree.len();
  if (len >= kNoLink || !out.reserve(out.size() + len)) return false;
  return static_cast<bool>(walk_breadth_first<true, NodeTaker>(tree, out, 0, len));
}

Result<Snapshot> descending(const PythonAvlTree& tree) {
  return collect_ordered<false, ValueTaker>(tree);
}

Result<Snapshot> pre_order(const PythonAvlTree& tree) {
  return collect_depth_first<false>(tree);
}

Result<Snapshot> post_order(const PythonAvlTree& tree) {
  return collect_depth_first<true>(tree);
}

Result<EntrySnapshot> in_order_entries(const PythonAvlTree& tree) {
  return collect_ordered<true, EntryTaker>(tree);
}

// Level order is breadth-first order: the positions are the queue, and the
// nodes far enough ahead in it are loaded while the front is read.
Result<Snapshot> level_order(const PythonAvlTree& tree) {
  Snapshot out;
  Vec<const Node*> order;
  if (Status s = out.reserve(tree.len()); !s) return std::move(s).error();
  if (Status s = order.reserve(tree.len()); !s) return std::move(s).error();
  visit_breadth_first<ValueTaker>(tree, order, [&](const Node* node, std::uint32_t, std::uint32_t) {
    out.push_reserved(ValueTaker::take(tree, node));
  });
  return out;
}

Status check_range_bounds(const KeyView* start, const KeyView* end) {
  if (start == nullptr || end == nullptr) return {};
  Result<Ordering> order = compare(*start, *end);
  if (!order) return std::move(order).error();
  if (order.value() == Ordering::Greater) return Error::make(PyExc_ValueError, "range start must not exceed end");
  return {};
}

Result<bool> short_range(const PythonAvlTree& tree, const KeyView* start, const KeyView* end, bool include_start,
                         bool include_end, Snapshot& out) {
  if (tree.len() < kBreadthFirstFrom || (start == nullptr && end == nullptr)) return false;
  // The breadth-first walk knows how many values it takes before it takes
  // any, and makes room for exactly those.
  return collect_breadth_first(tree, tree.root(), Window{start, end, include_start, include_end}, out);
}

Result<Snapshot> range(const PythonAvlTree& tree, const KeyView* start, const KeyView* end,
                       bool include_start, bool include_end) {
  Snapshot out;
  Result<bool> taken = short_range(tree, start, end, include_start, include_end, out);
  if (!taken) return std::move(taken).error();
  if (taken.value()) return out;  // otherwise nothing was taken
  const Window window{start, end, include_start, include_end};
  // Room for a typical range up front (the largest block the interpreter's
  // small-object allocator serves) spares the first doublings.
  if (Status s = out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(tree.len(), 64))); !s)
    return std::move(s).error();
  if (Status s = collect_range(tree, tree.root(), window, out); !s) return std::move(s).error();
  return out;
}

namespace {

// A run from a bound that compares plainly, in a tree whose nodes lie in key
// order: the bound's rank says where the run starts, and it is read from
// storage, not walked.  Nobody can see that the rank's descent compares in
// another order than the walk's.
bool runs_by_rank(const PythonAvlTree& tree, const KeyView& bound) {
  return tree.len() != 0 && tree.placed_at(0) != nullptr && tree.compares_plainly(&bound, nullptr);
}

template <bool Ascending>
Result<Snapshot> run_by_rank(const PythonAvlTree& tree, const KeyView& bound, std::uint64_t count) {
  const Span inside = Ascending ? plain_range_span(tree, &bound, nullptr, true, false)
                                : plain_range_span(tree, nullptr, &bound, true, true);
  count = std::min(count, inside.count);
  if (count == 0) return Snapshot{};
  return positions(tree, Ascending ? inside.first : inside.first + inside.count - 1, Ascending ? 1 : -1, count);
}

}  // namespace

Result<Snapshot> iter_from(const PythonAvlTree& tree, const KeyView& start, std::uint64_t count) {
  if (runs_by_rank(tree, start)) return run_by_rank<true>(tree, start, count);
  return walk_from_bound<true>(tree, start, count);
}

Result<Snapshot> iter_to(const PythonAvlTree& tree, const KeyView& end, std::uint64_t count) {
  if (runs_by_rank(tree, end)) return run_by_rank<false>(tree, end, count);
  return walk_from_bound<false>(tree, end, count);
}

Span plain_range_span(const PythonAvlTree& tree, const KeyView* start, const KeyView* end, bool include_start,
                      bool include_end) {
  const auto rank_of = [&](const KeyView& bound) {
    Result<PythonAvlTree::Rank> rank = tree.rank(bound);
    if (!rank) throw Fault("a plain comparison failed");
    return rank.value();
  };
  std::uint64_t first = 0, last = tree.len();
  if (start != nullptr) {
    const PythonAvlTree::Rank rank = rank_of(*start);
    first = rank.below + (rank.found && !include_start);
  }
  if (end != nullptr) {
    const PythonAvlTree::Rank rank = rank_of(*end);
    last = rank.below + (rank.found && include_end);
  }
  return Span{first, last > first ? last - first : 0};
}

Result<Snapshot> positions(const PythonAvlTree& tree, std::uint64_t first, std::int64_t step, std::uint64_t count) {
  Snapshot out;
  if (Status s = out.reserve(count); !s) return std::move(s).error();
  if (count == 0) return out;
  if (tree.placed_at(first) != nullptr) {
    read_placed<ValueTaker>(tree, out, first, step, count);
    return out;
  }
  if (step == 1 || step == -1) {
    // In a large tree even a short run is read breadth first: its nodes lie
    // apart, and their misses then overlap.
    if (tree.len() >= kBreadthFirstFrom && tree.len() < kNoLink && count >= kBreadthFirstWindow) {
      const std::uint64_t lowest = step == 1 ? first : first + 1 - count;
      const Status walked = step == 1 ? walk_breadth_first<true, ValueTaker>(tree, out, lowest, lowest + count)
                                      : walk_breadth_first<false, ValueTaker>(tree, out, lowest, lowest + count);
      if (walked) return out;
    }
    Cursor::at(tree, first, count, step == 1).take(tree, count, out);
    return out;
  }
  // The same positions ascending; a negative step reads them back to front.
  const std::uint64_t stride = step > 0 ? static_cast<std::uint64_t>(step) : 0 - static_cast<std::uint64_t>(step);
  const std::uint64_t lowest = step > 0 ? first : first - (count - 1) * stride;
  collect_progression(tree, tree.root(), 0, tree.len(), Progression{lowest, stride, count}, out);
  if (out.size() != count) throw Fault("a slice found fewer positions than it wanted");
  if (step < 0) std::reverse(out.data(), out.data() + out.size());
  return out;
}

Cursor Cursor::at(const PythonAvlTree& tree, std::uint64_t first, std::uint64_t count, bool ascending) {
  Cursor cursor;
  cursor.ascending_ = ascending;
  if (count == 0) return cursor;
  if (first >= tree.len() || count > (ascending ? tree.len() - first : first + 1))
    throw Fault("a cursor placed past the end of the tree");
  cursor.position_ = first;
  cursor.remaining_ = count;
  // A tree in key order is read by position (next, read), with no stack.
  if (tree.placed_at(first) != nullptr) return cursor;
  // Down to the first node: on the way, every node whose turn comes after it
  // in the reading's direction is kept for later.
  // Each step is known as soon as the node is read, with no comparison whose
  // time a prefetch of the children could use.
  std::uint64_t wanted = first;
  for (const Node* node = tree.root(); node != nullptr;) {
    const std::uint64_t before = node->before;
    if (wanted == before) {
      cursor.pending_.push(node);
      ValueTaker::prefetch(tree, node);
      break;
    }
    const bool right = wanted > before;
    if (right) wanted -= before + 1;
    if (right != ascending) cursor.pending_.push(node);
    node = right ? tree.right_of(node) : tree.left_of(node);
  }
  return cursor;
}

Result<Cursor> Cursor::from_bound(const PythonAvlTree& tree, const KeyView& bound, std::uint64_t count,
                                  bool ascending, bool inclusive) {
  Cursor cursor;
  cursor.ascending_ = ascending;
  if (count == 0) return cursor;
  // The descent of iter_from (iter_to mirrored): a node not beyond the bound
  // is kept and the walk turns toward the start, else toward the end; it
  // runs down to an empty subtree.  `below` counts the nodes passed toward
  // the start of the order.
  const Ordering outside = ascending ? Ordering::Less : Ordering::Greater;
  std::uint64_t below = 0;
  bool found = false;
  for (const Node* node = tree.root(); node != nullptr;) {
    tree.prefetch_below(node);
    Result<Ordering> order = compare(node->key(), bound);
    if (!order) return std::move(order).error();
    const bool beyond = order.value() == outside || (!inclusive && order.value() == Ordering::Equal);
    if (beyond == ascending) {
      if (!ascending) {
        cursor.pending_.push(node);
        ValueTaker::prefetch(tree, node);
        cursor.position_ = below + node->before;
        found = true;
      }
      below += std::uint64_t{node->before} + 1;
      node = tree.right_of(node);
    } else {
      if (ascending) {
        cursor.pending_.push(node);
        ValueTaker::prefetch(tree, node);
        cursor.position_ = below + node->before;
        found = true;
      }
      node = tree.left_of(node);
    }
  }
  if (!found) return cursor;
  const std::uint64_t available = ascending ? tree.len() - cursor.position_ : cursor.position_ + 1;
  cursor.remaining_ = std::min(count, available);
  return cursor;
}

PyObject* Cursor::next(const PythonAvlTree& tree) {
  if (remaining_ == 0) throw Fault("a reading ran past its end");
  // A tree read by a cursor does not change, so it lies in key order for
  // the whole reading or not at all: then the stack is not needed.
  if (const Node* placed = tree.placed_at(position_)) {
    --remaining_;
    position_ = ascending_ ? position_ + 1 : position_ - 1;
    return tree.value_of(placed);
  }
  if (pending_.empty()) throw Fault("a reading ran past its end");
  const Node* node = pending_.pop();
  if (ascending_)
    descend_ordered<true, ValueTaker>(tree, tree.right_of(node), pending_);
  else
    descend_ordered<false, ValueTaker>(tree, tree.left_of(node), pending_);
  --remaining_;
  position_ = ascending_ ? position_ + 1 : position_ - 1;
  return tree.value_of(node);
}

template <class Taker>
void Cursor::read(const PythonAvlTree& tree, std::uint64_t count, Vec<typename Taker::Item>& out) {
  if (count > remaining_) throw Fault("a reading ran past its end");
  if (out.capacity() - out.size() < count) throw Fault("a reading without room for what it reads");
  if (count == 0) return;
  const std::uint64_t after = ascending_ ? position_ + count : position_ - count;
  const std::uint64_t left = remaining_ - count;
  if (tree.placed_at(position_) != nullptr) {
    read_placed<Taker>(tree, out, position_, ascending_ ? 1 : -1, count);
    position_ = after;
    remaining_ = left;
    return;
  }
  if (count >= kBreadthFirstRead && tree.len() >= kBreadthFirstFrom && tree.len() < kNoLink) {
    // Then the cursor is placed again after what was read: O(h).
    const std::uint64_t first = ascending_ ? position_ : after + 1;
    const Status walked = ascending_ ? walk_breadth_first<true, Taker>(tree, out, first, first + count)
                                     : walk_breadth_first<false, Taker>(tree, out, first, first + count);
    if (walked) {
      *this = at(tree, left == 0 ? 0 : after, left, ascending_);
      return;
    }
  }
  // On a stack of its own, which nothing the walk writes can alias, the walk
  // keeps the stack's depth in a register.
  PathStack<const Node*> stack = pending_;
  if (ascending_)
    drain_count<true, Taker>(tree, stack, count, out);
  else
    drain_count<false, Taker>(tree, stack, count, out);
  pending_ = stack;
  position_ = after;
  remaining_ = left;
}

void Cursor::lend(const PythonAvlTree& tree, std::uint64_t count, Vec<PyObject*>& out) {
  read<LentValueTaker>(tree, count, out);
}

void Cursor::take(const PythonAvlTree& tree, std::uint64_t count, Snapshot& out) { read<ValueTaker>(tree, count, out); }

}  // namespace quorvel
