"""Positions: tree[i], slices, pop, index and bisect against a sorted-list
model, on every index form and hostile input; and readings that stop after
k values, around every boundary the readings have."""

import bisect
import itertools
import operator
import random

import pytest

from helpers import HOOKS, Boom, Hostile, RecordingKey, Log, check_avl, check_native, refcounts
from quorvel import AVLTree


class Index:
    """An object whose __index__ does what it is told."""

    def __init__(self, answer):
        self.answer = answer

    def __index__(self):
        return self.answer() if callable(self.answer) else self.answer


class Obj:
    def __init__(self, k):
        self.k = k

    def __repr__(self):
        return f"Obj({self.k})"


def shapes(n):
    """Trees of the same n keys built in several insertion orders, so of several shapes."""
    orders = [list(range(n)), list(range(n - 1, -1, -1)), random.Random(n).sample(range(n), n),
              [k for pair in zip(range(0, n, 2), range(1, n, 2)) for k in pair[::-1]] + ([n - 1] if n % 2 else [])]
    for order in orders:
        tree = AVLTree()
        for k in order:
            tree.insert(k)
        yield tree


# --- tree[i] and slices ----------------------------------------------------------


@pytest.mark.parametrize("n", [0, 1, 2, 7, 100, 1000])
def test_every_index_and_slice_matches_a_list(n):
    tree, model = AVLTree(random.Random(1).sample(range(3 * n), n)), None
    model = sorted(tree)
    for i in range(-n - 3, n + 3):
        if -n <= i < n:
            assert tree[i] is model[i] and tree[Index(i)] is model[i]
        else:
            with pytest.raises(IndexError, match="^AVLTree index out of range$"):
                tree[i]
    bounds = [None, 0, 1, -1, n // 3, -n // 3, n, n + 5, -n - 5]
    for start, stop, step in itertools.product(bounds, bounds, [None, 1, 2, 3, -1, -2, -7, n + 1, -(n + 1)]):
        got = tree[start:stop:step]
        assert type(got) is list and got == model[start:stop:step]
    check_native(tree)


def test_index_forms():
    tree = AVLTree(range(10))
    assert (tree[True], tree[False]) == (1, 0)
    for huge in (2**63, -(2**63) - 1, 2**200, -(2**200)):
        with pytest.raises(IndexError, match="^AVLTree index out of range$"):
            tree[huge]
        with pytest.raises(IndexError, match="^pop index out of range$"):
            tree.pop(huge)
    for other, name in [("3", "str"), (3.0, "float"), (None, "NoneType"), ([1], "list"), (Obj(1), "Obj")]:
        with pytest.raises(TypeError) as info:
            tree[other]
        assert info.value.args == (f"AVLTree indices must be integers or slices, not {name}",)
        assert getattr(info.value, "__notes__", ["while processing 'index'"]) == ["while processing 'index'"]
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        tree[::0]
    assert tree[Index(2):Index(-2):Index(3)] == [2, 5]
    assert list(tree) == list(range(10))


@pytest.mark.parametrize("where", ["item", "slice", "pop"])
def test_index_conversions_that_fail_lie_or_call_back(where):
    tree = AVLTree(range(10))

    def use(index):
        if where == "item":
            return tree[index]
        if where == "slice":
            return tree[index:]
        return tree.pop(index)

    def boom():
        raise Boom("index")

    with pytest.raises(Boom) as info:
        use(Index(boom))
    assert getattr(info.value, "__notes__", ["while processing 'index'"]) == ["while processing 'index'"]
    with pytest.raises(TypeError):  # __index__ must give an int
        use(Index(lambda: "3"))
    # Calling back into the tree meets the guard: shared for reads, exclusive for pop.
    with pytest.raises(RuntimeError) as info:
        use(Index(lambda: tree.insert(99) if where != "pop" else len(tree)))
    assert info.value.args == ("Already borrowed" if where != "pop" else "Already mutably borrowed",)
    assert list(tree) == list(range(10))
    assert use(Index(lambda: len(tree) - 1 if where != "pop" else 4)) == ([9] if where == "slice" else
                                                                          9 if where == "item" else 4)


def test_slices_of_large_trees_read_each_value_once():
    n = 40_000
    tree = AVLTree(random.Random(2).sample(range(n), n))
    before = refcounts(*range(1000, 1010))
    for start, stop, step in [(0, n, 1), (123, 30_123, 1), (n - 1, 5, -1), (7, n, 997), (n - 3, None, -4096),
                              (20_000, 20_100, None), (20_100, 20_000, -1)]:
        assert tree[start:stop:step] == list(range(n))[start:stop:step]
    assert refcounts(*range(1000, 1010)) == before


@pytest.mark.parametrize("n", [1, 2, 33, 5000])
@pytest.mark.parametrize("key", [None, "k"])
def test_reads_by_position_agree_before_and_after_the_first_change(n, key):
    # A tree just built, or just laid out again, reads positions straight
    # from its storage; once an entry comes or goes it descends instead.
    # Both readings must give the same values, and the testing build checks
    # that the storage really is in key order while the tree says so.
    values = [Obj(k) for k in range(0, 2 * n, 2)] if key else list(range(0, 2 * n, 2))
    stranger = Obj(-1) if key else -1
    built = AVLTree(values, key=key).copy()  # copies, set operations and pickles are built in order
    changed = AVLTree(random.Random(n).sample(values, n), key=key)
    changed.insert(stranger)
    changed.remove(stranger)
    if HOOKS is not None:
        assert [HOOKS("in_key_order", t) for t in (built, changed)] == [True, False]
    rng = random.Random(n + 1)
    positions = sorted({0, n - 1, -1, -n, n // 2} | {rng.randrange(-n, n) for _ in range(50)})
    windows = [(None, None, None), (None, None, -1), (1, n - 1, 1), (n - 1, 0, -1), (3, None, 5),
               (-2, None, -3), (n // 3, n // 3 + 100, None), (n // 2, n // 4, -1)]
    def readings(tree):  # lazy readers stopped early, and read to the end
        middle = values[n // 2].k if key else values[n // 2]  # bounds are keys
        readers = (tree.iter_from(middle, n), tree.iter_to(middle, n), tree.range(None, middle), tree.descending())
        return [list(itertools.islice(reader, 40)) + [len(list(reader))] for reader in readers]

    assert readings(built) == readings(changed)
    # Short runs from a bound: below, between, on and beyond the keys, for
    # counts from nothing to more than there is.
    bounds = [-5, 0, 1, n, n + 1, 2 * n - 2, 2 * n - 1, 2 * n + 7] + [rng.randrange(-3, 2 * n + 3) for _ in range(8)]
    counts = [0, 1, 7, 40, n + 5]
    runs = lambda tree: [(list(tree.iter_from(b, c)), list(tree.iter_to(b, c))) for b in bounds for c in counts]
    assert runs(built) == runs(changed)
    plain = [v.k for v in values] if key else values
    for b, c in itertools.product(bounds, counts):
        up = [v for v in plain if v >= b][:c]
        down = [v for v in reversed(plain) if v <= b][:c]
        got = (built.iter_from(b, c), built.iter_to(b, c))
        assert [[v.k if key else v for v in r] for r in got] == [up, down]
    for tree in (built, changed):
        check_native(tree)
        assert [tree[i] for i in positions] == [values[i] for i in positions]
        assert all(tree[a:b:c] == values[a:b:c] for a, b, c in windows)
        assert list(tree) == values and list(reversed(tree)) == values[::-1]
        assert [tree.index(v) for v in values[::max(1, n // 50)]] == list(range(0, n, max(1, n // 50)))
    # The first change ends the reading from storage, whichever it is.
    assert built.pop(0) is values[0]
    assert HOOKS is None or not HOOKS("in_key_order", built)
    assert [built[i] for i in positions if -n < i < n - 1] == [values[1:][i] for i in positions if -n < i < n - 1]
    assert built[:] == values[1:] and built[::-2] == values[:0:-2]
    check_native(built)


# --- pop ---------------------------------------------------------------------------


@pytest.mark.parametrize("n", range(0, 24))
def test_pop_at_every_position_of_every_shape(n):
    for index in range(-n - 1, n + 1):
        for tree in shapes(n):
            model = sorted(tree)
            if not model:
                with pytest.raises(IndexError, match="^pop from empty AVLTree$"):
                    tree.pop(index)
            elif not -n <= index < n:
                with pytest.raises(IndexError, match="^pop index out of range$"):
                    tree.pop(index)
            else:
                assert tree.pop(index) == model.pop(index)
            assert list(tree) == model and tree[:] == model
            check_avl(tree, lambda v: v)
            check_native(tree)  # the counts of every node, the ends, after each rotation


@pytest.mark.parametrize("keyed", [False, True])
def test_runs_of_pops_from_the_ends_drain_a_tree_grown_at_random(keyed):
    # Runs from one end walk a spine that the previous removals rebalanced.
    rng = random.Random(11)
    values = [Obj(k) for k in rng.sample(range(1000), 300)]
    tree = AVLTree(values, key="k") if keyed else AVLTree([v.k for v in values])
    model = sorted(v.k for v in values)
    got, expected = [], []
    while model:
        back = rng.random() < 0.5
        for _ in range(min(len(model), rng.randrange(1, 12))):
            popped = tree.pop() if back else tree.pop(0)
            got.append(popped.k if keyed else popped)
            expected.append(model.pop() if back else model.pop(0))
        check_avl(tree, (lambda v: v.k) if keyed else (lambda v: v))
        check_native(tree)
    assert got == expected and len(tree) == 0 and tree.first() is None


def test_pop_compares_nothing_and_releases_the_key():
    log = Log()
    tree = AVLTree([RecordingKey(k, log) for k in range(50)])
    log.clear()
    popped = [tree.pop(i) for i in (0, -1, 20, 10, -5)]
    assert [p.v for p in popped] == [0, 49, 21, 11, 44] and len(log) == 0
    values = [Obj(k) for k in range(30)]
    keyed = AVLTree(values, key=lambda v: (v.k,))
    before = refcounts(values[7])
    got = keyed.pop(7)
    # (An assert keeps its operands alive while it runs: they are read outside it.)
    same, got = got is values[7], None
    after = refcounts(values[7])
    assert same and after == [before[0] - 1]  # the tree's reference went, the key tuple with it
    emptied = AVLTree(range(5))
    assert [emptied.pop() for _ in range(5)] == [4, 3, 2, 1, 0] and emptied.first() is None
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        emptied.pop("0")


# --- index and bisect ----------------------------------------------------------------


def test_index_and_bisect_against_the_bisect_module():
    rng = random.Random(4)
    keys = sorted(rng.sample(range(0, 3000, 3), 400))
    tree = AVLTree((Obj(k) for k in rng.sample(keys, len(keys))), key="k")
    for probe in range(-2, 3003):
        left, right = bisect.bisect_left(keys, probe), bisect.bisect_right(keys, probe)
        assert (tree.bisect_left(Obj(probe)), tree.bisect_right(Obj(probe))) == (left, right)
        assert (tree.bisect_left_key(probe), tree.bisect_right_key(probe + 0.0)) == (left, right)
        if left != right:
            assert tree.index(Obj(probe)) == tree.index_key(probe) == left and tree[left].k == probe
        else:
            with pytest.raises(ValueError, match=rf"^{probe} is not in tree$"):
                tree.index_key(probe)
            with pytest.raises(ValueError, match=rf"^Obj\({probe}\) is not in tree$"):
                tree.index(Obj(probe))


def test_a_value_that_ties_with_a_stored_key_finds_the_stored_entry():
    tree = AVLTree(["b", "A", "c"], key=str.lower)
    assert tree.index("a") == 0 and tree.index("B") == 1 and tree.bisect_right("C") == 3
    assert tree[tree.index("a")] == "A"


def test_lookups_by_position_meet_failing_comparisons_and_reprs():
    tree = AVLTree(range(20))
    for member in ("index", "bisect_left", "bisect_right", "index_key", "bisect_left_key", "bisect_right_key"):
        with pytest.raises(Boom):
            getattr(tree, member)(Hostile(5, "raise"))
        with pytest.raises(TypeError):
            getattr(tree, member)("five")

    class BadRepr:
        def __eq__(self, other):
            return False

        def __lt__(self, other):
            return False

        def __gt__(self, other):
            return True

        def __repr__(self):
            raise Boom("repr")

    with pytest.raises(Boom, match="repr"):
        tree.index(BadRepr())
    log = Log()
    recorded = AVLTree([RecordingKey(k, log) for k in range(1000)])
    log.clear()
    assert recorded.bisect_left_key(500.5) == 501
    assert len(log) <= 3 * recorded.height  # one descent: at most three comparisons a level
    assert list(tree) == list(range(20))


# --- readings that stop, and length hints --------------------------------------------

BOUNDARIES = [1, 15, 16, 17, 31, 32, 33, 64, 65, 511, 512, 513, 4095, 4096, 4097, 8193]


@pytest.mark.parametrize("n", [511, 512, 513, 2**14 - 1, 2**14, 20_000])
def test_readings_stopped_after_k_values(n):
    tree = AVLTree(random.Random(n).sample(range(n), n))
    model = list(range(n))
    makers = {
        "iter": (lambda: iter(tree), model),
        "descending": (tree.descending, model[::-1]),
        "reversed": (lambda: reversed(tree), model[::-1]),
        "range": (lambda: tree.range(3, None, include_start=False), model[4:]),
        "range to": (lambda: tree.range(None, n - 3, include_end=True), model[:n - 2]),
        "iter_from": (lambda: tree.iter_from(10.5, n), model[11:]),
        "iter_to": (lambda: tree.iter_to(n - 10.5, n), model[:n - 10][::-1]),
    }
    for name, (make, expected) in makers.items():
        for k in [b for b in BOUNDARIES if b <= len(expected)]:
            it = make()
            assert operator.length_hint(it) == len(expected), name
            assert list(itertools.islice(it, k)) == expected[:k], (name, k)
            assert operator.length_hint(it) == len(expected) - k
            if k % 2:
                tree.insert(-1)  # handed over mid-way: it yields what it would have
                tree.remove(-1)
            assert list(it) == expected[k:] and operator.length_hint(it) == 0, (name, k)
    check_native(tree)


def test_plain_ranges_agree_with_the_comparing_walk():
    # Plain keys are found by rank; the same keys wrapped so that they compare
    # in Python take the walk.  Both must give the same values.
    rng = random.Random(6)
    ks = rng.sample(range(0, 60_000, 3), 20_000)
    plain = AVLTree(ks)
    wrapped = AVLTree((Hostile(k) for k in ks), key=None)
    for _ in range(60):
        a, b = sorted(rng.choice([rng.randrange(-10, 60_010), rng.randrange(-10, 60_010) + 0.5]) for _ in range(2))
        for flags in itertools.product([True, False], repeat=2):
            expected = [h.v for h in wrapped.range(Hostile(a), Hostile(b), include_start=flags[0],
                                                   include_end=flags[1])]
            assert list(plain.range(a, b, include_start=flags[0], include_end=flags[1])) == expected
            assert list(plain.range(a, None, include_start=flags[0]))[:50] == \
                [h.v for h in itertools.islice(wrapped.range(Hostile(a), None, include_start=flags[0]), 50)]


def test_a_lent_reading_of_a_changed_tree_fails_loudly(hooks):
    tree = AVLTree(range(2000))
    it = iter(tree)
    assert [next(it) for _ in range(20)] == list(range(20))
    hooks("pretend_change", tree)
    with pytest.raises(hooks("panic_type"), match="changed"):
        list(it)
    del it
    other = iter(tree)  # a change that hands its readers over first is fine
    tree.insert(-1)
    assert len(list(other)) == 2000


def test_reversed_is_descending_and_hints_are_exact_for_copies():
    tree = AVLTree([5, 3, 9, 1])
    assert list(reversed(tree)) == list(tree.descending()) == [9, 5, 3, 1]
    for it in (iter(tree), tree.pre_order(), tree.level_order(), tree.range(2, 8), tree.iter_to(6, 2)):
        left = operator.length_hint(it)
        assert left == len(list(it)) and operator.length_hint(it) == 0
