// The storage of a tree's nodes: fixed-size chunks addressed by 32-bit indices.
//
// A node is 28 bytes when the key is the value and 36 when the entry keeps a
// separate key, instead of one 48-byte allocation each.  Index 0 means "no
// node".  Chunks hold 2**12 slots; only the last one grows (by doubling, from
// a few slots, or to an exact size when the caller knows how many entries are
// coming), so at most half of one chunk is ever spare, and growth never moves
// a node of any other chunk.  A growth of the last chunk may move its nodes:
// no pointer into the pool is kept across anything that can grow it.
// Freed slots form a list threaded through their left links.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "python_tree/compare.hpp"
#include "support/error.hpp"
#include "support/memory.hpp"

namespace quorvel {

using NodeIndex = std::uint32_t;
inline constexpr NodeIndex kNoNode = 0;

// Which subtree of a node is the taller, if either.
enum Lean : std::uint8_t { kEven = 0, kLeftTall = 1, kRightTall = 2 };

// A 64-bit word kept in 4-byte-aligned storage, so that a node's 32-bit
// fields fill it without padding.  It reads and writes as the plain word;
// the loads are the one unaligned instruction either way.
template <class T>
class Unaligned {
  static_assert(sizeof(T) == 8 && std::is_trivially_copyable_v<T>);

 public:
  operator T() const noexcept {
    T value;
    std::memcpy(&value, halves_, sizeof value);
    return value;
  }
  Unaligned& operator=(T value) noexcept {
    std::memcpy(halves_, &value, sizeof value);
    return *this;
  }

 private:
  std::uint32_t halves_[2];
};

// The part of a node every tree has.  The key word packs the key object's
// address with its native kind (the low three bits, free since objects are
// 8-aligned) and the node's lean (the top two bits, which no user-space
// address sets on the 64-bit platforms the module is built for).  A key word
// of 0 marks a free slot.  `before` is the number of nodes in the left
// subtree: the node's position within its own subtree, from which every
// position in the tree is found on one path down.
struct Node {
  Unaligned<std::uint64_t> key_word;
  Unaligned<std::uint64_t> native_bits;
  NodeIndex left;   // keys that compared Less
  NodeIndex right;  // keys that compared Greater
  std::uint32_t before;

  static constexpr std::uint64_t kKindMask = 7;
  static constexpr unsigned kLeanShift = 62;
  static constexpr std::uint64_t kAddressMask = ~(kKindMask | (std::uint64_t{3} << kLeanShift));

  PyObject* key_object() const noexcept { return reinterpret_cast<PyObject*>(key_word & kAddressMask); }
  KeyView key() const noexcept {
    const std::uint64_t word = key_word;
    return KeyView{reinterpret_cast<PyObject*>(word & kAddressMask),
                   NativeKey{native_bits, static_cast<std::uint8_t>(word & kKindMask)}};
  }
  Lean lean() const noexcept { return static_cast<Lean>(key_word >> kLeanShift); }
  void set_lean(Lean lean) noexcept {
    key_word = (key_word & ~(std::uint64_t{3} << kLeanShift)) | (std::uint64_t{lean} << kLeanShift);
  }
  NodeIndex child(bool right_side) const noexcept { return right_side ? right : left; }
  NodeIndex& child(bool right_side) noexcept { return right_side ? right : left; }
};
static_assert(sizeof(Node) == 28 && alignof(Node) == 4);

// Put in one arm of a branch whose direction the processor predicts well
// (a descent to either end), after that arm loads the next link.  Clang
// otherwise merges the two arms' loads into one load at a selected address,
// which waits for the comparison; a branch lets the processor run ahead down
// the side it predicts.  It emits no instruction.
inline void keep_branch(NodeIndex& link) noexcept { asm("" : "+r"(link)); }

// A node of a tree whose entries keep a key apart from the value.
struct KeyedNode : Node {
  Unaligned<PyObject*> value;
};
static_assert(sizeof(KeyedNode) == 36);

// The slots of a pool seen with a node size known at compile time, for a
// walk during which the pool does not grow.
template <std::size_t Stride>
class SlotView {
 public:
  explicit SlotView(char* const* chunks) noexcept : chunks_(chunks) {}
  Node* operator()(NodeIndex index) const noexcept;

 private:
  char* const* chunks_;
};

class NodePool {
 public:
  static constexpr unsigned kChunkShift = 12;
  static constexpr std::uint64_t kChunkSlots = std::uint64_t{1} << kChunkShift;
  // Index 0 is "no node", so at most 2**32 - 1 slots.
  static constexpr std::uint64_t kIndexLimit = UINT32_MAX;

  NodePool() noexcept = default;
  NodePool(NodePool&& other) noexcept { swap(other); }
  NodePool& operator=(NodePool&& other) noexcept {
    NodePool moved(std::move(other));
    swap(moved);
    return *this;
  }
  NodePool(const NodePool&) = delete;
  // Frees the storage only: the owner has released the entries.
  ~NodePool() { free_storage(); }

  bool keyed() const noexcept { return stride_ == sizeof(KeyedNode); }
  // Chooses the node size; only while the pool has no storage.
  void set_keyed(bool keyed) noexcept { stride_ = keyed ? sizeof(KeyedNode) : sizeof(Node); }

  // The slot of an index that was handed out.  For kNoNode (with chunk 0
  // present) an address that may be prefetched, never read.
  Node* at(NodeIndex index) const noexcept {
    return reinterpret_cast<Node*>(chunks_[index >> kChunkShift] +
                                   static_cast<std::size_t>(index & (kChunkSlots - 1)) * stride_);
  }
  bool has_storage() const noexcept { return !chunks_.empty(); }
  // The chunk table, for walks that read many slots while nothing grows.
  char* const* chunk_table() const noexcept { return chunks_.data(); }
  std::size_t stride() const noexcept { return stride_; }

  // A slot from the free list or a fresh one (contents undefined), growing
  // the storage if needed: MemoryError, or OverflowError past 2**32 - 1
  // slots; the pool is then unchanged.
  Result<NodeIndex> take() noexcept;
  // Hands out slots 1 to `count` of an empty pool at once, for a build that
  // fills them in order; the room must have been reserved.
  void take_first(std::uint64_t count);
  // Puts a slot whose entry was moved out on the free list.
  void give_back(NodeIndex index) noexcept;
  // Room for `count` more fresh slots without growth, sized exactly.  A hint:
  // on failure the pool keeps what it could get and stays valid.
  void reserve(std::uint64_t count) noexcept;
  // Gives back the storage past the last slot handed out.
  void trim() noexcept;
  // Gives every node a value slot holding its key object, each at its own
  // index; free slots stay free.  On MemoryError nothing changed.
  Status widen() noexcept;

  // Slots with storage, slots handed out (in use or free), and free slots.
  std::uint64_t capacity() const noexcept { return capacity_ - 1; }
  NodeIndex end() const noexcept { return static_cast<NodeIndex>(next_); }  // indices below were handed out
  std::uint64_t free_count() const noexcept { return free_count_; }
  NodeIndex free_head() const noexcept { return free_; }

  // Whether slot i + 1 holds the node at position i of the key order, for
  // every node, so that a position is read without a descent.  Only a build
  // or a compaction that placed the nodes so says it; taking or giving back
  // any slot ends it, since every change of membership does one or the other
  // and rotations move no node between slots.
  bool in_key_order() const noexcept { return in_key_order_; }
  void mark_in_key_order() noexcept { in_key_order_ = true; }

#ifdef QUORVEL_TESTING
  // Lowers the slot limit so that its error can be reached in a test; 0 restores it.
  static std::uint64_t index_limit_for_testing;
#endif

 private:
  void swap(NodePool& other) noexcept {
    std::swap(chunks_, other.chunks_);
    std::swap(capacity_, other.capacity_);
    std::swap(next_, other.next_);
    std::swap(free_, other.free_);
    std::swap(free_count_, other.free_count_);
    std::swap(stride_, other.stride_);
    std::swap(first_block_, other.first_block_);
    std::swap(in_key_order_, other.in_key_order_);
  }
  // Grows the last chunk, or starts a new one, to hold indices below `wanted`
  // (at most to the end of that chunk).
  Status grow_to(std::uint64_t wanted) noexcept;
  void free_storage() noexcept;
  // Where chunk `chunk`'s allocation starts, and how many slots it has.
  char* chunk_block(std::size_t chunk) const noexcept;
  void set_chunk(std::size_t chunk, char* block) noexcept;
  std::uint64_t chunk_slots(std::size_t chunk) const noexcept;

  Vec<char*> chunks_;            // chunk c holds indices from c * kChunkSlots on; chunk 0's
                                 // entry points one slot before its block, as index 0 has none
  std::uint64_t capacity_ = 1;   // one past the last index with storage
  std::uint64_t next_ = 1;       // the first index never handed out
  NodeIndex free_ = kNoNode;     // the free list, through left links
  std::uint64_t free_count_ = 0;
  std::uint32_t stride_ = sizeof(Node);
  // Chunk 0's block itself: the table points one slot before it, and a leak
  // checker looks for pointers to a block's start.
  char* first_block_ = nullptr;
  bool in_key_order_ = false;
};

// Asks for the first `size` bytes of a node: nodes are aligned to 4 bytes,
// not to cache lines, so about one in three spans two lines, and asking for
// the first alone would leave the second to a miss of its own.
// Every helper that only prefetches is always inlined: GCC counts a function
// without stores as one without effect, and drops each call to it that it
// has not inlined, prefetches and all.
[[gnu::always_inline]] inline void prefetch_node(const Node* node, std::size_t size = sizeof(Node)) noexcept {
  __builtin_prefetch(node);
  __builtin_prefetch(reinterpret_cast<const char*>(node) + size - 1);
}

// Asks for the four grandchildren of a node whose children were asked for a
// level earlier, so that their links are at hand or nearly: each miss of a
// descent then has two levels' time to arrive.  `slot` gives an index's node.
template <class Slot>
[[gnu::always_inline]] inline void prefetch_grandchildren(const Slot& slot, const Node* node, const Node* left_child,
                                                          const Node* right_child) noexcept {
  if (node->left != kNoNode) {
    prefetch_node(slot(left_child->left));
    prefetch_node(slot(left_child->right));
  }
  if (node->right != kNoNode) {
    prefetch_node(slot(right_child->left));
    prefetch_node(slot(right_child->right));
  }
}

template <std::size_t Stride>
Node* SlotView<Stride>::operator()(NodeIndex index) const noexcept {
  return reinterpret_cast<Node*>(chunks_[index >> NodePool::kChunkShift] +
                                 static_cast<std::size_t>(index & (NodePool::kChunkSlots - 1)) * Stride);
}

}  // namespace quorvel
