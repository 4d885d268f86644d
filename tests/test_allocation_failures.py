"""Native allocations that fail, one after the other, in every operation: each
failure is a MemoryError, the tree is as it was, and nothing leaks."""

import gc

import pytest

from helpers import OPERATIONS, Lookup, allocated_growth, check_avl, refcounts
from quorvel import AVLTree

BIG = 10**9  # outside the shared small ints, so that reference counts are ours alone


def sweep(hooks, name, tree, probe):
    """Fails the 1st, 2nd, ... native allocation of the operation until it
    completes before reaching the armed one.  Returns how many failed."""
    operation, failures = OPERATIONS[name], 0
    contents = list(tree)
    for n in range(1, 500):
        hooks("fail_allocation", n)
        try:
            operation(tree, probe)
        except (ValueError, IndexError):
            pass  # index of an absent probe, pop of an empty tree: their ordinary ends
        except MemoryError:
            failures += 1
            assert hooks("allocations_left") == 0, "MemoryError without a failed allocation"
            assert list(tree) == contents and all(a is b for a, b in zip(tree, contents))
            check_avl(tree, lambda v: v)
            continue
        finally:
            left = hooks("allocations_left")
            hooks("fail_allocation", 0)
        if left > 0:  # finished before the armed allocation
            return failures
        # A failure the operation may absorb (a size hint): it went on and succeeded.
        contents = list(tree)
    pytest.fail("the operation never completed")


NO_ALLOCATION = {"remove", "remove_key", "search", "get", "search_key", "contains", "has_node", "in",
                 "contains_key", "clear", "sizes", "ends", "range_both",  # the last: empty for the probe
                 "item", "pop"} | {name for name, f in OPERATIONS.items() if isinstance(f, Lookup)}


@pytest.mark.parametrize("name", OPERATIONS)
@pytest.mark.parametrize("size", [0, 1, 40])
def test_every_allocation_failure_is_clean(hooks, name, size):
    values = [BIG + 2 * i for i in range(size)]
    probe = BIG + size + 1  # absent, so that insert allocates
    gc.collect()
    before = refcounts(probe, *values)
    tree = AVLTree(values, key="real")  # an attribute rule: its name is native memory too
    failures = sweep(hooks, name, tree, probe)
    if size == 40 and name not in NO_ALLOCATION:
        assert failures > 0, "no native allocation was ever made"
    del tree
    gc.collect()
    assert refcounts(probe, *values) == before


def test_sweeps_leave_no_memory_behind(hooks):
    values = [BIG + i for i in range(30)]

    def all_sweeps():
        for name in OPERATIONS:
            sweep(hooks, name, AVLTree(values, key="real"), BIG + 15.5)

    # About 140 failures a round: a block lost at each would show as 420.  The set operations'
    # failures leave the allocator's caches filling for a few rounds, hence the longer warm-up.
    assert allocated_growth(all_sweeps, rounds=3, warmup=3) < 300
