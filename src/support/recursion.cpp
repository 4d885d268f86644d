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

// The calling thread's own stack, a block of memory [low, high), with the
// lowest frame address that still leaves the margin; all zero until the
// thread first checks.  Each thread keeps its own, so nothing outlives the
// thread it describes: a thread that exits takes its bounds with it, and a
// later thread given the same addresses finds none and asks again.  In the
// initial-exec model the variable is read at a fixed offset from the thread
// pointer, with no call, so the check costs what a global's would.
struct StackBlock {
  std::uintptr_t low = 0;
  std::uintptr_t size = 0;
  std::uintptr_t lowest_safe = 0;
};

[[gnu::tls_model("initial-exec")]] thread_local StackBlock own_stack;

// The stack grows down from the top of the block that the thread library
// reports for this thread.  A thread whose stack cannot be found is never
// reported full, and asks again at its next check.
[[gnu::noinline]] bool stack_nearly_full_after_lookup(std::uintptr_t here) noexcept {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* low = nullptr;
  std::size_t size = 0;
  const bool found = pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr && size > 0;
  pthread_attr_destroy(&attributes);
  if (!found) return false;
  const auto base = reinterpret_cast<std::uintptr_t>(low);
  own_stack = StackBlock{base, size, base + std::min(size / 4, kMaxMargin)};
  // Code running on a stack of its own making (not the thread's) is not checked.
  if (here - base >= size) return false;
  return here < own_stack.lowest_safe;
}

// Whether the current thread's native stack is nearly used up: less room
// below the caller's frame than a few levels of re-entry need.
bool native_stack_nearly_full() noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const StackBlock& block = own_stack;
  if (here - block.low < block.size) [[likely]]
    return here < block.lowest_safe;
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
