"""A short tour of quorvel.AVLTree: what an ordered set with a key rule does."""

import pickle
from dataclasses import dataclass

from quorvel import AVLTree, __version__


@dataclass
class Task:
    priority: int
    name: str


def show(label, value):
    print(f"{label:<47} {value}")


print(f"quorvel {__version__}\n")

numbers = AVLTree([5, 3, 8, 1, 4, 7, 9, 3, 5])
show("AVLTree([5, 3, 8, 1, 4, 7, 9, 3, 5])", numbers)
show("len (duplicates are stored once)", len(numbers))
show("insert(6), then insert(6) again", (numbers.insert(6), numbers.insert(6)))
show("first(), last(), height", (numbers.first(), numbers.last(), numbers.height))
show("4 in tree, contains(10)", (4 in numbers, numbers.contains(10)))
show("range(3, 8)  [start inclusive, end exclusive]", list(numbers.range(3, 8)))
show("range(3, 8, include_end=True)", list(numbers.range(3, 8, include_end=True)))
show("iter_from(4.5, 3)", list(numbers.iter_from(4.5, 3)))
show("iter_to(4.5, 3)  [descending]", list(numbers.iter_to(4.5, 3)))
show("descending()", list(numbers.descending()))
show("level_order()  [the balanced shape]", list(numbers.level_order()))

snapshot = iter(numbers)
numbers.clear()
show("an iterator made before clear() still yields", list(snapshot))

tasks = AVLTree(key="priority")
for task in [Task(3, "write"), Task(1, "plan"), Task(2, "build"), Task(1, "again")]:
    tasks.insert(task)
show("tasks keyed by 'priority' (first key wins)", [t.name for t in tasks])
show("search_key(2)", tasks.search_key(2))
show("remove(Task(1, 'anything'))  [by derived key]", tasks.remove(Task(1, "anything")))

words = AVLTree(["banana", "Apple", "cherry", "apple"], key=str.lower)
show("words keyed by str.lower", list(words))
copy = pickle.loads(pickle.dumps(words))
show("after a pickle round trip", (list(copy), copy.search("CHERRY")))

try:
    AVLTree([1, "one"])
except TypeError as error:
    show("ints and strs do not compare", f"TypeError: {error}")
