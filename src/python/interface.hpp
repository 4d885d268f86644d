// Every member of AVLTree, _AVLTreeIterator and the module, each one row:
// its docstring (whose text signature gives its name and the parameters it
// binds), the guard its body runs under, the body, and the annotations of its
// parameters and result.  The type and module registration tables
// (module.cpp, objects.cpp) and the exported interface records (records.cpp)
// are all made from these rows, so a member cannot be registered one way and
// described another.  A new member is one row here plus its body.
//
// Annotations are Python expressions, one per parameter after the receiver,
// in order; records.cpp turns them into the records' expression trees at
// compile time.  Rows are listed in the order of their records.
#pragma once

#include "python/docs.hpp"
#include "python/table.hpp"

namespace quorvel {

// The bodies, in the files that own them.
namespace bodies {
using Args = const BoundArguments&;

// construct.cpp
Result<Ref> construct(PyTypeObject& type, Args);
Result<Ref> insert(PyAVLTree& self, Args);
Result<Ref> is_empty(PyAVLTree& self, Args);
Result<Py_ssize_t> length(PyAVLTree& self, Args);
Result<bool> truth(PyAVLTree& self, Args);
// lookup.cpp
Result<Ref> remove(PyAVLTree& self, Args);
Result<Ref> remove_key(PyAVLTree& self, Args);
Result<Ref> search(PyAVLTree& self, Args);
Result<Ref> search_key(PyAVLTree& self, Args);
Result<Ref> contains(PyAVLTree& self, Args);
Result<Ref> contains_key(PyAVLTree& self, Args);
Result<bool> membership(PyAVLTree& self, Args);
Result<Ref> index(PyAVLTree& self, Args);
Result<Ref> index_key(PyAVLTree& self, Args);
Result<Ref> bisect_left(PyAVLTree& self, Args);
Result<Ref> bisect_right(PyAVLTree& self, Args);
Result<Ref> bisect_left_key(PyAVLTree& self, Args);
Result<Ref> bisect_right_key(PyAVLTree& self, Args);
Result<Ref> clear(PyAVLTree& self, Args);
Result<Ref> first(PyAVLTree& self, Args);
Result<Ref> last(PyAVLTree& self, Args);
Result<Ref> height(PyAVLTree& self, Args);
Result<Ref> representation(PyAVLTree& self, Args);
// iterator.cpp
Result<Ref> in_order(PyAVLTree& self, Args);
Result<Ref> descending(PyAVLTree& self, Args);
Result<Ref> pre_order(PyAVLTree& self, Args);
Result<Ref> post_order(PyAVLTree& self, Args);
Result<Ref> level_order(PyAVLTree& self, Args);
Result<Ref> range(PyAVLTree& self, Args);
Result<Ref> iter_from(PyAVLTree& self, Args);
Result<Ref> iter_to(PyAVLTree& self, Args);
Result<Ref> iterator_self(PyAVLTreeIterator& self, Args);
Result<Ref> next_value(PyAVLTreeIterator& self, Args);
Result<Ref> length_hint(PyAVLTreeIterator& self, Args);
// positions.cpp
Result<Ref> item(PyAVLTree& self, Args);
Result<Ref> pop(PyAVLTree& self, Args);
// pickle.cpp
Result<Ref> reduce(PyAVLTree& self, Args);
Result<Ref> from_sorted_entries(PyObject& module, Args);
// sets.cpp
Result<Ref> update(PyAVLTree& self, Args);
Result<Ref> union_with(PyAVLTree& self, Args);
Result<Ref> intersection(PyAVLTree& self, Args);
Result<Ref> difference(PyAVLTree& self, Args);
Result<Ref> symmetric_difference(PyAVLTree& self, Args);
Result<Ref> in_place_union(PyAVLTree& self, Args);
Result<Ref> in_place_intersection(PyAVLTree& self, Args);
Result<Ref> in_place_difference(PyAVLTree& self, Args);
Result<Ref> in_place_symmetric_difference(PyAVLTree& self, Args);
Result<Ref> issubset(PyAVLTree& self, Args);
Result<Ref> issuperset(PyAVLTree& self, Args);
Result<Ref> isdisjoint(PyAVLTree& self, Args);
Result<Ref> copy_tree(PyAVLTree& self, Args);
}  // namespace bodies

namespace interface {
using namespace bodies;  // the engine has functions of the same names: those rows say bodies::
using table::Guard;

// Type names as their PyType_Spec gives them: module name, a dot, class name.
inline constexpr char kModuleName[] = "quorvel";
inline constexpr char kTreeTypeName[] = "quorvel.AVLTree";
inline constexpr char kIteratorTypeName[] = "quorvel._AVLTreeIterator";

using Tree = table::Rows<kTreeTypeName>;
using Iterator = table::Rows<kIteratorTypeName>;
using Module = table::Rows<kModuleName>;

inline constexpr char kAny[] = "typing.Any";
inline constexpr char kOptional[] = "typing.Any | None";
inline constexpr char kBool[] = "builtins.bool";
inline constexpr char kInt[] = "builtins.int";
inline constexpr char kIteratorType[] = "_AVLTreeIterator";
inline constexpr char kKeySpec[] = "str | typing.Callable[[typing.Any], typing.Any] | None";
inline constexpr char kValues[] = "typing.Iterable[typing.Any]";
inline constexpr char kTree[] = "AVLTree";
inline constexpr char kIndexType[] = "typing.SupportsIndex";

// The class docstring shows the constructor's parameters under the class's name.
static_assert(text::equal(signature_line(docs::kTreeClass).substr(sizeof "AVLTree(" - 1),
                          signature_line(docs::kNew).substr(sizeof "__new__($cls, " - 1)));

inline constexpr table::Member kTreeMembers[] = {
    Tree::slot<Py_tp_new, docs::kNew, Guard::None, construct>({"typing.Iterable[typing.Any] | None", kKeySpec},
                                                              "AVLTree"),
    Tree::slot<Py_mp_length, docs::kLen, Guard::Shared, length>({}, kInt),
    Tree::slot<Py_nb_bool, docs::kBool, Guard::Shared, truth>({}, kBool),
    Tree::slot<Py_sq_contains, docs::kContainsSlot, Guard::Shared, membership>({kAny}, kBool),
    Tree::slot<Py_tp_iter, docs::kTreeIter, Guard::Shared, bodies::in_order>({}, kIteratorType),
    Tree::slot<Py_tp_repr, docs::kRepr, Guard::Shared, representation>({}, "builtins.str"),
    Tree::slot<Py_mp_subscript, docs::kGetItem, Guard::Shared, item>({"typing.SupportsIndex | builtins.slice"}, kAny),
    Tree::method<docs::kInsert, Guard::Exclusive, insert>({kAny}, kBool),
    Tree::method<docs::kRemove, Guard::Exclusive, remove>({kAny}, kBool),
    Tree::method<docs::kRemoveKey, Guard::Exclusive, remove_key>({kAny}, kBool),
    Tree::method<docs::kSearch, Guard::Shared, search>({kAny}, kOptional),
    Tree::method<docs::kGet, Guard::Shared, search>({kAny}, kOptional),
    Tree::method<docs::kSearchKey, Guard::Shared, search_key>({kAny}, kOptional),
    Tree::method<docs::kContains, Guard::Shared, contains>({kAny}, kBool),
    Tree::method<docs::kHasNode, Guard::Shared, contains>({kAny}, kBool),
    Tree::method<docs::kContainsKey, Guard::Shared, contains_key>({kAny}, kBool),
    Tree::method<docs::kClear, Guard::Exclusive, clear>({}, "None"),
    Tree::method<docs::kIsEmpty, Guard::Shared, is_empty>({}, kBool),
    Tree::method<docs::kFirst, Guard::Shared, first>({}, kOptional),
    Tree::method<docs::kMin, Guard::Shared, first>({}, kOptional),
    Tree::method<docs::kLast, Guard::Shared, last>({}, kOptional),
    Tree::method<docs::kMax, Guard::Shared, last>({}, kOptional),
    Tree::method<docs::kRange, Guard::Shared, bodies::range>({kOptional, kOptional, kBool, kBool}, kIteratorType),
    Tree::method<docs::kIterFrom, Guard::Shared, bodies::iter_from>({kAny, kInt}, kIteratorType),
    Tree::method<docs::kIterTo, Guard::Shared, bodies::iter_to>({kAny, kInt}, kIteratorType),
    Tree::method<docs::kInOrder, Guard::Shared, bodies::in_order>({}, kIteratorType),
    Tree::method<docs::kDescending, Guard::Shared, bodies::descending>({}, kIteratorType),
    Tree::method<docs::kPreOrder, Guard::Shared, bodies::pre_order>({}, kIteratorType),
    Tree::method<docs::kPostOrder, Guard::Shared, bodies::post_order>({}, kIteratorType),
    Tree::method<docs::kLevelOrder, Guard::Shared, bodies::level_order>({}, kIteratorType),
    // Held throughout, the import included: code run meanwhile may read the tree, not change it.
    Tree::method<docs::kReduce, Guard::Shared, reduce>({}, "builtins.tuple"),
    // Beyond the fixed interface: positions.
    Tree::method<docs::kReversed, Guard::Shared, bodies::descending>({}, kIteratorType),
    Tree::method<docs::kPop, Guard::Exclusive, pop>({kIndexType}, kAny),
    Tree::method<docs::kIndex, Guard::Shared, bodies::index>({kAny}, kInt),
    Tree::method<docs::kIndexKey, Guard::Shared, index_key>({kAny}, kInt),
    Tree::method<docs::kBisectLeft, Guard::Shared, bisect_left>({kAny}, kInt),
    Tree::method<docs::kBisectRight, Guard::Shared, bisect_right>({kAny}, kInt),
    Tree::method<docs::kBisectLeftKey, Guard::Shared, bisect_left_key>({kAny}, kInt),
    Tree::method<docs::kBisectRightKey, Guard::Shared, bisect_right_key>({kAny}, kInt),
    Tree::property<docs::kHeight, Guard::Shared, height>(kInt),
    // The set operations.  A tree operand is read under its own shared guard, taken by the body.
    Tree::method<docs::kUpdate, Guard::Exclusive, update>({kValues}, "None"),
    Tree::method<docs::kUnion, Guard::Shared, union_with>({kValues}, kTree),
    Tree::method<docs::kIntersection, Guard::Shared, intersection>({kValues}, kTree),
    Tree::method<docs::kDifference, Guard::Shared, difference>({kValues}, kTree),
    Tree::method<docs::kSymmetricDifference, Guard::Shared, symmetric_difference>({kValues}, kTree),
    Tree::method<docs::kIsSubset, Guard::Shared, issubset>({kValues}, kBool),
    Tree::method<docs::kIsSuperset, Guard::Shared, issuperset>({kValues}, kBool),
    Tree::method<docs::kIsDisjoint, Guard::Shared, isdisjoint>({kValues}, kBool),
    Tree::method<docs::kCopy, Guard::Shared, copy_tree>({}, kTree),
    Tree::slot<Py_nb_or, docs::kOr, Guard::Shared, union_with>({kTree}, kTree),
    Tree::slot<Py_nb_and, docs::kAnd, Guard::Shared, intersection>({kTree}, kTree),
    Tree::slot<Py_nb_subtract, docs::kSub, Guard::Shared, difference>({kTree}, kTree),
    Tree::slot<Py_nb_xor, docs::kXor, Guard::Shared, symmetric_difference>({kTree}, kTree),
    Tree::slot<Py_nb_inplace_or, docs::kInPlaceOr, Guard::Exclusive, in_place_union>({kTree}, kTree),
    Tree::slot<Py_nb_inplace_and, docs::kInPlaceAnd, Guard::Exclusive, in_place_intersection>({kTree}, kTree),
    Tree::slot<Py_nb_inplace_subtract, docs::kInPlaceSub, Guard::Exclusive, in_place_difference>({kTree}, kTree),
    Tree::slot<Py_nb_inplace_xor, docs::kInPlaceXor, Guard::Exclusive, in_place_symmetric_difference>({kTree},
                                                                                                     kTree),
};

inline constexpr table::Member kIteratorMembers[] = {
    Iterator::slot<Py_tp_iter, docs::kIteratorIter, Guard::Shared, iterator_self>({}, kIteratorType),
    Iterator::slot<Py_tp_iternext, docs::kIteratorNext, Guard::Exclusive, next_value>({}, kAny),
    Iterator::method<docs::kLengthHint, Guard::Shared, length_hint>({}, kInt),
};

inline constexpr table::Member kModuleMembers[] = {
    Module::method<docs::kFromSortedEntries, Guard::None, from_sorted_entries>(
        {"collections.abc.Sequence[builtins.tuple[typing.Any, typing.Any]]", kKeySpec}, "AVLTree"),
};

}  // namespace interface
}  // namespace quorvel
