"""Pickle trees under one interpreter and load them under another.

    python tests/cross_version_pickle.py write FILE   # under one interpreter
    python tests/cross_version_pickle.py check FILE   # under each of the others

Only standard-library keys and values, so nothing but quorvel needs importing.
"""

import pickle
import sys
from fractions import Fraction

from quorvel import AVLTree

# name: (key rule, values inserted in this order, a later value and the key it must get)
TREES = {
    "identity": (None, [5, 3, 8, 1, 4, 7, 9, 2, 6], 0, 0),
    "attribute": ("numerator", [Fraction(n, 11) for n in (4, 1, 3, 2)], Fraction(7, 2), 7),
    "callable": (str.lower, ["Pear", "apple", "Fig", "kiwi", "Date"], "Cherry", "cherry"),
    "builtin": (abs, [-3, 1, -2], -5, 5),
    "empty": (None, [], 1, 1),
}


def balanced_pre_order(values):
    # The rebuild roots every subtree at its upper middle entry.
    if not values:
        return []
    m = len(values) // 2
    return [values[m]] + balanced_pre_order(values[:m]) + balanced_pre_order(values[m + 1:])


def check(tree, key, values, extra, extra_key):
    derive = (lambda v: v) if key is None else key if callable(key) else (lambda v: getattr(v, key))
    expected = sorted(values, key=derive)
    pairs, spec = tree.__reduce__()[1]
    facts = {"type": type(tree) is AVLTree, "values": list(tree) == expected,
             "keys": [k for _, k in pairs] == [derive(v) for v in expected],
             "len": len(tree) == len(values), "key spec": spec == key and type(spec) is type(key),
             "shape": list(tree.pre_order()) == balanced_pre_order(expected),
             "height": tree.height == len(values).bit_length(),
             "key rule": tree.insert(extra) and tree.search_key(extra_key) == extra}
    return [fact for fact, ok in facts.items() if not ok]


def main(mode, path):
    if mode == "write":
        trees = {name: AVLTree(values, key=key) for name, (key, values, _, _) in TREES.items()}
        dumps = {p: pickle.dumps(trees, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)}
        with open(path, "wb") as f:
            pickle.dump((sys.version_info[:3], dumps), f, protocol=2)
        return 0
    with open(path, "rb") as f:
        version, dumps = pickle.load(f)
    where = f"written by {'.'.join(map(str, version))}, read by {sys.version.split()[0]}"
    bad = 0
    for protocol, data in sorted(dumps.items()):
        trees = pickle.loads(data)
        for name, case in TREES.items():
            try:
                wrong = check(trees[name], *case)
            except Exception as e:  # a mismatch may surface as a failed lookup
                wrong = [f"(raised {e!r})"]
            if wrong:
                bad += 1
                print(f"{where}, protocol {protocol}, tree {name!r}: wrong {', '.join(wrong)}",
                      file=sys.stderr)
    print(f"{where}: {len(dumps) * len(TREES) - bad} trees match, {bad} differ")
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("write", "check"):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
