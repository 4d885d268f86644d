// The guard's slow paths: a flag held by more than one thread, or waited for.
//
// Everything here runs with the interpreter lock held, and that lock is what
// orders it.  A waiting call lets the lock go only while it sleeps, and reads
// nothing of the bookkeeping before it has the lock back.
#include "python/guard.hpp"

#include <unistd.h>

#include <algorithm>
#include <new>

#include "support/memory.hpp"
#include "support/recursion.hpp"

namespace quorvel {

// A call waiting for a flag.  It lives on the waiting thread's stack, in its
// flag's queue until the flag is handed to it, and in the list of every
// waiting call, which the deadlock search reads.
struct Waiter {
  BorrowFlag* flag;
  ThreadId thread;
  bool exclusive;
  bool granted = false;              // the flag was handed to it
  PyThread_type_lock wake = nullptr;  // held by its thread, released once when the flag is handed over
  Waiter* next = nullptr;            // in the flag's queue
  Waiter* next_waiting = nullptr;    // in every_waiter
  Waiter** link_waiting = nullptr;
  std::uint64_t seen = 0;            // the last deadlock search that reached it
  Waiter* next_to_visit = nullptr;
};

// A holding thread and the borrows it holds (1 for an exclusive one).
struct Holding {
  ThreadId thread;
  std::int64_t count;
};

struct Contention {
  // Room for every holder and every waiting call, so that handing the flag
  // over (which may not fail) never allocates.
  Vec<Holding> holders;
  std::size_t waiting = 0;
  Waiter* first = nullptr;  // the waiting calls, in order of arrival
  Waiter** last = &first;
};

namespace {

constexpr const char kSharedRefused[] = "Already mutably borrowed";
constexpr const char kExclusiveRefused[] = "Already borrowed";
constexpr const char kDeadlock[] =
    "Deadlock: this object is in use by a thread that waits, directly or through other threads, for this one";

// How often the main thread, while it waits, runs the signal handlers of a
// signal that came just before it fell asleep.  A signal that comes while it
// sleeps wakes it at once.
constexpr long long kSignalPollMicroseconds = 50'000;

Waiter* every_waiter = nullptr;
std::uint64_t search_round = 0;
std::uint64_t waits_so_far = 0;

Error refusal(bool exclusive) {
  return Error::make(PyExc_RuntimeError, exclusive ? kExclusiveRefused : kSharedRefused);
}

Holding* holding_of(Contention& contention, ThreadId thread) noexcept {
  for (std::size_t i = 0; i < contention.holders.size(); ++i)
    if (contention.holders[i].thread == thread) return &contention.holders[i];
  return nullptr;
}

// The borrows `thread` holds: none (0), a shared count, or -1 for the exclusive one.
std::int64_t held_by(BorrowFlag& flag, ThreadId thread) noexcept {
  const std::int64_t state = flag.state.load(std::memory_order_relaxed);
  if (state == 0) return 0;
  if (flag.contention == nullptr) return flag.holder == thread ? state : 0;
  const Holding* holding = holding_of(*flag.contention, thread);
  if (holding == nullptr) return 0;
  return state < 0 ? -1 : holding->count;
}

// Back to the plain flag once at most one thread holds it and nobody waits.
void simplify(BorrowFlag& flag) noexcept {
  Contention* contention = flag.contention;
  if (contention->first != nullptr || contention->holders.size() > 1) return;
  if (contention->holders.size() == 1) flag.holder = contention->holders[0].thread;
  flag.contention = nullptr;
  contention->~Contention();
  mem_free(contention);
}

// The bookkeeping of a held flag, made from its one holding thread if there
// is none yet, with room for one more holder or waiting call.
Status make_room(BorrowFlag& flag) {
  if (flag.contention == nullptr) {
    void* storage = mem_alloc(sizeof(Contention));
    if (storage == nullptr) return Error::no_memory();
    auto* contention = new (storage) Contention();
    flag.contention = contention;
    if (Status s = contention->holders.reserve(4); !s) {
      flag.contention = nullptr;
      contention->~Contention();
      mem_free(contention);
      return s;
    }
    const std::int64_t state = flag.state.load(std::memory_order_relaxed);
    contention->holders.push_reserved(Holding{flag.holder, state < 0 ? 1 : state});
  }
  Contention& contention = *flag.contention;
  const std::size_t wanted = contention.holders.size() + contention.waiting + 1;
  if (wanted <= contention.holders.capacity()) return {};
  Status grown = contention.holders.reserve(std::max(wanted, 2 * contention.holders.capacity()));
  if (!grown) simplify(flag);
  return grown;
}

// Hands the flag to the calls at the head of its queue that can have it now:
// the first one if it is exclusive, else every shared one up to the next
// exclusive one.  Each gets its holding and is woken.
void hand_over(BorrowFlag& flag) noexcept {
  Contention& contention = *flag.contention;
  while (Waiter* waiter = contention.first) {
    const std::int64_t state = flag.state.load(std::memory_order_relaxed);
    if (waiter->exclusive ? state != 0 : state < 0) break;
    contention.first = waiter->next;
    if (contention.first == nullptr) contention.last = &contention.first;
    --contention.waiting;
    // Room was made when it joined the queue.  (Its thread holds the flag
    // already only if a signal handler run during its wait waited too.)
    if (Holding* holding = holding_of(contention, waiter->thread))
      ++holding->count;
    else
      contention.holders.push_reserved(Holding{waiter->thread, 1});
    flag.state.store(waiter->exclusive ? -1 : state + 1, std::memory_order_relaxed);
    waiter->granted = true;
    PyThread_release_lock(waiter->wake);
    if (waiter->exclusive) break;
  }
  simplify(flag);
}

// Calls `visit` with each thread that `waiter` waits for: its flag's holders,
// and the calls ahead of it that must have their turn first (every one for
// an exclusive call, the exclusive ones for a shared call).
template <class Visit>
void for_each_awaited(const Waiter& waiter, Visit&& visit) {
  Contention& contention = *waiter.flag->contention;
  for (std::size_t i = 0; i < contention.holders.size(); ++i) visit(contention.holders[i].thread);
  for (const Waiter* ahead = contention.first; ahead != &waiter; ahead = ahead->next)
    if (waiter.exclusive || ahead->exclusive) visit(ahead->thread);
}

// Whether the newly queued `start` waits, directly or through other waiting
// threads, for its own thread.  Waits form a cycle only when a call starts
// waiting (handing a flag over gives a waiter's turn to the one that was
// ahead of it), so looking at that moment finds every cycle.
bool closes_cycle(Waiter& start) noexcept {
  const std::uint64_t round = ++search_round;
  start.seen = round;
  start.next_to_visit = nullptr;
  Waiter* to_visit = &start;
  bool found = false;
  while (to_visit != nullptr && !found) {
    Waiter& waiter = *to_visit;
    to_visit = waiter.next_to_visit;
    for_each_awaited(waiter, [&](ThreadId thread) {
      if (thread == start.thread) found = true;
      for (Waiter* other = every_waiter; other != nullptr; other = other->next_waiting) {
        if (other->thread != thread || other->granted || other->seen == round) continue;
        other->seen = round;
        other->next_to_visit = to_visit;
        to_visit = other;
      }
    });
  }
  return found;
}

// The interpreter's main thread, the one that runs signal handlers (on Linux
// the process's first thread, whose thread id is the process id).
bool on_main_thread() noexcept {
#if defined(__linux__) && defined(PY_HAVE_THREAD_NATIVE_ID)
  return PyThread_get_thread_native_id() == static_cast<unsigned long>(getpid());
#else
  return false;
#endif
}

// Whether the interpreter is shutting down: other threads then never run
// again, and whatever they hold stays held.
bool interpreter_finalizing() noexcept {
  PyObject* is_finalizing = PySys_GetObject("is_finalizing");  // borrowed
  if (is_finalizing == nullptr) return false;
  Ref answer = Ref::steal(PyObject_CallNoArgs(is_finalizing));
  if (!answer) PyErr_Clear();
  return answer.get() == Py_True;
}

// A call's wait for its turn, left cleanly on every way out: a call that
// gives up leaves the queue (which may let the calls behind it in), and one
// that was handed the flag but fails gives it back.
class WaitingCall {
 public:
  WaitingCall(BorrowFlag& flag, ThreadId thread, bool exclusive) noexcept {
    waiter_.flag = &flag;
    waiter_.thread = thread;
    waiter_.exclusive = exclusive;
  }
  WaitingCall(const WaitingCall&) = delete;
  WaitingCall& operator=(const WaitingCall&) = delete;
  ~WaitingCall() {
    leave();
    if (waiter_.wake == nullptr) return;
    // The lock is held unless it was released for a handing over that no sleep took.
    if (!waiter_.granted || woken_) PyThread_release_lock(waiter_.wake);
    PyThread_free_lock(waiter_.wake);
  }

  Status join_queue() {
    waiter_.wake = PyThread_allocate_lock();
    if (waiter_.wake == nullptr) return Error::no_memory();
    PyThread_acquire_lock(waiter_.wake, WAIT_LOCK);  // free: taken at once
    BorrowFlag& flag = *waiter_.flag;
    if (Status s = make_room(flag); !s) return s;
    Contention& contention = *flag.contention;
    *contention.last = &waiter_;
    contention.last = &waiter_.next;
    ++contention.waiting;
    waiter_.next_waiting = every_waiter;
    waiter_.link_waiting = &every_waiter;
    if (every_waiter != nullptr) every_waiter->link_waiting = &waiter_.next_waiting;
    every_waiter = &waiter_;
    queued_ = true;
    return {};
  }

  bool closes_cycle() noexcept { return quorvel::closes_cycle(waiter_); }
  bool granted() const noexcept { return waiter_.granted; }

  // Sleeps without the interpreter lock until the flag is handed over, a
  // signal comes, or (with `poll`) the poll interval has passed.
  void sleep(bool poll) noexcept {
    PyThreadState* saved = PyEval_SaveThread();
    const PyLockStatus status = PyThread_acquire_lock_timed(waiter_.wake, poll ? kSignalPollMicroseconds : -1, 1);
    PyEval_RestoreThread(saved);
    if (status == PY_LOCK_ACQUIRED) woken_ = true;  // only a handing over releases the lock
  }

  // The flag now belongs to the borrow that the caller makes.
  void keep() noexcept { kept_ = true; }

  void leave() noexcept {
    if (!queued_) return;
    queued_ = false;
    *waiter_.link_waiting = waiter_.next_waiting;
    if (waiter_.next_waiting != nullptr) waiter_.next_waiting->link_waiting = waiter_.link_waiting;
    BorrowFlag& flag = *waiter_.flag;
    if (waiter_.granted) {
      if (!kept_) release_contended(flag, waiter_.exclusive);
      return;
    }
    Contention& contention = *flag.contention;
    Waiter** link = &contention.first;
    while (*link != &waiter_) link = &(*link)->next;
    *link = waiter_.next;
    if (contention.last == &waiter_.next) contention.last = link;
    --contention.waiting;
    hand_over(flag);  // the calls behind it may go now
  }

 private:
  Waiter waiter_{};
  bool queued_ = false;
  bool woken_ = false;
  bool kept_ = false;
};

// Waits until the flag is handed to this call.  The waiting call holds its
// own reference to the object, so that nothing destroys it meanwhile.
Status wait_turn(PyObject* object, BorrowFlag& flag, ThreadId thread, bool exclusive) {
  const Ref kept = Ref::borrow(object);
  WaitingCall call(flag, thread, exclusive);
  if (Status s = call.join_queue(); !s) return s;
  ++waits_so_far;
  if (call.closes_cycle()) {
    call.leave();
    return Error::make(PyExc_RuntimeError, kDeadlock);
  }
  const bool poll = on_main_thread();
  for (;;) {
    if (call.granted()) break;
    call.sleep(poll);
    if (call.granted()) break;
    // Woken by a signal or the poll: its handlers run, and may end the wait.
    {
      Result<RecursionLevel> level = RecursionLevel::enter(" while waiting for another thread");
      if (!level) {
        call.leave();
        return std::move(level).error();
      }
      if (PyErr_CheckSignals() < 0) {
        call.leave();
        return Error::fetch();
      }
    }
    if (call.granted()) break;
    if (poll && interpreter_finalizing()) {
      call.leave();
      return refusal(exclusive);
    }
  }
  call.keep();
  return {};
}

}  // namespace

namespace {

Status take_turn(PyObject* object, BorrowFlag& flag, bool exclusive) {
  const ThreadId me = this_thread();
  const std::int64_t state = flag.state.load(std::memory_order_relaxed);
  if (state == 0) {  // free after all
    flag.state.store(exclusive ? -1 : 1, std::memory_order_relaxed);
    flag.holder = me;
    return {};
  }
  const std::int64_t mine = held_by(flag, me);
  if (mine != 0) {
    // Re-entry from this thread's own callbacks: refused as ever, never waited for.
    if (mine < 0 || exclusive) return refusal(exclusive);
    if (flag.contention != nullptr) ++holding_of(*flag.contention, me)->count;
    flag.state.store(state + 1, std::memory_order_relaxed);
    return {};
  }
  if (!exclusive && state > 0 && (flag.contention == nullptr || flag.contention->first == nullptr)) {
    // Other threads read: read along, unless a changing call waits for its turn.
    if (Status s = make_room(flag); !s) return s;
    flag.contention->holders.push_reserved(Holding{me, 1});
    flag.state.store(state + 1, std::memory_order_relaxed);
    return {};
  }
  return wait_turn(object, flag, me, exclusive);
}

}  // namespace

PyObject* take_contended(PyObject* object, BorrowFlag& flag, bool exclusive) {
  Status taken = take_turn(object, flag, exclusive);
  return taken ? nullptr : std::move(taken).error().take().release();
}

void release_contended(BorrowFlag& flag, bool exclusive) noexcept {
  Contention& contention = *flag.contention;
  if (Holding* holding = holding_of(contention, this_thread()); holding != nullptr && --holding->count == 0) {
    *holding = contention.holders[contention.holders.size() - 1];
    contention.holders.pop_back();
  }
  const std::int64_t state = flag.state.load(std::memory_order_relaxed);
  flag.state.store(exclusive ? 0 : state - 1, std::memory_order_relaxed);
  hand_over(flag);
}

std::size_t waiting_calls(const BorrowFlag& flag) noexcept {
  return flag.contention == nullptr ? 0 : flag.contention->waiting;
}

std::uint64_t waits_begun() noexcept { return waits_so_far; }

}  // namespace quorvel
