"""Every member of AVLTree used as its shipped stub types it.

`.ci/check_types` runs `mypy --strict` on this file and then runs it, so it
must stay both type-correct and true.
"""

from __future__ import annotations

import copy
import pickle
from collections.abc import Iterator
from typing import Any, Final

import quorvel
import quorvel.quorvel
from quorvel import AVLTree


class Person:
    def __init__(self, name: str, age: int) -> None:
        self.name = name
        self.age = age


def age_of(person: Person) -> int:
    return person.age


def names(values: Iterator[Any]) -> list[str]:
    return [person.name for person in values]


def main() -> None:
    numbers = AVLTree([5, 3, 8, 1])
    assert numbers.insert(4) and not numbers.insert(4)
    assert numbers.remove(1) and not numbers.remove_key(1)
    found: Any | None = numbers.search(3)
    assert found == 3 and numbers.get(9) is None and numbers.search_key(8) == 8
    assert numbers.contains(4) and numbers.has_node(5) and numbers.contains_key(3) and 8 in numbers
    size: int = len(numbers)
    height: int = numbers.height
    assert size == 4 and height >= 2 and bool(numbers) and not numbers.is_empty()
    assert (numbers.first(), numbers.min(), numbers.last(), numbers.max()) == (3, 3, 8, 8)

    ascending: list[Any] = list(numbers)
    assert ascending == list(numbers.in_order()) == [3, 4, 5, 8]
    assert list(numbers.descending()) == [8, 5, 4, 3]
    assert sorted(numbers.pre_order()) == sorted(numbers.post_order()) == sorted(numbers.level_order())
    window: Iterator[Any] = numbers.range(4, 8, include_start=False, include_end=True)
    assert list(window) == [5, 8] and list(numbers.range(end=5)) == [3, 4]
    assert list(numbers.iter_from(4, 2)) == [4, 5] and list(numbers.iter_to(5, 5)) == [5, 4, 3]
    snapshot = iter(numbers)
    assert iter(snapshot) is snapshot and next(snapshot) == 3
    text: str = repr(numbers)
    assert text == "AVLTree([3, 4, 5, 8])"

    people = [Person("ada", 36), Person("alan", 41)]
    by_name = AVLTree(people, key="name")
    by_age = AVLTree(values=people, key=age_of)
    assert names(by_name.in_order()) == ["ada", "alan"] and by_age.search_key(41) is people[1]
    lengths = AVLTree(["ccc", "a", "bb"], key=len)
    assert list(lengths) == ["a", "bb", "ccc"]

    reduced: tuple[Any, ...] = numbers.__reduce__()
    assert len(reduced) == 2
    rebuilt: AVLTree = quorvel.quorvel._avltree_from_sorted_entries([(1, 1), (2, 2)], None)
    assert list(rebuilt) == [1, 2]
    restored: AVLTree = pickle.loads(pickle.dumps(numbers))
    assert list(restored) == list(copy.copy(numbers)) == ascending

    evens, threes = AVLTree(range(0, 10, 2)), AVLTree(range(0, 10, 3))
    union: AVLTree = evens | threes
    assert list(union) == list(evens.union(range(0, 10, 3))) == [0, 2, 3, 4, 6, 8, 9]
    assert list(evens & threes) == list(evens.intersection([0, 6])) == [0, 6]
    assert list(evens - threes) == list(evens.difference(threes)) == [2, 4, 8]
    assert list(evens ^ threes) == list(evens.symmetric_difference(threes)) == [2, 3, 4, 8, 9]
    subset: bool = evens.issubset(range(10))
    assert subset and evens.issuperset([4]) and not evens.isdisjoint(threes)
    changed = evens.copy()
    changed |= threes
    changed &= AVLTree(range(7))
    changed -= AVLTree([0])
    changed ^= AVLTree([1])
    assert list(changed) == [1, 2, 3, 4, 6] and len(evens) == 5
    changed.update([9, 0])
    assert list(changed) == [0, 1, 2, 3, 4, 6, 9]

    numbers.clear()
    assert numbers.is_empty() and numbers.first() is None and AVLTree().height == 0
    version: Final[str] = quorvel.__version__
    assert version == quorvel.quorvel.__version__ == "0.1.2"


if __name__ == "__main__":
    main()
