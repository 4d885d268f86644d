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

struct StackLimit {
  std::uintptr_t lowest_safe = 0;  // 0: not known, never reported full
  bool looked = false;
};

thread_local StackLimit stack_limit;

// The stack grows down from the top of the block that the thread library
// reports for this thread.
void look_up_stack_limit(StackLimit& limit) noexcept {
  limit.looked = true;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr && size > 0)
    limit.lowest_safe = reinterpret_cast<std::uintptr_t>(low) + std::min(size / 4, kMaxMargin);
  pthread_attr_destroy(&attributes);
}

}  // namespace

bool native_stack_nearly_full() noexcept {
  StackLimit& limit = stack_limit;
  if (!limit.looked) [[unlikely]]
    look_up_stack_limit(limit);
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here < limit.lowest_safe;
}

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
