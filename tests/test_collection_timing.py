"""The cyclic collector at awkward moments: inside the allocations a member
makes (on 3.10 and 3.11 any allocation of a tracked object may run a
collection, and with it finalisers that call back into the same tree), and
through cycles that hold a tree together with its own unfinished lazy
iterators.  Crashes are the failure guarded against, so each case runs in a
child process."""

import pytest

from helpers import run_isolated

# A finaliser that runs inside a collection calls iter() on the tree while an
# outer iter() of the same tree is making its iterator object.
NESTED_READERS = """
import gc
from quorvel import AVLTree
N = 2000
tree, kept, outer = AVLTree(range(N)), [], []
class Trap:
    def __init__(self): self.me = self
    def __del__(self):
        kept.append(iter(tree))
        kept.append(tree.descending())
gc.set_threshold(1)
for _ in range(300):
    Trap()
    outer.append(iter(tree))
    outer.append(tree.descending())
gc.set_threshold(700, 10, 10)
assert kept, "no finaliser ran"
tree.insert(-1)      # every reader is handed its values here
tree.clear()
for v in range(0, 7 * N, 7):
    tree.insert(v)   # the freed nodes' memory is used again
for it in kept + outer:
    got = list(it)
    assert got == list(range(N)) or got == list(range(N - 1, -1, -1)), got[:5]
print(len(kept))
"""


def test_readers_made_inside_a_collection_in_iter_are_all_handed_over():
    assert int(run_isolated(NESTED_READERS)) > 0


# A value of the tree holds the tree and an unfinished lazy iterator of it.
CYCLE = """
import gc, weakref
from quorvel import AVLTree
class V:
    def __init__(self, k): self.k = k
def make(n, taken, ITERATORS):
    tree = AVLTree((V(k) for k in range(n)), key="k")
    refs = [weakref.ref(v) for v in tree]
    its = [iter(tree), tree.descending(), tree.in_order()][:ITERATORS]
    for it in its:
        for _ in range(min(taken, n - 1)):
            next(it)
    tree.first().held = (tree, its)
    return refs
gc.collect()
gc.disable()
refs = [r for n in (10, 600, 5000) for taken in (0, 3, 17, 599) for r in make(n, taken, COUNT)]
gc.collect()
print(sum(r() is not None for r in refs))
"""


@pytest.mark.parametrize("iterators", [1, 3])
def test_a_cycle_through_a_tree_and_its_own_lazy_iterators_is_collected(iterators):
    assert run_isolated(CYCLE.replace("COUNT", str(iterators))).split() == ["0"]


# The cycle is collected while the iterator is still reachable from outside:
# the values it has yet to yield must survive intact.
OUTSIDE = """
import gc
from quorvel import AVLTree
class V:
    def __init__(self, k): self.k = k; self.alive = [k]
tree = AVLTree((V(k) for k in range(3000)), key="k")
it = iter(tree)
head = [next(it) for _ in range(20)]
for v in tree:
    v.tree = tree
del tree
gc.collect()
rest = list(it)
assert [v.k for v in head + rest] == list(range(3000))
assert all(v.alive == [v.k] and v.tree is not None for v in rest)
print("ok")
"""


def test_a_reachable_reader_keeps_its_values_whole_through_a_collection():
    assert run_isolated(OUTSIDE).split() == ["ok"]
