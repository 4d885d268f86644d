// The module's own texts: docstrings as registered (text signature line,
// "--", an empty line, then the body).
#pragma once

namespace quorvel::docs {

inline constexpr char kModule[] = "Python bindings for `quorvel`.";
inline constexpr char kVersion[] = QUORVEL_VERSION;  // handed in by the build, from pyproject.toml

inline constexpr char kTreeClass[] =
    "AVLTree(values=None, *, key=None)\n--\n\n"
    "A height-balanced ordered set of comparable Python objects.\n\n"
    "Values are ordered directly unless `key` is an attribute name or a\n"
    "callable. Equal keys are treated as duplicate set entries.";
inline constexpr char kIteratorClass[] =
    "An iterator over a snapshot of tree values.\n\n"
    "Mutating or clearing the source tree does not invalidate this iterator.";

inline constexpr char kInsert[] =
    "insert($self, value)\n--\n\nInsert `value` and return `True` if its key was not already present.";
inline constexpr char kRemove[] = "remove($self, value)\n--\n\nRemove the entry matching `value`'s extracted key.";
inline constexpr char kRemoveKey[] =
    "remove_key($self, key)\n--\n\nRemove the entry matching an already-extracted key.";
inline constexpr char kSearch[] =
    "search($self, value)\n--\n\nReturn the entry matching `value`'s extracted key, or `None`.";
inline constexpr char kGet[] = "get($self, value)\n--\n\nAlias for `search`.";
inline constexpr char kSearchKey[] =
    "search_key($self, key)\n--\n\nReturn the entry matching an already-extracted key, or `None`.";
inline constexpr char kContains[] =
    "contains($self, value)\n--\n\nReturn whether an entry matching `value`'s extracted key exists.";
inline constexpr char kHasNode[] = "has_node($self, value)\n--\n\nCompatibility alias for `contains`.";
inline constexpr char kContainsKey[] =
    "contains_key($self, key)\n--\n\nReturn whether an already-extracted key exists.";
inline constexpr char kClear[] = "clear($self)\n--\n\nRemove every value from the tree.";
inline constexpr char kIsEmpty[] = "is_empty($self)\n--\n\nReturn whether the tree contains no values.";
inline constexpr char kFirst[] = "first($self)\n--\n\nReturn the value with the smallest key, or `None` when empty.";
inline constexpr char kMin[] = "min($self)\n--\n\nAlias for `first`.";
inline constexpr char kLast[] = "last($self)\n--\n\nReturn the value with the largest key, or `None` when empty.";
inline constexpr char kMax[] = "max($self)\n--\n\nAlias for `last`.";
inline constexpr char kRange[] =
    "range($self, start=None, end=None, *, include_start=True, include_end=False)\n--\n\n"
    "Return values whose extracted keys fall between optional endpoints.\n\n"
    "Endpoints are already-extracted keys. The start is inclusive and the\n"
    "end is exclusive by default. Invalid or incomparable keys raise.";
inline constexpr char kIterFrom[] =
    "iter_from($self, start, count)\n--\n\n"
    "Return at most `count` values from an inclusive lower-bound key.\n"
    "`start` is an already-extracted key. If it is absent from the tree,\n"
    "iteration begins at the first greater key.";
inline constexpr char kIterTo[] =
    "iter_to($self, end, count)\n--\n\n"
    "Return at most `count` values from an inclusive upper-bound key.\n"
    "Values are returned in descending order. `end` is an already-\n"
    "extracted key; if absent, iteration begins at the first smaller key.";
inline constexpr char kInOrder[] = "in_order($self)\n--\n\nReturn a snapshot iterator in ascending key order.";
inline constexpr char kDescending[] =
    "descending($self)\n--\n\nReturn a snapshot iterator in descending key order.";
inline constexpr char kPreOrder[] = "pre_order($self)\n--\n\nReturn a snapshot iterator in root-left-right order.";
inline constexpr char kPostOrder[] =
    "post_order($self)\n--\n\nReturn a snapshot iterator in left-right-root order.";
inline constexpr char kLevelOrder[] =
    "level_order($self)\n--\n\nReturn a breadth-first snapshot iterator, level by level.";
inline constexpr char kReversed[] =
    "__reversed__($self)\n--\n\nReturn a snapshot iterator in descending key order, as `descending` does.";
inline constexpr char kPop[] =
    "pop($self, index=-1)\n--\n\n"
    "Remove and return the value at position `index` (the last by default).\n\n"
    "Positions count from 0 in ascending key order; a negative index counts\n"
    "from the end. No key is compared. Raise `IndexError` when the tree is\n"
    "empty or the index is out of range.";
inline constexpr char kIndex[] =
    "index($self, value)\n--\n\n"
    "Return the position of the entry matching `value`'s extracted key.\n\n"
    "Raise `ValueError` when no stored key matches.";
inline constexpr char kIndexKey[] =
    "index_key($self, key)\n--\n\n"
    "Return the position of the entry matching an already-extracted key.\n\n"
    "Raise `ValueError` when no stored key matches.";
inline constexpr char kBisectLeft[] =
    "bisect_left($self, value)\n--\n\n"
    "Return how many stored keys are less than `value`'s extracted key:\n"
    "the position an entry of that key has, or would have.";
inline constexpr char kBisectRight[] =
    "bisect_right($self, value)\n--\n\n"
    "Return how many stored keys are not greater than `value`'s extracted key.";
inline constexpr char kBisectLeftKey[] =
    "bisect_left_key($self, key)\n--\n\n"
    "Return how many stored keys are less than an already-extracted key.";
inline constexpr char kBisectRightKey[] =
    "bisect_right_key($self, key)\n--\n\n"
    "Return how many stored keys are not greater than an already-extracted key.";
inline constexpr char kReduce[] =
    "__reduce__($self)\n--\n\n"
    "Return `(callable, args)` for pickle reconstruction.\n\n"
    "The tree is reduced to a sorted list of `(value, key)` pairs plus\n"
    "the key extractor. Reconstruction uses the fast O(n) sorted builder\n"
    "so unpickling does not perform AVL insertion or Python comparisons.";
// The set operations.  What their operand may be, and which value an equal
// key keeps, is the same for all of them.
#define QUORVEL_OPERAND(name)                                                  \
  "`" name "` may be any iterable of values; each value's key is derived\n"     \
  "once with this tree's key rule. When it is an AVLTree with the same key\n"  \
  "rule (both without one, the same attribute name, or the very same\n"        \
  "callable), its stored keys are used as they are: the key callable is\n"    \
  "then not called."
#define QUORVEL_FIRST_WINS                                                     \
  "Where keys are equal, the value that comes first is kept: this tree's,\n"   \
  "then the first of the operand's in its own order."
#define QUORVEL_MERGE_COST                                                     \
  "With another tree: one walk of both, at most n + m - 1 comparisons,\n"     \
  "O(n + m). Any other iterable of m values is sorted first, O(m log m)."

inline constexpr char kUpdate[] =
    "update($self, values)\n--\n\n"
    "Insert every value of `values`, keeping stored values on equal keys.\n\n"
    QUORVEL_OPERAND("values") "\n" QUORVEL_FIRST_WINS "\n\n"
    QUORVEL_MERGE_COST "\n"
    "An exception from a key rule, a comparison or an allocation leaves\n"
    "the tree as it was.";
inline constexpr char kUnion[] =
    "union($self, other)\n--\n\n"
    "Return a new tree of the values of this tree and of `other`.\n\n"
    QUORVEL_OPERAND("other") "\n" QUORVEL_FIRST_WINS "\n"
    "The result has this tree's key rule.\n\n" QUORVEL_MERGE_COST;
inline constexpr char kIntersection[] =
    "intersection($self, other)\n--\n\n"
    "Return a new tree of this tree's values whose keys `other` has.\n\n"
    QUORVEL_OPERAND("other") "\n"
    "The result has this tree's key rule.\n\n" QUORVEL_MERGE_COST;
inline constexpr char kDifference[] =
    "difference($self, other)\n--\n\n"
    "Return a new tree of this tree's values whose keys `other` lacks.\n\n"
    QUORVEL_OPERAND("other") "\n"
    "The result has this tree's key rule.\n\n" QUORVEL_MERGE_COST;
inline constexpr char kSymmetricDifference[] =
    "symmetric_difference($self, other)\n--\n\n"
    "Return a new tree of the values whose keys only one of the two has.\n\n"
    QUORVEL_OPERAND("other") "\n"
    "Of equal keys within `other`, its first value counts. The result has\n"
    "this tree's key rule.\n\n" QUORVEL_MERGE_COST;
inline constexpr char kIsSubset[] =
    "issubset($self, other)\n--\n\n"
    "Return whether every key of this tree is a key of `other`.\n\n"
    QUORVEL_OPERAND("other") "\n\n" QUORVEL_MERGE_COST "\n"
    "Stops at the first key that decides.";
inline constexpr char kIsSuperset[] =
    "issuperset($self, other)\n--\n\n"
    "Return whether every key of `other` is a key of this tree.\n\n"
    QUORVEL_OPERAND("other") "\n\n" QUORVEL_MERGE_COST "\n"
    "Stops at the first key that decides.";
inline constexpr char kIsDisjoint[] =
    "isdisjoint($self, other)\n--\n\n"
    "Return whether this tree and `other` have no key in common.\n\n"
    QUORVEL_OPERAND("other") "\n\n" QUORVEL_MERGE_COST "\n"
    "Stops at the first common key.";
inline constexpr char kCopy[] =
    "copy($self)\n--\n\n"
    "Return a new tree with the same values, keys and key rule.\n\n"
    "O(n), without a comparison; the new tree has the shape `copy.copy`\n"
    "gives, the lowest a tree of n entries can have.";

#undef QUORVEL_OPERAND
#undef QUORVEL_FIRST_WINS
#undef QUORVEL_MERGE_COST

inline constexpr char kHeight[] = "height($self)\n--\n\nThe height of the tree; an empty tree has height zero.";
inline constexpr char kFromSortedEntries[] =
    "_avltree_from_sorted_entries(pairs, key_spec)\n--\n\n"
    "Private reconstruction helper used by pickle.\n\n"
    "Accepts a list of `(value, key)` pairs in **strictly ascending key\n"
    "order** and the original key extractor. Nodes are allocated directly\n"
    "via the O(n) balanced builder \u2014 no AVL insertion or Python comparison\n"
    "work is performed during unpickling.\n\n"
    "This function is an implementation detail; its name and signature may\n"
    "change across versions without notice.";

// The slot methods.  The interpreter writes their registered docstrings
// itself; these texts serve the interface records.  The constructor's
// parameters are the ones the class docstring shows.
inline constexpr char kNew[] =
    "__new__($cls, values=None, *, key=None)\n--\n\n"
    "Create a tree from optional values and a fixed key extractor.\n\n"
    "`key` may be an attribute name, a one-argument callable, or `None`\n"
    "to compare values directly. Duplicate keys are stored only once.";
inline constexpr char kLen[] = "__len__($self)\n--\n\nReturn the number of unique keys in the tree.";
inline constexpr char kBool[] = "__bool__($self)\n--\n\nReturn `True` when the tree is non-empty.";
inline constexpr char kContainsSlot[] = "__contains__($self, value, /)\n--\n\nImplement `value in tree` using the value's extracted key.";
inline constexpr char kTreeIter[] = "__iter__($self)\n--\n\nIterate over a snapshot of values in ascending key order.";
inline constexpr char kRepr[] = "__repr__($self)\n--\n\nReturn an ascending representation of the stored values.";
inline constexpr char kOr[] =
    "__or__($self, other, /)\n--\n\n"
    "Return `self | other`, the union of two trees (see `union`).";
inline constexpr char kAnd[] =
    "__and__($self, other, /)\n--\n\n"
    "Return `self & other`, the intersection of two trees (see `intersection`).";
inline constexpr char kSub[] =
    "__sub__($self, other, /)\n--\n\n"
    "Return `self - other`, the difference of two trees (see `difference`).";
inline constexpr char kXor[] =
    "__xor__($self, other, /)\n--\n\n"
    "Return `self ^ other`, the symmetric difference of two trees\n"
    "(see `symmetric_difference`).";
inline constexpr char kInPlaceOr[] =
    "__ior__($self, other, /)\n--\n\n"
    "Implement `self |= other` for two trees: `update` with `other`.";
inline constexpr char kInPlaceAnd[] =
    "__iand__($self, other, /)\n--\n\n"
    "Implement `self &= other` for two trees: keep the values whose keys\n"
    "`other` has. Atomic, as `update` is.";
inline constexpr char kInPlaceSub[] =
    "__isub__($self, other, /)\n--\n\n"
    "Implement `self -= other` for two trees: drop the values whose keys\n"
    "`other` has. Atomic, as `update` is.";
inline constexpr char kInPlaceXor[] =
    "__ixor__($self, other, /)\n--\n\n"
    "Implement `self ^= other` for two trees: drop the keys both have and\n"
    "add `other`'s values whose keys this tree lacks. Atomic, as `update` is.";
inline constexpr char kGetItem[] =
    "__getitem__($self, index, /)\n--\n\n"
    "Return the value at position `index`, or a list of the values a slice selects.\n\n"
    "Positions count from 0 in ascending key order; a negative index counts\n"
    "from the end.";
inline constexpr char kLengthHint[] =
    "__length_hint__($self)\n--\n\nReturn the number of values this iterator has yet to return.";
inline constexpr char kIteratorIter[] = "__iter__($self)\n--\n\nReturn this iterator object.";
inline constexpr char kIteratorNext[] = "__next__($self)\n--\n\nReturn the next value, raising `StopIteration` when exhausted.";
inline constexpr char kVersionAttribute[] = "The installed `quorvel` package version.";
inline constexpr char kAllAttribute[] = "Names exported by `from quorvel import *`.";

}  // namespace quorvel::docs
