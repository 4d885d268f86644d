// The guard's slow paths: a flag held by more than one thread, or waited for.
//
// Everything here runs with the interpreter lock held, and that lock is what
// orders it.  A waiting call lets the lock go only while it sleeps, and reads
// nothing of the bookkeeping before it has the lock back.
//
// Turns.  A release that lets the first waiting calls go wakes them; each
// then takes the flag itself when it has the interpreter lock back, unless a
// running thread took it first.  Letting the running thread go on is what a
// lock does, and it matters here: the woken thread must first get the
// interpreter lock, and a flag handed to it outright would make every
// thread's next call wait for every other's (a convoy: measured, 4 threads
// with comparisons in Python ran at half the speed of a lock of the user's).
// A call that has waited kHandOverAfter is handed the flag outright at the
// next release, so that nobody waits long.
#include "python/guard.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "support/memory.hpp"
#include "support/recursion.hpp"

namespace quorvel {

using Clock = std::chrono::steady_clock;

// A call waiting for a flag.  It lives on the waiting thread's stack, in its
// flag's queue until it has its turn, and in the list of every waiting call,
// which the deadlock search reads.
struct Waiter {
  BorrowFlag* flag;
  ThreadId thread;
  bool exclusive;
  bool granted = false;  // it holds the flag now
  bool posted = false;   // `wake` was released for it, and no sleep has taken it yet
  PyThread_type_lock wake = nullptr;  // held by its thread, released to wake it
  Clock::time_point since;
  Waiter* next = nullptr;          // in the flag's queue
  Waiter* next_waiting = nullptr;  // in every_waiter
  Waiter** link_waiting = nullptr;
  std::uint64_t seen = 0;  // the last deadlock search that reached it
  Waiter* next_to_visit = nullptr;
};

// A holding thread and the borrows it holds (1 for an exclusive one).
struct Holding {
  ThreadId thread;
  std::int64_t count;
};

struct Contention {
  // Room for every holder and every waiting call, so that letting a waiting
  // call in (which may not fail) never allocates.
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

// A free flag that calls still wait for: not 0, so that the inline fast path,
// which knows nothing of waiting calls, leaves it to the slow path.
constexpr std::int64_t kFreeContended = INT64_MIN;

// How long a call waits before a release hands it the flag outright.
constexpr Clock::duration kHandOverAfter = std::chrono::milliseconds(1);

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

// The flag's state as the members see it: 0 free, n readers, -1 exclusive.
std::int64_t state_of(const BorrowFlag& flag) noexcept {
  const std::int64_t state = flag.state.load(std::memory_order_relaxed);
  return state == kFreeContended ? 0 : state;
}

void set_state(BorrowFlag& flag, std::int64_t state) noexcept {
  flag.state.store(state == 0 && flag.contention != nullptr ? kFreeContended : state, std::memory_order_relaxed);
}

Holding* holding_of(Contention& contention, ThreadId thread) noexcept {
  for (std::size_t i = 0; i < contention.holders.size(); ++i)
    if (contention.holders[i].thread == thread) return &contention.holders[i];
  return nullptr;
}

// The borrows `thread` holds: none (0), a shared count, or -1 for the exclusive one.
std::int64_t held_by(BorrowFlag& flag, ThreadId thread) noexcept {
  const std::int64_t state = state_of(flag);
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
  const std::int64_t state = state_of(flag);
  flag.contention = nullptr;
  set_state(flag, state);
  contention->~Contention();
  mem_free(contention);
}

// The bookkeeping of the flag, made from its one holding thread if there is
// none yet, with room for one more holder or waiting call.
Status make_room(BorrowFlag& flag) {
  if (flag.contention == nullptr) {
    void* storage = mem_alloc(sizeof(Contention));
    if (storage == nullptr) return Error::no_memory();
    auto* contention = new (storage) Contention();
    if (Status s = contention->holders.reserve(4); !s) {
      contention->~Contention();
      mem_free(contention);
      return s;
    }
    const std::int64_t state = state_of(flag);
    if (state != 0) contention->holders.push_reserved(Holding{flag.holder, state < 0 ? 1 : state});
    flag.contention = contention;
    set_state(flag, state);
  }
  Contention& contention = *flag.contention;
  const std::size_t wanted = contention.holders.size() + contention.waiting + 1;
  if (wanted <= contention.holders.capacity()) return {};
  Status grown = contention.holders.reserve(std::max(wanted, 2 * contention.holders.capacity()));
  if (!grown) simplify(flag);
  return grown;
}

// One more borrow for `thread`, where room was made.
void add_borrow(BorrowFlag& flag, ThreadId thread, bool exclusive) noexcept {
  Contention& contention = *flag.contention;
  if (Holding* holding = holding_of(contention, thread))
    ++holding->count;
  else
    contention.holders.push_reserved(Holding{thread, 1});
  set_state(flag, exclusive ? -1 : state_of(flag) + 1);
}

bool exclusive_waiting(const Contention& contention, const Waiter* before = nullptr) noexcept {
  for (const Waiter* w = contention.first; w != before; w = w->next)
    if (w->exclusive) return true;
  return false;
}

// Whether a waiting call may take the flag now: it is compatible with the
// holders, and no call ahead of it must go first (any call ahead of an
// exclusive one, an exclusive one ahead of a shared one).
bool may_go(BorrowFlag& flag, const Waiter& waiter) noexcept {
  const Contention& contention = *flag.contention;
  const std::int64_t state = state_of(flag);
  if (waiter.exclusive) return state == 0 && contention.first == &waiter;
  return state >= 0 && !exclusive_waiting(contention, &waiter);
}

void remove_from_queue(Contention& contention, Waiter& waiter) noexcept {
  Waiter** link = &contention.first;
  while (*link != &waiter) link = &(*link)->next;
  *link = waiter.next;
  if (contention.last == &waiter.next) contention.last = link;
  --contention.waiting;
}

// The waiting call takes its turn: out of the queue, one of the holders.
void admit(BorrowFlag& flag, Waiter& waiter) noexcept {
  remove_from_queue(*flag.contention, waiter);
  add_borrow(flag, waiter.thread, waiter.exclusive);
  waiter.granted = true;
}

void wake(Waiter& waiter) noexcept {
  if (waiter.posted) return;
  waiter.posted = true;
  PyThread_release_lock(waiter.wake);
}

// After a release or a call leaving the queue: the calls at the head of the
// queue that may go now (the first exclusive one, or the shared ones up to
// the next exclusive one) are woken to take their turn, or handed it if they
// have waited long enough.
void let_in(BorrowFlag& flag) noexcept {
  Clock::time_point now{};
  Waiter* waiter = flag.contention->first;
  while (waiter != nullptr && may_go(flag, *waiter)) {
    Waiter* next = waiter->next;
    if (now == Clock::time_point{}) now = Clock::now();
    if (now - waiter->since >= kHandOverAfter) admit(flag, *waiter);
    wake(*waiter);
    if (waiter->exclusive) break;
    waiter = next;
  }
  simplify(flag);
}

// Calls `visit` with each thread that `waiter` waits for: its flag's holders,
// and the calls ahead of it that must go first.
template <class Visit>
void for_each_awaited(const Waiter& waiter, Visit&& visit) {
  Contention& contention = *waiter.flag->contention;
  for (std::size_t i = 0; i < contention.holders.size(); ++i) visit(contention.holders[i].thread);
  for (const Waiter* ahead = contention.first; ahead != &waiter; ahead = ahead->next)
    if (waiter.exclusive || ahead->exclusive) visit(ahead->thread);
}

// Whether the newly queued `start` waits, directly or through other waiting
// threads, for its own thread.  Waits form a cycle only when a call starts
// waiting (a thread that takes a flag is running, not waiting, and a call
// that takes its turn waited for those ahead of it), so looking at that
// moment finds every cycle.
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
// that had its turn but fails gives the flag back.
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
    if (!waiter_.posted) PyThread_release_lock(waiter_.wake);  // else released already
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
    waiter_.since = Clock::now();
    waiter_.next_waiting = every_waiter;
    waiter_.link_waiting = &every_waiter;
    if (every_waiter != nullptr) every_waiter->link_waiting = &waiter_.next_waiting;
    every_waiter = &waiter_;
    queued_ = true;
    return {};
  }

  bool closes_cycle() noexcept { return quorvel::closes_cycle(waiter_); }

  // Whether the call has its turn, taking it if the flag allows.
  bool has_turn() noexcept {
    if (!waiter_.granted && may_go(*waiter_.flag, waiter_)) {
      admit(*waiter_.flag, waiter_);
      simplify(*waiter_.flag);
    }
    return waiter_.granted;
  }

  // Sleeps without the interpreter lock until woken, a signal comes, or
  // (with `poll`) the poll interval has passed; a wake-up that came while it
  // was awake ends the sleep at once.
  void sleep(bool poll) noexcept {
    PyThreadState* saved = PyEval_SaveThread();
    const PyLockStatus status = PyThread_acquire_lock_timed(waiter_.wake, poll ? kSignalPollMicroseconds : -1, 1);
    PyEval_RestoreThread(saved);
    if (status != PY_LOCK_ACQUIRED && waiter_.posted) PyThread_acquire_lock(waiter_.wake, NOWAIT_LOCK);
    waiter_.posted = false;
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
      // Handed its turn (maybe while a signal handler ran) but failing: given
      // back like any borrow, contended or no longer.
      if (kept_) return;
      if (flag.contention != nullptr)
        release_contended(flag, waiter_.exclusive);
      else
        set_state(flag, waiter_.exclusive ? 0 : state_of(flag) - 1);
      return;
    }
    remove_from_queue(*flag.contention, waiter_);
    let_in(flag);  // the calls behind it may go now
  }

 private:
  Waiter waiter_{};
  bool queued_ = false;
  bool kept_ = false;
};

// Waits for this call's turn.  The waiting call holds its own reference to
// the object, so that nothing destroys it meanwhile.
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
  while (!call.has_turn()) {
    call.sleep(poll);
    if (call.has_turn()) break;
    // Woken by a signal, the poll, or a turn another call took first: the
    // signal handlers run, and may end the wait.
    Result<RecursionLevel> level = RecursionLevel::enter(" while waiting for another thread");
    if (!level) {
      call.leave();
      return std::move(level).error();
    }
    if (PyErr_CheckSignals() < 0) {
      call.leave();
      return Error::fetch();
    }
    if (poll && !call.has_turn() && interpreter_finalizing()) {
      call.leave();
      return refusal(exclusive);
    }
  }
  call.keep();
  return {};
}

Status take_turn(PyObject* object, BorrowFlag& flag, bool exclusive) {
  const ThreadId me = this_thread();
  const std::int64_t state = state_of(flag);
  if (state == 0) {
    // Free: taken, even if calls wait (the first of them was woken, and
    // takes it next unless this call still holds it then).
    if (flag.contention == nullptr) {
      set_state(flag, exclusive ? -1 : 1);
      flag.holder = me;
      return {};
    }
    if (Status s = make_room(flag); !s) return s;
    add_borrow(flag, me, exclusive);
    return {};
  }
  const std::int64_t mine = held_by(flag, me);
  if (mine != 0) {
    // Re-entry from this thread's own callbacks: refused as ever, never waited for.
    if (mine < 0 || exclusive) return refusal(exclusive);
    if (flag.contention != nullptr) ++holding_of(*flag.contention, me)->count;
    set_state(flag, state + 1);
    return {};
  }
  if (!exclusive && state > 0 && (flag.contention == nullptr || !exclusive_waiting(*flag.contention))) {
    // Other threads read: read along, unless a changing call waits for its turn.
    if (Status s = make_room(flag); !s) return s;
    add_borrow(flag, me, false);
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
  set_state(flag, exclusive ? 0 : state_of(flag) - 1);
  let_in(flag);
}

std::size_t waiting_calls(const BorrowFlag& flag) noexcept {
  return flag.contention == nullptr ? 0 : flag.contention->waiting;
}

std::uint64_t waits_begun() noexcept { return waits_so_far; }

}  // namespace quorvel
