// Memory for nodes, snapshots and work arrays.
//
// Everything comes from the interpreter's allocator, so that tracemalloc and
// sys.getallocatedblocks() see it, and a failed allocation is a MemoryError,
// never an abort.  A testing build can make the Nth allocation fail.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "support/error.hpp"
#include "support/ref.hpp"

namespace quorvel {

#ifdef QUORVEL_TESTING
// Allocations left before the injected failure; 0 means none is injected.
extern std::int64_t allocation_countdown;
inline bool injected_allocation_failure() noexcept {
  return allocation_countdown > 0 && --allocation_countdown == 0;
}
#else
constexpr bool injected_allocation_failure() noexcept { return false; }
#endif

inline void* mem_alloc(std::size_t size) noexcept {
  if (injected_allocation_failure()) return nullptr;
  return PyMem_Malloc(size);
}

inline void* mem_realloc(void* block, std::size_t size) noexcept {
  if (injected_allocation_failure()) return nullptr;
  return PyMem_Realloc(block, size);
}

inline void mem_free(void* block) noexcept { PyMem_Free(block); }

// Element types whose objects may be moved to new storage by copying their
// bytes (realloc) without running constructors: trivially copyable types and
// the single-pointer owners that opt in.
template <class T>
inline constexpr bool is_relocatable = std::is_trivially_copyable_v<T>;
template <>
inline constexpr bool is_relocatable<Ref> = true;

// A growable array.  It owns its storage and its elements; elements are
// destroyed front to back.
template <class T>
class Vec {
  static_assert(is_relocatable<T>);

 public:
  Vec() noexcept = default;
  Vec(Vec&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Vec& operator=(Vec&& other) noexcept {
    Vec moved(std::move(other));
    std::swap(data_, moved.data_);
    std::swap(size_, moved.size_);
    std::swap(capacity_, moved.capacity_);
    return *this;
  }
  Vec(const Vec&) = delete;
  Vec& operator=(const Vec&) = delete;
  ~Vec() { clear(); }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T pop_back() noexcept {
    T last(std::move(data_[--size_]));
    data_[size_].~T();
    return last;
  }

  // Makes room for at least `wanted` elements in all.
  Status reserve(std::size_t wanted) noexcept {
    if (wanted <= capacity_) return {};
    if (wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) return Error::no_memory();
    void* grown = mem_realloc(data_, wanted * sizeof(T));
    if (grown == nullptr) return Error::no_memory();
    data_ = static_cast<T*>(grown);
    capacity_ = wanted;
    return {};
  }

  // Appends, growing to 4 slots the first time and doubling after that.  On
  // failure the element is destroyed here.
  Status push(T&& element) noexcept {
    if (size_ == capacity_) {
      Status grown = reserve(capacity_ == 0 ? 4 : capacity_ * 2);
      if (!grown) return grown;
    }
    push_reserved(std::move(element));
    return {};
  }
  Status push(const T& element) noexcept
    requires std::is_trivially_copyable_v<T>
  {
    return push(T(element));
  }

  // Appends `count` elements copied from `source`, growing by doubling.
  Status append(const T* source, std::size_t count) noexcept
    requires std::is_trivially_copyable_v<T>
  {
    if (count > capacity_ - size_) {
      std::size_t wanted = capacity_ == 0 ? 4 : capacity_;
      while (wanted - size_ < count) {
        if (wanted > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 2) return Error::no_memory();
        wanted *= 2;
      }
      Status grown = reserve(wanted);
      if (!grown) return grown;
    }
    std::memcpy(data_ + size_, source, count * sizeof(T));
    size_ += count;
    return {};
  }

  // Appends where room was reserved beforehand.
  void push_reserved(T&& element) noexcept { new (data_ + size_++) T(std::move(element)); }

  // Fills the reserved room after the elements in any order: place(i, e)
  // puts e at size() + i, and grow(count) then makes the first `count`
  // placed elements part of the array.  Each of them must have been placed
  // exactly once; until then they are not the array's.
  void place(std::size_t i, T&& element) noexcept { new (data_ + size_ + i) T(std::move(element)); }
  void grow(std::size_t count) noexcept { size_ += count; }

  // Hands this array's storage, elements and room, to an array of another
  // element type of the same size, leaving this one empty.  The caller
  // vouches that each element's bytes are a valid U (say, a borrowed
  // pointer it has just taken a reference to, becoming its Ref).
  template <class U>
  Vec<U> recast() && noexcept {
    static_assert(sizeof(U) == sizeof(T) && alignof(U) == alignof(T));
    Vec<U> out;
    out.data_ = reinterpret_cast<U*>(std::exchange(data_, nullptr));
    out.size_ = std::exchange(size_, 0);
    out.capacity_ = std::exchange(capacity_, 0);
    return out;
  }

  // Destroys every element, front to back, and frees the storage.
  void clear() noexcept {
    T* data = std::exchange(data_, nullptr);
    const std::size_t size = std::exchange(size_, 0);
    capacity_ = 0;
    for (std::size_t i = 0; i < size; ++i) data[i].~T();
    mem_free(data);
  }

 private:
  template <class U>
  friend class Vec;

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quorvel
