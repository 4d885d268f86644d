"""Python bindings for `quorvel`."""

import builtins
import collections.abc
import typing

__version__: typing.Final[builtins.str]
"""The installed `quorvel` package version."""
__all__: typing.Final[builtins.list[builtins.str]]
"""Names exported by `from quorvel import *`."""


@typing.final
class AVLTree:
    """A height-balanced ordered set of comparable Python objects.

    Values are ordered directly unless `key` is an attribute name or a
    callable. Equal keys are treated as duplicate set entries.
    """

    def __new__(
        cls,
        /,
        values: typing.Iterable[typing.Any] | None = None,
        *,
        key: str | typing.Callable[[typing.Any], typing.Any] | None = None,
    ) -> AVLTree:
        """Create a tree from optional values and a fixed key extractor.

        `key` may be an attribute name, a one-argument callable, or `None`
        to compare values directly. Duplicate keys are stored only once.
        """

    def __len__(self, /) -> builtins.int:
        """Return the number of unique keys in the tree."""

    def __bool__(self, /) -> builtins.bool:
        """Return `True` when the tree is non-empty."""

    def __contains__(self, value: typing.Any, /) -> builtins.bool:
        """Implement `value in tree` using the value's extracted key."""

    def __iter__(self, /) -> _AVLTreeIterator:
        """Iterate over a snapshot of values in ascending key order."""

    def __repr__(self, /) -> builtins.str:
        """Return an ascending representation of the stored values."""

    def __getitem__(self, index: typing.SupportsIndex | builtins.slice, /) -> typing.Any:
        """Return the value at position `index`, or a list of the values a slice selects.

        Positions count from 0 in ascending key order; a negative index counts
        from the end.
        """

    def insert(self, /, value: typing.Any) -> builtins.bool:
        """Insert `value` and return `True` if its key was not already present."""

    def remove(self, /, value: typing.Any) -> builtins.bool:
        """Remove the entry matching `value`'s extracted key."""

    def remove_key(self, /, key: typing.Any) -> builtins.bool:
        """Remove the entry matching an already-extracted key."""

    def search(self, /, value: typing.Any) -> typing.Any | None:
        """Return the entry matching `value`'s extracted key, or `None`."""

    def get(self, /, value: typing.Any) -> typing.Any | None:
        """Alias for `search`."""

    def search_key(self, /, key: typing.Any) -> typing.Any | None:
        """Return the entry matching an already-extracted key, or `None`."""

    def contains(self, /, value: typing.Any) -> builtins.bool:
        """Return whether an entry matching `value`'s extracted key exists."""

    def has_node(self, /, value: typing.Any) -> builtins.bool:
        """Compatibility alias for `contains`."""

    def contains_key(self, /, key: typing.Any) -> builtins.bool:
        """Return whether an already-extracted key exists."""

    def clear(self, /) -> None:
        """Remove every value from the tree."""

    def is_empty(self, /) -> builtins.bool:
        """Return whether the tree contains no values."""

    def first(self, /) -> typing.Any | None:
        """Return the value with the smallest key, or `None` when empty."""

    def min(self, /) -> typing.Any | None:
        """Alias for `first`."""

    def last(self, /) -> typing.Any | None:
        """Return the value with the largest key, or `None` when empty."""

    def max(self, /) -> typing.Any | None:
        """Alias for `last`."""

    def range(
        self,
        /,
        start: typing.Any | None = None,
        end: typing.Any | None = None,
        *,
        include_start: builtins.bool = True,
        include_end: builtins.bool = False,
    ) -> _AVLTreeIterator:
        """Return values whose extracted keys fall between optional endpoints.

        Endpoints are already-extracted keys. The start is inclusive and the
        end is exclusive by default. Invalid or incomparable keys raise.
        """

    def iter_from(self, /, start: typing.Any, count: builtins.int) -> _AVLTreeIterator:
        """Return at most `count` values from an inclusive lower-bound key.
        `start` is an already-extracted key. If it is absent from the tree,
        iteration begins at the first greater key.
        """

    def iter_to(self, /, end: typing.Any, count: builtins.int) -> _AVLTreeIterator:
        """Return at most `count` values from an inclusive upper-bound key.
        Values are returned in descending order. `end` is an already-
        extracted key; if absent, iteration begins at the first smaller key.
        """

    def in_order(self, /) -> _AVLTreeIterator:
        """Return a snapshot iterator in ascending key order."""

    def descending(self, /) -> _AVLTreeIterator:
        """Return a snapshot iterator in descending key order."""

    def pre_order(self, /) -> _AVLTreeIterator:
        """Return a snapshot iterator in root-left-right order."""

    def post_order(self, /) -> _AVLTreeIterator:
        """Return a snapshot iterator in left-right-root order."""

    def level_order(self, /) -> _AVLTreeIterator:
        """Return a breadth-first snapshot iterator, level by level."""

    def __reduce__(self, /) -> builtins.tuple:
        """Return `(callable, args)` for pickle reconstruction.

        The tree is reduced to a sorted list of `(value, key)` pairs plus
        the key extractor. Reconstruction uses the fast O(n) sorted builder
        so unpickling does not perform AVL insertion or Python comparisons.
        """

    def __reversed__(self, /) -> _AVLTreeIterator:
        """Return a snapshot iterator in descending key order, as `descending` does."""

    def pop(self, /, index: typing.SupportsIndex = -1) -> typing.Any:
        """Remove and return the value at position `index` (the last by default).

        Positions count from 0 in ascending key order; a negative index counts
        from the end. No key is compared. Raise `IndexError` when the tree is
        empty or the index is out of range.
        """

    def index(self, /, value: typing.Any) -> builtins.int:
        """Return the position of the entry matching `value`'s extracted key.

        Raise `ValueError` when no stored key matches.
        """

    def index_key(self, /, key: typing.Any) -> builtins.int:
        """Return the position of the entry matching an already-extracted key.

        Raise `ValueError` when no stored key matches.
        """

    def bisect_left(self, /, value: typing.Any) -> builtins.int:
        """Return how many stored keys are less than `value`'s extracted key:
        the position an entry of that key has, or would have.
        """

    def bisect_right(self, /, value: typing.Any) -> builtins.int:
        """Return how many stored keys are not greater than `value`'s extracted key."""

    def bisect_left_key(self, /, key: typing.Any) -> builtins.int:
        """Return how many stored keys are less than an already-extracted key."""

    def bisect_right_key(self, /, key: typing.Any) -> builtins.int:
        """Return how many stored keys are not greater than an already-extracted key."""

    @property
    def height(self, /) -> builtins.int:
        """The height of the tree; an empty tree has height zero."""

    def update(self, /, values: typing.Iterable[typing.Any]) -> None:
        """Insert every value of `values`, keeping stored values on equal keys.

        `values` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.
        Where keys are equal, the value that comes first is kept: this tree's,
        then the first of the operand's in its own order.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        An exception from a key rule, a comparison or an allocation leaves
        the tree as it was.
        """

    def union(self, /, other: typing.Iterable[typing.Any]) -> AVLTree:
        """Return a new tree of the values of this tree and of `other`.

        `other` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.
        Where keys are equal, the value that comes first is kept: this tree's,
        then the first of the operand's in its own order.
        The result has this tree's key rule.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        """

    def intersection(self, /, other: typing.Iterable[typing.Any]) -> AVLTree:
        """Return a new tree of this tree's values whose keys `other` has.

        `other` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.
        The result has this tree's key rule.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        """

    def difference(self, /, other: typing.Iterable[typing.Any]) -> AVLTree:
        """Return a new tree of this tree's values whose keys `other` lacks.

        `other` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.
        The result has this tree's key rule.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        """

    def symmetric_difference(self, /, other: typing.Iterable[typing.Any]) -> AVLTree:
        """Return a new tree of the values whose keys only one of the two has.

        `other` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.
        Of equal keys within `other`, its first value counts. The result has
        this tree's key rule.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        """

    def issubset(self, /, other: typing.Iterable[typing.Any]) -> builtins.bool:
        """Return whether every key of this tree is a key of `other`.

        `other` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        Stops at the first key that decides.
        """

    def issuperset(self, /, other: typing.Iterable[typing.Any]) -> builtins.bool:
        """Return whether every key of `other` is a key of this tree.

        `other` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        Stops at the first key that decides.
        """

    def isdisjoint(self, /, other: typing.Iterable[typing.Any]) -> builtins.bool:
        """Return whether this tree and `other` have no key in common.

        `other` may be any iterable of values; each value's key is derived
        once with this tree's key rule. When it is an AVLTree with the same key
        rule (both without one, the same attribute name, or the very same
        callable), its stored keys are used as they are: the key callable is
        then not called.

        With another tree: one walk of both, at most n + m - 1 comparisons,
        O(n + m). Any other iterable of m values is sorted first, O(m log m).
        Stops at the first common key.
        """

    def copy(self, /) -> AVLTree:
        """Return a new tree with the same values, keys and key rule.

        O(n), without a comparison; the new tree has the shape `copy.copy`
        gives, the lowest a tree of n entries can have.
        """

    def __or__(self, other: AVLTree, /) -> AVLTree:
        """Return `self | other`, the union of two trees (see `union`)."""

    def __and__(self, other: AVLTree, /) -> AVLTree:
        """Return `self & other`, the intersection of two trees (see `intersection`)."""

    def __sub__(self, other: AVLTree, /) -> AVLTree:
        """Return `self - other`, the difference of two trees (see `difference`)."""

    def __xor__(self, other: AVLTree, /) -> AVLTree:
        """Return `self ^ other`, the symmetric difference of two trees
        (see `symmetric_difference`).
        """

    def __ior__(self, other: AVLTree, /) -> AVLTree:
        """Implement `self |= other` for two trees: `update` with `other`."""

    def __iand__(self, other: AVLTree, /) -> AVLTree:
        """Implement `self &= other` for two trees: keep the values whose keys
        `other` has. Atomic, as `update` is.
        """

    def __isub__(self, other: AVLTree, /) -> AVLTree:
        """Implement `self -= other` for two trees: drop the values whose keys
        `other` has. Atomic, as `update` is.
        """

    def __ixor__(self, other: AVLTree, /) -> AVLTree:
        """Implement `self ^= other` for two trees: drop the keys both have and
        add `other`'s values whose keys this tree lacks. Atomic, as `update` is.
        """


@typing.final
class _AVLTreeIterator:
    """An iterator over a snapshot of tree values.

    Mutating or clearing the source tree does not invalidate this iterator.
    """

    def __iter__(self, /) -> _AVLTreeIterator:
        """Return this iterator object."""

    def __next__(self, /) -> typing.Any:
        """Return the next value, raising `StopIteration` when exhausted."""

    def __length_hint__(self, /) -> builtins.int:
        """Return the number of values this iterator has yet to return."""


def _avltree_from_sorted_entries(
    pairs: collections.abc.Sequence[builtins.tuple[typing.Any, typing.Any]],
    key_spec: str | typing.Callable[[typing.Any], typing.Any] | None,
) -> AVLTree:
    """Private reconstruction helper used by pickle.

    Accepts a list of `(value, key)` pairs in **strictly ascending key
    order** and the original key extractor. Nodes are allocated directly
    via the O(n) balanced builder — no AVL insertion or Python comparison
    work is performed during unpickling.

    This function is an implementation detail; its name and signature may
    change across versions without notice.
    """
