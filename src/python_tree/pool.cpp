#include "python_tree/pool.hpp"

#include <algorithm>

namespace quorvel {
namespace {

// A new last chunk starts this small: a tree of a few entries stays small.
constexpr std::uint64_t kFirstSlots = 4;

}  // namespace

#ifdef QUORVEL_TESTING
std::uint64_t NodePool::index_limit_for_testing = 0;
#endif

char* NodePool::chunk_block(std::size_t chunk) const noexcept {
  return chunk == 0 ? first_block_ : chunks_[chunk];
}

void NodePool::set_chunk(std::size_t chunk, char* block) noexcept {
  if (chunk == 0) {
    first_block_ = block;
    block -= stride_;  // index 0 has no slot
  }
  chunks_[chunk] = block;
}

std::uint64_t NodePool::chunk_slots(std::size_t chunk) const noexcept {
  const std::uint64_t first = chunk == 0 ? 1 : chunk * kChunkSlots;
  const std::uint64_t last = std::min(capacity_, (chunk + 1) * kChunkSlots);
  return last - first;
}

Status NodePool::grow_to(std::uint64_t wanted) noexcept {
  const std::size_t chunk = static_cast<std::size_t>(capacity_ >> kChunkShift);
  const std::uint64_t first = chunk == 0 ? 1 : chunk * kChunkSlots;
  const std::uint64_t slots = std::min(wanted, (chunk + 1) * kChunkSlots) - first;
  if (chunk < chunks_.size()) {
    // The last chunk is partly allocated: it grows in place or moves whole.
    void* grown = mem_realloc(chunk_block(chunk), slots * stride_);
    if (grown == nullptr) return Error::no_memory();
    set_chunk(chunk, static_cast<char*>(grown));
    capacity_ = first + slots;
    return {};
  }
  if (Status s = chunks_.reserve(std::max<std::size_t>(chunk + 1, 2 * chunks_.size())); !s) return s;
  void* block = mem_alloc(slots * stride_);
  if (block == nullptr) return Error::no_memory();
  chunks_.push_reserved(nullptr);
  set_chunk(chunk, static_cast<char*>(block));
  capacity_ = first + slots;
  return {};
}

Result<NodeIndex> NodePool::take() noexcept {
  in_key_order_ = false;
  if (free_ != kNoNode) {
    const NodeIndex index = free_;
    free_ = at(index)->left;
    --free_count_;
    return index;
  }
  std::uint64_t limit = kIndexLimit;
#ifdef QUORVEL_TESTING
  if (index_limit_for_testing != 0) limit = index_limit_for_testing;
#endif
  if (next_ > limit) return Error::make(PyExc_OverflowError, "a tree holds at most 2**32 - 1 entries");
  if (next_ == capacity_) {
    // Doubling what the last chunk holds keeps its spare room below half.
    const std::size_t chunk = static_cast<std::size_t>(capacity_ >> kChunkShift);
    const std::uint64_t held = chunk < chunks_.size() ? chunk_slots(chunk) : 0;
    if (Status s = grow_to(capacity_ + std::max(held, kFirstSlots)); !s) return std::move(s).error();
  }
  return static_cast<NodeIndex>(next_++);
}

void NodePool::take_first(std::uint64_t count) {
  if (next_ != 1 || free_count_ != 0 || capacity_ - 1 < count) throw Fault("slots taken at once without their room");
  in_key_order_ = false;
  next_ += count;
}

void NodePool::give_back(NodeIndex index) noexcept {
  in_key_order_ = false;
  Node* node = at(index);
  node->key_word = 0;
  node->left = free_;
  free_ = index;
  ++free_count_;
}

void NodePool::reserve(std::uint64_t count) noexcept {
  const std::uint64_t wanted = std::min(next_ + count, kIndexLimit + 1);
  while (capacity_ < wanted) {
    if (!grow_to(wanted)) return;
  }
}

void NodePool::trim() noexcept {
  if (capacity_ == next_ || chunks_.empty()) return;
  const std::size_t last = chunks_.size() - 1;
  const std::uint64_t first = last == 0 ? 1 : last * kChunkSlots;
  if (next_ <= first && last > 0) {
    // The last chunk holds nothing handed out.
    mem_free(chunk_block(last));
    static_cast<void>(chunks_.pop_back());
    capacity_ = first;
    trim();
    return;
  }
  if (next_ == 1) {
    free_storage();
    return;
  }
  void* shrunk = mem_realloc(chunk_block(last), (next_ - first) * stride_);
  if (shrunk == nullptr) return;  // the larger block stays
  set_chunk(last, static_cast<char*>(shrunk));
  capacity_ = next_;
}

Status NodePool::widen() noexcept {
  if (keyed()) return {};
  NodePool wide;
  wide.set_keyed(true);
  if (Status s = wide.chunks_.reserve(chunks_.size()); !s) return s;
  for (std::size_t chunk = 0; chunk < chunks_.size(); ++chunk) {
    void* block = mem_alloc(chunk_slots(chunk) * wide.stride_);
    if (block == nullptr) return Error::no_memory();  // `wide` frees what it got
    wide.chunks_.push_reserved(nullptr);
    wide.set_chunk(chunk, static_cast<char*>(block));
  }
  for (std::uint64_t index = 1; index < next_; ++index) {
    const Node* from = at(static_cast<NodeIndex>(index));
    auto* to = static_cast<KeyedNode*>(wide.at(static_cast<NodeIndex>(index)));
    *static_cast<Node*>(to) = *from;
    to->value = from->key_word != 0 ? from->key_object() : nullptr;
  }
  wide.capacity_ = capacity_;
  wide.next_ = next_;
  wide.free_ = free_;
  wide.free_count_ = free_count_;
  wide.in_key_order_ = in_key_order_;  // every node keeps its index
  *this = std::move(wide);
  return {};
}

void NodePool::free_storage() noexcept {
  for (std::size_t chunk = 0; chunk < chunks_.size(); ++chunk) mem_free(chunk_block(chunk));
  chunks_.clear();
  first_block_ = nullptr;
  capacity_ = 1;
  next_ = 1;
  free_ = kNoNode;
  free_count_ = 0;
}

}  // namespace quorvel
