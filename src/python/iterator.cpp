// The snapshot iterator and the tree methods that return one.
#include "python/binding.hpp"
#include "python/members.hpp"
#include "python/objects.hpp"

namespace quorvel {
namespace {

constexpr const char* kRangePositional[] = {"start", "end"};
constexpr KeywordOnlyParameterDescription kRangeKeywordOnly[] = {{"include_start", false}, {"include_end", false}};
constexpr FunctionDescription kRangeDescription{"AVLTree", "range", kRangePositional, 0, 0, kRangeKeywordOnly};
constexpr const char* kIterFromPositional[] = {"start", "count"};
constexpr FunctionDescription kIterFromDescription{"AVLTree", "iter_from", kIterFromPositional, 0, 2, {}};
constexpr const char* kIterToPositional[] = {"end", "count"};
constexpr FunctionDescription kIterToDescription{"AVLTree", "iter_to", kIterToPositional, 0, 2, {}};

Result<Ref> wrap(Result<Snapshot> snapshot) {
  if (!snapshot) return std::move(snapshot).error();
  return create_iterator_object(std::move(snapshot).value());
}

// The methods without parameters: the shared guard, then one traversal.
template <Result<Snapshot> (*Traversal)(const PythonAvlTree&)>
Result<Ref> traverse(PyAVLTree& self) {
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  return wrap(Traversal(self.tree));
}

template <Result<Snapshot> (*Traversal)(const PythonAvlTree&)>
PyObject* traversal_entry(PyObject* self, PyObject*) noexcept {
  return run_object([&] { return traverse<Traversal>(tree_of(self)); });
}

// A flag of range: its default when omitted, else strictly a bool.
Result<bool> flag_argument(PyObject* argument, bool fallback, const char* name) {
  if (argument == nullptr) return fallback;
  Result<bool> flag = convert_flag(argument);
  if (!flag) return argument_extraction_error(name, std::move(flag).error());
  return flag;
}

// A bound of range: absent when omitted or None.
struct OptionalBound {
  Ref key;
  KeyView view{};
  const KeyView* get() const noexcept { return key ? &view : nullptr; }
};

OptionalBound bound_argument(PyObject* argument) {
  OptionalBound bound;
  if (argument != nullptr && argument != Py_None) {
    bound.key = Ref::borrow(argument);
    bound.view = KeyView::of(argument);
  }
  return bound;
}

Result<Ref> range(PyAVLTree& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BoundArguments bound;
  if (Status s = extract_arguments_fastcall(kRangeDescription, args, nargs, kwnames, bound); !s)
    return std::move(s).error();
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  const OptionalBound start = bound_argument(bound[0]);
  const OptionalBound end = bound_argument(bound[1]);
  Result<bool> include_start = flag_argument(bound[2], true, "include_start");
  if (!include_start) return std::move(include_start).error();
  Result<bool> include_end = flag_argument(bound[3], false, "include_end");
  if (!include_end) return std::move(include_end).error();
  return wrap(quorvel::range(self.tree, start.get(), end.get(), include_start.value(), include_end.value()));
}

// iter_from and iter_to: a bound key (None included) and a count.
template <Result<Snapshot> (*Walk)(const PythonAvlTree&, const KeyView&, std::uint64_t)>
Result<Ref> walk(const FunctionDescription& description, PyAVLTree& self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
  BoundArguments bound;
  if (Status s = extract_arguments_fastcall(description, args, nargs, kwnames, bound); !s)
    return std::move(s).error();
  Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  const Ref key = Ref::borrow(bound[0]);
  Result<std::uint64_t> count = convert_count(bound[1]);
  if (!count) return argument_extraction_error("count", std::move(count).error());
  return wrap(Walk(self.tree, KeyView::of(key.get()), count.value()));
}

Result<Ref> iterator_self(PyObject* self) {
  Result<SharedBorrow> guard = SharedBorrow::take(iterator_of(self).borrow);
  if (!guard) return std::move(guard).error();
  return Ref::borrow(self);
}

// The next value, or an empty Ref when exhausted.
Result<Ref> next_value(PyAVLTreeIterator& self) {
  Result<ExclusiveBorrow> guard = ExclusiveBorrow::take(self.borrow);
  if (!guard) return std::move(guard).error();
  if (self.position >= self.snapshot.size()) return Ref();
  // The reference moves from the snapshot to the caller.
  return std::move(self.snapshot[self.position++]);
}

}  // namespace

PyObject* tree_iter(PyObject* self) noexcept { return traversal_entry<in_order>(self, nullptr); }

QUORVEL_PLAIN_ENTRY(tree_in_order) { return traversal_entry<in_order>(self, nullptr); }
QUORVEL_PLAIN_ENTRY(tree_descending) { return traversal_entry<descending>(self, nullptr); }
QUORVEL_PLAIN_ENTRY(tree_pre_order) { return traversal_entry<pre_order>(self, nullptr); }
QUORVEL_PLAIN_ENTRY(tree_post_order) { return traversal_entry<post_order>(self, nullptr); }
QUORVEL_PLAIN_ENTRY(tree_level_order) { return traversal_entry<level_order>(self, nullptr); }

QUORVEL_VECTOR_ENTRY(tree_range) {
  return run_object([&] { return range(tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_iter_from) {
  return run_object([&] { return walk<iter_from>(kIterFromDescription, tree_of(self), args, nargs, kwnames); });
}

QUORVEL_VECTOR_ENTRY(tree_iter_to) {
  return run_object([&] { return walk<iter_to>(kIterToDescription, tree_of(self), args, nargs, kwnames); });
}

PyObject* iterator_iter(PyObject* self) noexcept {
  return run_object([&] { return iterator_self(self); });
}

PyObject* iterator_next(PyObject* self) noexcept {
  PyObject* value = run_object([&] { return next_value(iterator_of(self)); });
  // Exhaustion: StopIteration with no arguments, every time it is asked.
  if (value == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return value;
}

}  // namespace quorvel
