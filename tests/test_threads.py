"""Threads sharing one tree, with comparisons that let the other threads run:
the only errors are the guard's, and the tree ends up holding exactly what
the successful calls put in it."""

import random
import sys
import threading
import time

from helpers import Hostile, check_avl
from quorvel import AVLTree

THREADS, STEPS, SPAN = 4, 1500, 40


def yield_now():
    if random.random() < 0.3:
        time.sleep(0)  # another thread may now call into the tree


def worker(tree, index, mine, refusals, failures):
    rng, low = random.Random(index), index * 1000  # each thread owns its key range, so knows its contents
    try:
        for _ in range(STEPS):
            k, op = Hostile(low + rng.randrange(SPAN), hook=yield_now), rng.randrange(8)
            try:
                if op < 3:
                    assert tree.insert(k) == (k.v not in mine)
                    mine.add(k.v)
                elif op < 5:
                    assert tree.remove(k) == (k.v in mine)
                    mine.discard(k.v)
                elif op == 5:
                    found = tree.search(k)
                    assert (found is not None) == (k.v in mine) and (found is None or found.v == k.v)
                elif op == 6:
                    window = tree.range(Hostile(low, hook=yield_now), Hostile(low + SPAN))
                    assert [v.v for v in window] == sorted(mine)
                else:
                    assert len(tree) >= len(mine) and repr(tree) and len(list(tree.iter_from(k, 5))) <= 5
            except RuntimeError as e:
                assert str(e) in ("Already borrowed", "Already mutably borrowed"), e
                refusals[index] += 1
    except BaseException as e:  # noqa: B902 - carried to the main thread
        failures.append(e)


def test_threads_hammering_one_tree():
    old, tree = sys.getswitchinterval(), AVLTree()
    models, refusals, failures = [set() for _ in range(THREADS)], [0] * THREADS, []
    threads = [threading.Thread(target=worker, args=(tree, i, models[i], refusals, failures))
               for i in range(THREADS)]
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures, failures[0]
    assert sum(refusals) > 0, "the threads never met inside the tree"
    assert [v.v for v in tree] == sorted(set().union(*models))
    check_avl(tree, lambda v: v.v)
