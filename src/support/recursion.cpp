#include "support/recursion.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace quorvel {
namespace {

// Room kept free below the deepest check: enough for the native frames of
// one more round of re-entry (the interpreter's evaluation loop, a call into
// this module and its comparison) and for raising and reporting the error.
// A quarter of the stack at most, so that threads with small stacks still
// get work done.  Sanitizer builds have much larger frames.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kMaxMargin = std::size_t{2} << 20;
#else
constexpr std::size_t kMaxMargin = std::size_t{512} << 10;
#endif

// The stacks of the threads that called in lately, each a block of memory
// [low, high) with the lowest frame address that still leaves the margin.
// A frame address inside a block identifies the thread's stack without
// asking the thread library (or paying for thread-local storage, which in a
// loaded library is a call on every access); the table is read and filled
// only by the thread that holds the interpreter lock.
struct StackBlock {
  std::uintptr_t low = 0;
  std::uintptr_t high = 0;
  std::uintptr_t lowest_safe = 0;
};

constexpr int kRememberedStacks = 4;
StackBlock stacks[kRememberedStacks];
int next_replaced = 0;

// The stack grows down from the top of the block that the thread library
// reports for this thread.  A thread whose stack cannot be found is never
// reported full.
bool stack_nearly_full_after_lookup(std::uintptr_t here) noexcept {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* low = nullptr;
  std::size_t size = 0;
  const bool found = pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr && size > 0;
  pthread_attr_destroy(&attributes);
  const auto base = reinterpret_cast<std::uintptr_t>(low);
  // Code running on a stack of its own making (not the thread's) is not checked.
  if (!found || here - base >= size) return false;
  StackBlock& block = stacks[next_replaced];
  next_replaced = (next_replaced + 1) % kRememberedStacks;
  block.low = base;
  block.high = base + size;
  block.lowest_safe = block.low + std::min(size / 4, kMaxMargin);
  return here < block.lowest_safe;
}

// Whether the current thread's native stack is nearly used up: less room
// below the caller's frame than a few levels of re-entry need.
bool native_stack_nearly_full() noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  for (const StackBlock& block : stacks)
    if (here - block.low < block.high - block.low) return here < block.lowest_safe;
  return stack_nearly_full_after_lookup(here);
}

}  // namespace

Result<RecursionLevel> RecursionLevel::enter(const char* where) {
  if (native_stack_nearly_full()) [[unlikely]] {
    Ref message = Ref::steal(PyUnicode_FromFormat("maximum recursion depth exceeded%s (native stack)", where));
    if (!message) return Error::fetch();
    return Error::make(PyExc_RecursionError, std::move(message));
  }
  if (Py_EnterRecursiveCall(where) != 0) [[unlikely]]
    return Error::fetch();
  return RecursionLevel();
}

}  // namespace quorvel
