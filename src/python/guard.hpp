// The receiver guard: one borrow flag per AVLTree and iterator, held shared
// by a reading member and exclusively by a changing one for its whole run,
// callbacks included.
//
// Within one thread the guard refuses re-entry: a callback (key rule,
// comparison, repr, a finaliser) that asks for what its own thread's holding
// excludes fails at once with RuntimeError, as it always has.  A call that
// finds the flag held by another thread waits instead, with the interpreter
// lock released, until it can take the flag; readers of different threads
// share.  A wait that would close a cycle of threads waiting for each other
// fails with RuntimeError instead of hanging.
//
// The fast path (a free flag) adds to the plain flag only the calling
// thread's identity, stored on taking, and a test for contention on giving
// back; everything else is in guard.cpp.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "support/error.hpp"

namespace quorvel {

// The calling thread, told apart from every other live thread.  The thread
// pointer is one instruction; thread-local storage in a loaded library would
// be a call.
#if (defined(__x86_64__) || defined(__aarch64__)) && defined(__has_builtin)
#if __has_builtin(__builtin_thread_pointer)
#define QUORVEL_THREAD_POINTER 1
#endif
#endif
using ThreadId = std::uintptr_t;
inline ThreadId this_thread() noexcept {
#ifdef QUORVEL_THREAD_POINTER
  return reinterpret_cast<ThreadId>(__builtin_thread_pointer());
#else
  return static_cast<ThreadId>(PyThread_get_thread_ident());
#endif
}

// The bookkeeping of a flag that more than one thread holds or waits for (guard.cpp).
struct Contention;

// The borrow flag: `state` is 0 free, n > 0 shared holders, -1 held exclusively.
//
// Every field is read and written only by a thread that holds the
// interpreter lock, and no interpreter code runs between reading the state
// and writing it, so the lock orders every update: relaxed atomic loads and
// stores are enough, and they avoid the locked read-modify-write
// instructions that would otherwise dominate cheap calls such as
// next(iterator).
//
// While `contention` is null, every holder is the thread `holder`.  When a
// second thread joins the holders or a call waits, `contention` lists the
// holders and the waiting calls; it goes when one thread is left and nobody
// waits.  Meanwhile a free flag's state is not 0 but a marker (guard.cpp), so
// that the fast path below, which knows nothing of contention, never takes it.
struct BorrowFlag {
  std::atomic<std::int64_t> state{0};
  ThreadId holder = 0;
  Contention* contention = nullptr;
};

// Slow paths.  take_contended: the flag's state is not 0 (taken, or free
// while calls wait); the calling thread takes it shared or exclusively,
// waiting for other threads as needed.
// `object` is the flag's instance, kept alive while the call waits.  The
// failure, if any, comes back as the exception (a new reference) in a
// register, so that the entries inline only the fast path and a test.
[[gnu::noinline, gnu::cold]] PyObject* take_contended(PyObject* object, BorrowFlag& flag, bool exclusive);
// The calling thread gives back one borrow of a contended flag.
void release_contended(BorrowFlag& flag, bool exclusive) noexcept;
// For tests: how many calls wait for the flag, and how many have waited so far.
std::size_t waiting_calls(const BorrowFlag& flag) noexcept;
std::uint64_t waits_begun() noexcept;

// A borrow is held from a successful take until it is destroyed.  take()
// waits for other threads as needed; try_take() takes a free flag only, and
// otherwise gives a borrow that holds nothing: it never waits or raises (the
// collector uses it, and the entries for their fast path).
template <bool Exclusive>
class Borrow {
 public:
  static Result<Borrow> take(PyObject* object, BorrowFlag& flag);
  static Borrow try_take(BorrowFlag& flag) noexcept {
    if (flag.state.load(std::memory_order_relaxed) != 0) return Borrow(nullptr);
    flag.state.store(Exclusive ? -1 : 1, std::memory_order_relaxed);
    flag.holder = this_thread();
    return Borrow(&flag);
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }
  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow() {
    if (flag_ == nullptr) return;
    if (flag_->contention != nullptr) [[unlikely]]
      release_contended(*flag_, Exclusive);
    else
      flag_->state.store(Exclusive ? 0 : flag_->state.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }

 private:
  explicit Borrow(BorrowFlag* flag) noexcept : flag_(flag) {}
  BorrowFlag* flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

template <bool Exclusive>
inline Result<Borrow<Exclusive>> Borrow<Exclusive>::take(PyObject* object, BorrowFlag& flag) {
  if (Borrow guard = try_take(flag)) [[likely]]
    return guard;
  if (PyObject* failure = take_contended(object, flag, Exclusive)) return Error::adopt(Ref::steal(failure));
  return Borrow(&flag);
}

}  // namespace quorvel
