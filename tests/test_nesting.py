"""Hostility at the level of the process, each case in a child process so that
a crash shows as a failing test with its exit status: destroying very deep
nestings, and importing the module in a sub-interpreter."""

import sys

import pytest

from helpers import run_isolated


# Each layer wraps the previous object; `mixed` goes round all the containers.
LAYERS = {
    "tree": "AVLTree([x])",
    "iterator": "iter(AVLTree([x]))",
    "tree_list": "AVLTree([[x]])",
    "mixed": "(AVLTree([x]), iter(AVLTree([x])), [x], (x,), {0: x})[i % 5]",
}


DESTROY = {"del": "del outer", "clear": "outer.clear()", "remove": "assert outer.remove(outer.first())"}


@pytest.mark.parametrize("how", DESTROY)
@pytest.mark.parametrize("layer", LAYERS)
def test_deep_nesting_is_destroyed_without_overflow(layer, how):
    out = run_isolated(f"""
        import gc, sys
        from quorvel import AVLTree
        gc.disable()
        class Marker:
            alive = 0
            def __init__(self): Marker.alive += 1
            def __del__(self): Marker.alive -= 1
        before = sys.getallocatedblocks()
        x = Marker()
        for i in range(200_000):
            x = {LAYERS[layer]}
        outer = AVLTree([x])
        del x
        assert Marker.alive == 1
        {DESTROY[how]}
        assert Marker.alive == 0, "the innermost value was not released"
        grown = sys.getallocatedblocks() - before
        assert grown < 10_000, f"{{grown}} blocks still allocated"  # free lists keep a few thousand
        print("done")
    """)
    assert out.strip() == "done"


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no stdlib sub-interpreter API before 3.12")
def test_import_in_a_sub_interpreter_is_refused():
    # Sub-interpreter first, then the main one, then a sub-interpreter again.
    out = run_isolated("""
        import sys
        check = '''
        try:
            import quorvel
        except ImportError as e:
            assert str(e).startswith("quorvel cannot be imported in a sub-interpreter: "), e
        else:
            raise AssertionError("imported")
        '''
        if sys.version_info[:2] == (3, 12):
            import _xxsubinterpreters as interpreters
            def in_sub():
                sub = interpreters.create(isolated=False)
                interpreters.run_string(sub, check)
                interpreters.destroy(sub)
        else:
            import _interpreters as interpreters
            def in_sub():
                sub = interpreters.create("legacy")
                failure = interpreters.exec(sub, check)
                assert failure is None, failure
                interpreters.destroy(sub)
        in_sub()
        from quorvel import AVLTree
        tree = AVLTree([3, 1, 2])
        in_sub()
        tree.insert(0)
        assert list(tree) == [0, 1, 2, 3] and repr(AVLTree("ba")) == "AVLTree(['a', 'b'])"
        print("done")
    """)
    assert out.strip() == "done"
