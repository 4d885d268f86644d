"""Trees and iterators shared by threads without a lock of their own.

A call that meets another thread's guard waits for its turn, so no guard
error ever reaches it; a callback's re-entry on its own thread is refused as
it always was; a wait that would close a cycle of waiting threads fails with
a deadlock error instead of hanging; a signal handler that raises ends a
wait.  Threads run as daemons and are joined with a generous limit: one still
running then is a hang, and fails the test instead of blocking the suite.
"""

import copy
import gc
import os
import random
import signal
import sys
import threading
import time
import weakref
from functools import partial

import pytest

from helpers import HOOKS, Hostile, Linked, check_avl, check_native, run_isolated
from quorvel import AVLTree

HANG = 120  # seconds: no thread here needs more than a fraction of that
THREADS, SPAN = 4, 40
STEPS = int(os.environ.get("QUORVEL_THREAD_STEPS", "300"))
BACKGROUND = range(100_000, 100_600)  # values no thread changes: the ordered snapshots read lazily


def run_threads(*targets):
    """Runs each target in a thread of its own; the exception each raised, or None."""
    outcomes = [None] * len(targets)

    def run(index, target):
        try:
            target()
        except BaseException as e:  # noqa: B902 - carried to the main thread
            outcomes[index] = e

    threads = [threading.Thread(target=run, args=(i, t), daemon=True) for i, t in enumerate(targets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(HANG)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    return outcomes


class Hang(Exception):
    pass


@pytest.fixture
def watchdog():
    """For tests in which the main thread itself may wait: should it wait
    past the limit, the alarm's handler raises in it (ending the wait) and
    the test fails instead of hanging."""

    def expire(signum, frame):
        raise Hang("the main thread hangs")

    old = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, HANG)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def start_thread(target):
    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    return thread


def wait_until(condition):
    """Polls `condition` (another thread's progress) until it holds."""
    deadline = time.monotonic() + HANG
    while not condition():
        assert time.monotonic() < deadline, "the other threads never got there"
        time.sleep(0.001)


def once(action):
    """A comparison hook that runs `action` at its first call only."""
    pending = [True]

    def hook():
        if pending[0]:
            pending[0] = False
            action()

    return hook


def blocking(entered, leave):
    """A hook that says it is inside the call and stays there until `leave` is set."""

    def stay():
        entered.set()
        assert leave.wait(2 * HANG), "never let go"

    return once(stay)


def small_tree():
    return AVLTree([Hostile(v) for v in (1, 2, 3)])


def values(tree):
    return [v.v for v in tree]


# --- Every member, from several threads at once -------------------------------------------------


def yield_now():
    if random.random() < 0.3:
        time.sleep(0)  # another thread may now call into the tree


class Item:
    """A value whose key, the attribute `rank`, is made and compared in Python."""

    __slots__ = ("v",)

    def __init__(self, v):
        self.v = v

    @property
    def rank(self):
        yield_now()
        return Hostile(self.v, hook=yield_now)

    def __repr__(self):
        return f"Item({self.v})"


def rank_of(item):
    return item.rank


def probe(v):
    return Hostile(v, hook=yield_now)


# key rule -> (key argument, value for a number); keys are always probe(number)
RULES = {"none": (None, probe), "attribute": ("rank", Item), "callable": (rank_of, Item)}


def hammer(tree, scratch, index, make, rng):
    """Every member of `tree` in random order, on the keys [low, low + SPAN) that
    only this thread changes: each result is checked against what this thread's
    own calls made of that range.  `scratch` is changed by every thread (and
    cleared) and only checked for its shape at the end.  Returns the keys this
    thread left in the tree."""
    low = index * 1000
    high = low + SPAN
    mine = set()

    def own(found):
        return [x.v for x in found if low <= x.v < high]

    for _ in range(STEPS):
        v, op = low + rng.randrange(SPAN), rng.randrange(14)
        if op < 3:
            assert tree.insert(make(v)) is (v not in mine)
            mine.add(v)
        elif op == 3:
            assert tree.remove(make(v)) is (v in mine)
            mine.discard(v)
        elif op == 4:
            assert tree.remove_key(probe(v)) is (v in mine)
            mine.discard(v)
        elif op == 5:
            find = rng.choice([lambda: tree.search(make(v)), lambda: tree.get(make(v)),
                               lambda: tree.search_key(probe(v))])
            found = find()
            assert (None if found is None else found.v) == (v if v in mine else None)
        elif op == 6:
            test = rng.choice([lambda: tree.contains(make(v)), lambda: tree.has_node(make(v)),
                               lambda: make(v) in tree, lambda: tree.contains_key(probe(v))])
            assert test() is (v in mine)
        elif op == 7:
            assert own(tree.range(probe(low), probe(high))) == sorted(mine)
            assert [x.v for x in tree.iter_from(probe(low), len(mine))] == sorted(mine)
            assert [x.v for x in tree.iter_to(probe(high), len(mine))] == sorted(mine, reverse=True)
        elif op == 8:
            walk = rng.choice(["__iter__", "in_order", "descending"])
            found = list(getattr(tree, walk)())
            numbers = [x.v for x in found]
            assert numbers == sorted(numbers, reverse=walk == "descending")
            assert sorted(own(found)) == sorted(mine) and max(numbers) == BACKGROUND[-1]
        elif op == 9:
            walk = rng.choice(["pre_order", "post_order", "level_order"])
            assert sorted(own(getattr(tree, walk)())) == sorted(mine)
        elif op == 10:
            assert len(tree) >= len(mine) + len(BACKGROUND) and tree and not tree.is_empty() and tree.height >= 10
            smallest, largest = rng.choice([(tree.first, tree.last), (tree.min, tree.max)])
            if mine:
                assert smallest().v <= min(mine) and largest().v == BACKGROUND[-1]
        elif op == 11:
            text = repr(tree)
            assert all(repr(make(x)) in text for x in mine)
            function, (pairs, _) = tree.__reduce__()
            assert own(value for value, key in pairs) == sorted(mine)
            assert own(copy.copy(tree)) == sorted(mine)
        elif op == 12:
            x = rng.randrange(30)
            action, results = rng.choice([(lambda: scratch.insert(make(x)), (True, False)),
                                          (lambda: scratch.remove(make(x)), (True, False)),
                                          (scratch.clear, (None,)), (lambda: len(scratch) <= 30, (True,))])
            assert action() in results
        else:
            # An iterator read across this thread's own changes (and the others'):
            # it hands out the values of the moment it was made.
            before = sorted(mine)
            iterator = iter(tree)
            head = [next(iterator) for _ in range(3)]
            assert tree.insert(make(v)) is (v not in mine)
            mine.add(v)
            assert own(head + list(iterator)) == before
    return mine


@pytest.mark.parametrize("interval", [1e-5, 1e-3, 5e-3])
@pytest.mark.parametrize("rule", sorted(RULES))
def test_threads_share_one_tree(rule, interval):
    key, make = RULES[rule]
    tree = AVLTree([make(v) for v in BACKGROUND], key=key)
    scratch = AVLTree(key=key)
    models = [set() for _ in range(THREADS)]
    waits = HOOKS("waits_begun") if HOOKS else None

    def worker(index):
        models[index] = hammer(tree, scratch, index, make, random.Random(f"{rule} {interval} {index}"))

    old = sys.getswitchinterval()
    sys.setswitchinterval(interval)
    try:
        outcomes = run_threads(*(partial(worker, i) for i in range(THREADS)))
    finally:
        sys.setswitchinterval(old)
    for outcome in outcomes:
        if outcome is not None:
            raise outcome
    assert values(tree) == sorted(set().union(*models)) + list(BACKGROUND)
    check_avl(tree, lambda x: x.v)
    check_avl(scratch, lambda x: x.v)
    check_native(tree, order=False)
    if HOOKS:
        assert HOOKS("waits_begun") > waits, "the threads never met inside the tree"
        assert HOOKS("waiting_calls", tree) == HOOKS("waiting_calls", scratch) == 0


def test_readers_share():
    # Three readers inside the tree at once: each waits in a comparison for the others.
    tree, barrier = small_tree(), threading.Barrier(3, timeout=HANG)
    readers = [lambda: tree.search(Hostile(1, hook=once(barrier.wait))),
               lambda: tree.contains_key(Hostile(2, hook=once(barrier.wait))),
               lambda: tree.has_node(Hostile(3, hook=once(barrier.wait)))]
    assert run_threads(*readers) == [None] * 3


def test_a_looping_thread_cannot_starve_a_waiting_call():
    # A changes the tree in a loop and lets other threads run only from inside
    # its calls, where it holds the tree; a woken call always finds it taken
    # again.  B's call is still handed its turn, long before A would stop.
    tree, done, calls = small_tree(), threading.Event(), [0]
    yielding = Hostile(4, hook=lambda: time.sleep(0))

    def a():
        while not done.is_set() and calls[0] < 2_000:
            assert tree.insert(yielding) and tree.remove(yielding)
            calls[0] += 1

    def b():
        wait_until(lambda: calls[0] > 10)
        assert tree.insert(Hostile(9))
        done.set()

    assert run_threads(a, b) == [None, None]
    assert calls[0] < 2_000, "the waiting call never had its turn"
    assert values(tree) == [1, 2, 3, 9]


@pytest.mark.parametrize("size", [100, 5000])
def test_one_iterator_drained_by_threads(size):
    # Each value exactly once, in order within each thread, while the tree
    # changes under the iterator (a large tree's iterator reads the tree lazily).
    tree = AVLTree(range(size))
    iterator = iter(tree)
    taken = [[] for _ in range(4)]

    def drain(index):
        for value in iterator:
            taken[index].append(value)
            if value % 7 == 0:
                time.sleep(0)

    def change():
        rng = random.Random(size)
        for _ in range(300):
            tree.remove(rng.randrange(size))
            tree.insert(size + rng.randrange(size))
            time.sleep(0)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        assert run_threads(*(partial(drain, i) for i in range(4)), change) == [None] * 5
    finally:
        sys.setswitchinterval(old)
    assert sorted(v for part in taken for v in part) == list(range(size))
    assert all(part == sorted(part) for part in taken)
    assert next(iterator, "end") == "end"


# --- The same thread: refused at once, as ever ---------------------------------------------------


def test_own_thread_refused_while_another_thread_reads_too(watchdog):
    # Another thread reads the tree; this thread reads it too, and its callback
    # asks to change it.  Waiting would wait for this thread's own reading:
    # refused at once.  Reading along still works.
    tree, inside, leave = small_tree(), threading.Event(), threading.Event()
    reader = start_thread(lambda: tree.search(Hostile(2, hook=blocking(inside, leave))))
    assert inside.wait(HANG)
    seen = []

    def callback():
        for change in (lambda: tree.insert(Hostile(9)), lambda: tree.remove(Hostile(1)), tree.clear):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                change()
        seen.append((len(tree), tree.contains(Hostile(3))))

    try:
        assert tree.search(Hostile(3, hook=once(callback))).v == 3
    finally:
        leave.set()
        reader.join(HANG)
    assert seen == [(3, True)] and values(tree) == [1, 2, 3]


def test_own_thread_reads_again_past_a_waiting_writer(hooks, watchdog):
    # While this thread reads, another thread's insert waits; a callback of
    # this thread reading the tree again goes ahead of it (waiting behind it
    # would wait for this thread itself), and one changing it is refused.
    tree, seen, writer = small_tree(), [], []

    def callback():
        writer.append(start_thread(lambda: tree.insert(Hostile(9))))
        wait_until(lambda: hooks("waiting_calls", tree) == 1)
        seen.append((len(tree), tree.contains(Hostile(9)), values(tree.iter_from(Hostile(2), 5))))
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            tree.remove(Hostile(2))

    assert tree.search(Hostile(1, hook=once(callback))).v == 1
    writer[0].join(HANG)
    assert seen == [(3, False, [2, 3])] and values(tree) == [1, 2, 3, 9]


# --- Deadlocks -----------------------------------------------------------------------------------


@pytest.mark.parametrize("n", [2, 3])
@pytest.mark.parametrize("hold, want", [("insert", "insert"), ("insert", "search"), ("search", "insert")])
def test_cycle_of_waits_fails(n, hold, want):
    # Thread i is inside a call on tree i (`hold`), and from its comparison
    # calls tree i + 1 (`want`), held by thread i + 1: the call that would
    # close the cycle fails, the others go on once it has given its tree back.
    trees = [small_tree() for _ in range(n)]
    barrier = threading.Barrier(n, timeout=HANG)

    def thread(i):
        def call_next():
            barrier.wait()
            getattr(trees[(i + 1) % n], want)(Hostile(10 + i))

        return lambda: getattr(trees[i], hold)(Hostile(5 + i, hook=once(call_next)))

    outcomes = run_threads(*(thread(i) for i in range(n)))
    failed = [i for i, outcome in enumerate(outcomes) if outcome is not None]
    assert len(failed) == 1, outcomes
    error = outcomes[failed[0]]
    assert type(error) is RuntimeError and str(error).startswith("Deadlock: "), error
    for i, tree in enumerate(trees):
        expected = {1, 2, 3}
        if hold == "insert" and i not in failed:
            expected.add(5 + i)
        if want == "insert" and (i - 1) % n not in failed:
            expected.add(10 + (i - 1) % n)
        assert values(tree) == sorted(expected)
        check_avl(tree)
        # Nothing is left held or queued.
        assert tree.insert(Hostile(20)) and tree.remove(Hostile(20))
        if HOOKS:
            assert HOOKS("waiting_calls", tree) == 0


# --- Signals -------------------------------------------------------------------------------------


class Interrupted(Exception):
    pass


def raise_interrupted(signum, frame):
    raise Interrupted


@pytest.mark.parametrize("signum, handler, raised", [
    (signal.SIGINT, signal.default_int_handler, KeyboardInterrupt),  # Ctrl-C
    (signal.SIGUSR1, raise_interrupted, Interrupted),
])
@pytest.mark.parametrize("holding", ["insert", "search"])
def test_signal_ends_a_wait(hooks, watchdog, holding, signum, handler, raised):
    # The main thread waits to insert, a reader waits behind it; a signal
    # whose handler raises ends the main thread's wait with that exception and
    # the tree unchanged, and the reader then goes as soon as the holder allows.
    assert threading.current_thread() is threading.main_thread()
    tree, inside, leave = small_tree(), threading.Event(), threading.Event()
    holder = start_thread(lambda: getattr(tree, holding)(Hostile(5, hook=blocking(inside, leave))))
    assert inside.wait(HANG)
    reader, main = [], threading.main_thread().ident

    def interrupt():
        wait_until(lambda: hooks("waiting_calls", tree) == 1)
        reader.append(start_thread(lambda: tree.search(Hostile(2))))
        wait_until(lambda: hooks("waiting_calls", tree) == 2)
        signal.pthread_kill(main, signum)

    old = signal.signal(signum, handler)
    try:
        interrupter = start_thread(interrupt)
        with pytest.raises(raised):
            tree.insert(Hostile(7))
    finally:
        signal.signal(signum, old)
        interrupter.join(HANG)
    if holding == "search":
        reader[0].join(HANG)  # it reads along with the holder, which is still inside
        assert not reader[0].is_alive() and holder.is_alive() and hooks("waiting_calls", tree) == 0
    else:
        assert reader[0].is_alive() and hooks("waiting_calls", tree) == 1
    leave.set()
    holder.join(HANG)
    reader[0].join(HANG)
    assert not holder.is_alive() and not reader[0].is_alive()
    assert values(tree) == ([1, 2, 3, 5] if holding == "insert" else [1, 2, 3])
    assert tree.insert(Hostile(7)) and hooks("waiting_calls", tree) == 0


def test_signal_raising_after_the_turn_came(hooks, watchdog):
    # The main thread has waited long enough to be handed the tree at the
    # next release; a signal handler lets the holder finish (so the tree is
    # handed over meanwhile) and then raises: the call gives the tree back
    # unchanged.
    tree, inside, leave, released = small_tree(), threading.Event(), threading.Event(), threading.Event()

    def hold():
        tree.insert(Hostile(5, hook=blocking(inside, leave)))
        released.set()

    holder = start_thread(hold)
    assert inside.wait(HANG)

    def handler(signum, frame):
        leave.set()
        assert released.wait(HANG)
        raise Interrupted

    def interrupt():
        wait_until(lambda: hooks("waiting_calls", tree) == 1)
        time.sleep(0.01)  # past the wait after which a release hands the tree over
        signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)

    old = signal.signal(signal.SIGUSR1, handler)
    try:
        start_thread(interrupt)
        with pytest.raises(Interrupted):
            tree.insert(Hostile(7))
    finally:
        signal.signal(signal.SIGUSR1, old)
        leave.set()
        holder.join(HANG)
    assert values(tree) == [1, 2, 3, 5] and hooks("waiting_calls", tree) == 0
    assert run_threads(lambda: tree.insert(Hostile(8))) == [None] and tree.remove(Hostile(8))


@pytest.mark.parametrize("outer, inner, refused", [
    ("insert", "search", True),  # the handler's reading would queue behind its own thread's insert
    ("search", "search", False),  # both readings are handed the tree together
])
def test_signal_handler_waiting_for_what_its_thread_waits_for(hooks, watchdog, outer, inner, refused):
    # The main thread waits for a tree another thread changes; a signal
    # handler run during that wait calls the same tree.  Where the handler's
    # call could only go after its own thread's waiting call, it fails as a
    # deadlock; where both can go together, both do.
    tree, inside, leave = small_tree(), threading.Event(), threading.Event()
    holder = start_thread(lambda: tree.insert(Hostile(5, hook=blocking(inside, leave))))
    assert inside.wait(HANG)
    seen = []

    def handler(signum, frame):
        if not refused:  # the holder lets go once the handler's call waits too
            start_thread(lambda: (wait_until(lambda: hooks("waiting_calls", tree) == 2), leave.set()))
        try:
            seen.append(getattr(tree, inner)(Hostile(2)).v)
        except RuntimeError as e:
            seen.append(str(e))
        leave.set()

    def interrupt():
        wait_until(lambda: hooks("waiting_calls", tree) == 1)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)

    old = signal.signal(signal.SIGUSR1, handler)
    try:
        start_thread(interrupt)
        result = getattr(tree, outer)(Hostile(7))
    finally:
        signal.signal(signal.SIGUSR1, old)
        leave.set()
        holder.join(HANG)
    assert len(seen) == 1 and seen[0].startswith("Deadlock: ") if refused else seen == [2]
    assert result is True if outer == "insert" else result is None
    assert values(tree) == ([1, 2, 3, 5, 7] if outer == "insert" else [1, 2, 3, 5])
    assert hooks("waiting_calls", tree) == 0


# --- Lifetime ------------------------------------------------------------------------------------


def test_waiting_calls_hold_the_tree(hooks):
    # Each waiting call holds a reference of its own to the tree: the count
    # falls by one per waiting thread once they are inside.  Comparing the
    # same calls waiting and then running keeps the interpreter's own
    # references to the receiver out of the count.
    n = 3
    tree = AVLTree([Linked(1), Linked(2)])  # values and keys that weak references can watch
    watched = weakref.ref(tree.first())
    inside, leave, go = threading.Event(), threading.Event(), threading.Event()
    parked = []

    def park():
        parked.append(1)
        go.wait(HANG)

    def holder():
        tree.insert(Linked(5, hook=blocking(inside, leave)))
        tree.search(Linked(6, hook=once(park)))

    threads = [start_thread(holder)]
    assert inside.wait(HANG)
    threads += [start_thread(lambda i=i: tree.search(Linked(i, hook=once(park)))) for i in range(n)]
    wait_until(lambda: hooks("waiting_calls", tree) == n)
    waiting = sys.getrefcount(tree)
    leave.set()
    wait_until(lambda: len(parked) == n + 1)
    running = sys.getrefcount(tree)
    go.set()
    for thread in threads:
        thread.join(HANG)
    assert waiting - running == n
    del tree, threads, holder
    gc.collect()
    assert watched() is None, "a waiting call kept the tree alive"


def test_main_thread_waiting_at_shutdown_gives_up():
    # At shutdown the other threads never run again: a finaliser that waits
    # for a tree one of them holds gets the guard's error instead of hanging.
    out = run_isolated(f"""
        import gc, sys, threading
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        from helpers import Hostile
        from quorvel import AVLTree

        tree, inside = AVLTree([Hostile(1)]), threading.Event()
        hold = lambda: tree.insert(Hostile(2, hook=lambda: (inside.set(), threading.Event().wait())))
        threading.Thread(target=hold, daemon=True).start()
        inside.wait()

        class Late:
            def __del__(self):
                try:
                    tree.insert(Hostile(3))
                except RuntimeError as e:
                    print("refused:", e, flush=True)

        # Left to the last collection, which runs when the interpreter is finalizing.
        gc.disable()
        late = Late()
        late.cycle = late
        del late
        print("exiting", flush=True)
    """, timeout=HANG)
    assert out.splitlines() == ["exiting", "refused: Already borrowed"]
