"""Deep re-entry: user code run by a member (a comparison, a key rule, a
__repr__, the iteration of the constructor's values or of the rebuild's pairs,
an argument conversion) that calls a member again, which runs user code
again, and so on.  It must end in RecursionError, with the trees unchanged and
nothing left behind, at the default recursion limit and at a limit far above
what the native stack holds.  Each case runs in a child process, so that a
stack overflow fails the test instead of ending the suite."""

import pytest

from helpers import run_isolated

# Each scenario defines `start()`, which recurses without end, and `trees`,
# the trees that must come out unchanged; `armed` is true while it runs.  Probes made on the way are
# counted in `made` and must all be gone afterwards.
SCENARIOS = {
    "comparison, same tree": """
        class K(Probe):
            def __eq__(self, other):
                return trees[0].contains(K()) and False
        trees = [AVLTree([K()])]
        def start(): trees[0].contains(K())
    """,
    "comparison, two trees": """
        class K(Probe):
            def __eq__(self, other):
                self.depth = getattr(other, "depth", 0) + 1
                return trees[self.depth % 2].contains(K()) and False
        trees = [AVLTree([K()]), AVLTree([K()])]
        def start(): trees[0].contains(K())
    """,
    "comparison, insert into new trees": """
        class K(Probe):
            def __eq__(self, other):
                if armed:
                    AVLTree([K()]).insert(K())
                return False
        trees = [AVLTree([K(), K(), K()])]
        def start(): trees[0].insert(K())
    """,
    "key rule": """
        def rule(v):
            trees[1 - v.side].contains(Side(1 - v.side))
            return 0
        class Side(Probe):
            def __init__(self, side): super().__init__(); self.side = side
        trees = [AVLTree(key=rule), AVLTree(key=rule)]
        def start(): trees[0].contains(Side(0))
    """,
    "attribute key": """
        class V(Probe):
            @property
            def k(self):
                if armed:
                    trees[0].search(V())
                return 0
        trees = [AVLTree([V()], key="k")]
        def start(): trees[0].search(V())
    """,
    "repr": """
        class V(Probe):
            def __repr__(self):
                return repr(AVLTree([V()]))
        trees = [AVLTree([1, 2])]
        def start(): repr(AVLTree([V()]))
    """,
    "constructor values": """
        def values():
            Probe()
            yield AVLTree(values())
        trees = [AVLTree(range(3))]
        def start(): AVLTree(values())
    """,
    "rebuild pairs": """
        class Pairs(Probe):
            def __len__(self): return 1
            def __getitem__(self, i): return (_avltree_from_sorted_entries(Pairs(), None), 0)
        trees = [AVLTree(range(3))]
        def start(): _avltree_from_sorted_entries(Pairs(), None)
    """,
    "flag conversion": """
        class bool_(Probe):
            __module__ = "numpy"
            def __bool__(self):
                return bool(list(trees[0].range(include_start=bool_())))
        trees = [AVLTree(range(3))]
        def start(): trees[0].range(include_end=bool_())
    """,
    "count conversion": """
        class Count(Probe):
            def __index__(self):
                return len(list(trees[0].iter_from(0, Count())))
        trees = [AVLTree(range(3))]
        def start(): trees[0].iter_from(0, Count())
    """,
}

RUNNER = """
import gc, sys, threading, weakref
from quorvel import AVLTree
from quorvel.quorvel import _avltree_from_sorted_entries
made, armed = [], []
class Probe:
    def __init__(self): made.append(weakref.ref(self))
    def __lt__(self, other): return id(self) < id(other)
    def __gt__(self, other): return id(self) > id(other)
SCENARIO
def run():
    before = [list(t) for t in trees]
    for attempt in range(2):
        armed.append(True)
        try:
            start()
        except RecursionError:
            pass
        else:
            raise AssertionError("no RecursionError")
        finally:
            armed.clear()
    assert [list(t) for t in trees] == before, "a tree changed"
    for t in trees:
        assert len(t) == len(list(t.pre_order())) == len(list(t.level_order()))
sys.setrecursionlimit(LIMIT)
if STACK:
    threading.stack_size(STACK)
    failures = []
    def work():
        try:
            run()
        except BaseException as e:
            failures.append(e)
    worker = threading.Thread(target=work)
    worker.start(); worker.join()
    if failures:
        raise failures[0]
else:
    run()
gc.collect()
kept = {id(v) for t in trees for v in t}
print(sum(1 for r in made if r() is not None and id(r()) not in kept))
"""


@pytest.mark.parametrize("limit, stack", [(1000, 0), (100_000, 0), (100_000, 512 * 1024)],
                         ids=["default limit", "limit 100000", "limit 100000, small thread stack"])
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_deep_reentry_ends_in_recursion_error(scenario, limit, stack):
    import textwrap

    code = (RUNNER.replace("SCENARIO", textwrap.dedent(SCENARIOS[scenario]))
            .replace("LIMIT", str(limit)).replace("STACK", str(stack)))
    assert run_isolated(code).split() == ["0"], "probes left behind"


# A thread with a large stack uses the check and exits, and its stack is
# unmapped; threads with small stacks are then made (the earlier ones kept
# alive, so that the free addresses above are used up) until one is given
# addresses inside the dead thread's stack.  It must
# still be stopped before its own stack runs out.
STACKS_COME_AND_GO = """
import ctypes, sys, threading
from quorvel import AVLTree
libc = ctypes.CDLL(None)
libc.pthread_self.restype = ctypes.c_ulong
libc.pthread_getattr_np.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
def my_stack():
    attributes = ctypes.create_string_buffer(256)
    libc.pthread_getattr_np(libc.pthread_self(), attributes)
    low, size = ctypes.c_void_p(), ctypes.c_size_t()
    libc.pthread_attr_getstack(attributes, ctypes.byref(low), ctypes.byref(size))
    libc.pthread_attr_destroy(attributes)
    return low.value, low.value + size.value
class K:
    def __init__(self, tree): self.tree = tree
    def __eq__(self, other): return self.tree.contains(K(self.tree)) and False
    def __lt__(self, other): return False
    def __gt__(self, other): return True
def deep():
    tree = AVLTree([K(None)])
    try:
        tree.contains(K(tree))
    except RecursionError:
        return "RecursionError"
    return "no error"
class Plain:
    def __eq__(self, other): return False
    def __lt__(self, other): return False
    def __gt__(self, other): return True
sys.setrecursionlimit(1_000_000)
big = []
def once():
    big.append(my_stack())
    AVLTree([Plain()]).contains(Plain())   # a single check records this thread's stack
threading.stack_size(256 << 20)
worker = threading.Thread(target=once)
worker.start(); worker.join()
low, high = big[0]
threading.stack_size(512 << 10)
for _ in range(2):  # the thread library unmaps a dead stack when a later thread ends
    worker = threading.Thread(target=lambda: None)
    worker.start(); worker.join()
release, waiting, result = threading.Event(), [], []
def small():
    start, end = my_stack()
    if low <= start < high and not result:
        result.append(deep())
    else:
        release.wait()
for _ in range(600):
    worker = threading.Thread(target=small)
    worker.start()
    waiting.append(worker)
    worker.join(0.01)
    if result:
        break
release.set()
for worker in waiting:
    worker.join()
print(result[0] if result else "never_inside")
"""


def test_threads_of_different_stack_sizes_coming_and_going():
    out = run_isolated(STACKS_COME_AND_GO).split()
    if out == ["never_inside"]:
        pytest.skip("no small stack was placed inside the exited thread's")
    assert out == ["RecursionError"]
