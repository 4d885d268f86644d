// The snapshot iterator and the tree methods that return one.
#include "python/interface.hpp"
#include "python/reading.hpp"
#include "python/testing.hpp"

namespace quorvel {

// Iterators of at least this many values read them from the tree lazily;
// copying fewer costs less than a reading's allocations and list link.
#ifdef QUORVEL_TESTING
std::uint64_t lazy_snapshots_from = 512;
#else
constexpr std::uint64_t lazy_snapshots_from = 512;
#endif

namespace bodies {
namespace {

// How far ahead of the value next() hands out it loads the one it will hand
// out later: the caller soon writes to each value's reference count, and the
// values of a large tree lie all over memory.
constexpr std::size_t kLoadAhead = 16;

Result<Ref> wrap(Result<Snapshot> snapshot) {
  if (!snapshot) return std::move(snapshot).error();
  return create_iterator_object(std::move(snapshot).value());
}

// An iterator over what `cursor` reads of the tree: a copy for a few values,
// a lazy reading for more.  The cursor's comparisons, if any, were made
// already.  The iterator object is made before the reading joins the tree's
// readers: on 3.10 and 3.11 making it may run a collection, whose finalisers
// may make or end readers of this very tree (they cannot change the tree,
// whose shared guard the caller holds).
Result<Ref> reading_iterator(PyAVLTree& self, Cursor cursor) {
  if (cursor.remaining() < lazy_snapshots_from) {
    Snapshot values;
    if (Status s = values.reserve(cursor.remaining()); !s) return std::move(s).error();
    cursor.take(self.tree, cursor.remaining(), values);
    return create_iterator_object(std::move(values));
  }
  Result<Ref> iterator = create_iterator_object(Snapshot());
  if (!iterator) return iterator;
  if (Status s = start_reading(iterator_of(iterator.value().get()), self, cursor); !s) return std::move(s).error();
  return iterator;
}

// The snapshot of an ordered walk: every value, ascending or descending.
Result<Ref> ordered(PyAVLTree& self, bool ascending) {
  const PythonAvlTree& tree = self.tree;
  const std::uint64_t len = tree.len();
  if (len < lazy_snapshots_from) return wrap(ascending ? quorvel::in_order(tree) : quorvel::descending(tree));
  return reading_iterator(self, Cursor::at(tree, ascending ? 0 : len - 1, len, ascending));
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

// iter_from and iter_to: a bound key (None included) and a count.  A short
// run is copied by the eager walk; a long one is read lazily after the same
// descent, whose comparisons are the only ones either makes.
template <bool Ascending>
Result<Ref> walk(PyAVLTree& self, Args bound) {
  const Ref key = Ref::borrow(bound[0]);
  Result<std::uint64_t> count = convert_count(bound[1]);
  if (!count) return argument_extraction_error("count", std::move(count).error());
  const KeyView view = KeyView::of(key.get());
  if (count.value() < lazy_snapshots_from)
    return wrap(Ascending ? quorvel::iter_from(self.tree, view, count.value())
                          : quorvel::iter_to(self.tree, view, count.value()));
  Result<Cursor> cursor = Cursor::from_bound(self.tree, view, count.value(), Ascending);
  if (!cursor) return std::move(cursor).error();
  return reading_iterator(self, cursor.value());
}

}  // namespace

Result<Ref> in_order(PyAVLTree& self, Args) { return ordered(self, true); }
Result<Ref> descending(PyAVLTree& self, Args) { return ordered(self, false); }
Result<Ref> pre_order(PyAVLTree& self, Args) { return wrap(quorvel::pre_order(self.tree)); }
Result<Ref> post_order(PyAVLTree& self, Args) { return wrap(quorvel::post_order(self.tree)); }
Result<Ref> level_order(PyAVLTree& self, Args) { return wrap(quorvel::level_order(self.tree)); }
Result<Ref> iter_from(PyAVLTree& self, Args bound) { return walk<true>(self, bound); }
Result<Ref> iter_to(PyAVLTree& self, Args bound) { return walk<false>(self, bound); }

// When no comparison the bounded walk would make can be seen (no bounds, or
// keys and bounds of one plain family), the range is found by rank and read
// like any other run of positions; otherwise the walk makes its comparisons,
// in its order, and copies what it finds.
Result<Ref> range(PyAVLTree& self, Args bound) {
  const OptionalBound start = bound_argument(bound[0]);
  const OptionalBound end = bound_argument(bound[1]);
  Result<bool> include_start = flag_argument(bound[2], true, "include_start");
  if (!include_start) return std::move(include_start).error();
  Result<bool> include_end = flag_argument(bound[3], false, "include_end");
  if (!include_end) return std::move(include_end).error();
  if (Status s = check_range_bounds(start.get(), end.get()); !s) return std::move(s).error();
  const PythonAvlTree& tree = self.tree;
  if (!tree.compares_plainly(start.get(), end.get()))
    return wrap(quorvel::range(tree, start.get(), end.get(), include_start.value(), include_end.value()));
  const Span span = plain_range_span(tree, start.get(), end.get(), include_start.value(), include_end.value());
  return reading_iterator(self, Cursor::at(tree, span.first, span.count, true));
}

Result<Ref> iterator_self(PyAVLTreeIterator& self, Args) { return Ref::borrow(object_of(self)); }

Result<Ref> length_hint(PyAVLTreeIterator& self, Args) {
  return owned(PyLong_FromUnsignedLongLong(values_left(self)));
}

namespace {

template <class Item>
[[gnu::always_inline]] inline void load_ahead(const Vec<Item>& values, std::size_t position) noexcept {
  if (position + kLoadAhead < values.size()) {
    if constexpr (std::is_same_v<Item, Ref>)
      __builtin_prefetch(values[position + kLoadAhead].get(), 1);
    else
      __builtin_prefetch(values[position + kLoadAhead], 1);
  }
}

// The next value of an iterator whose values in hand are all handed out.
[[gnu::noinline]] Result<Ref> next_from_tree(PyAVLTreeIterator& self) {
  return Ref::borrow(read_next(self));  // null: exhausted
}

}  // namespace

// The next value, or an empty Ref when exhausted.
Result<Ref> next_value(PyAVLTreeIterator& self, Args) {
  const std::size_t at = self.position;
  // The reference moves from the snapshot to the caller.
  if (at < self.snapshot.size()) [[likely]] {
    load_ahead(self.snapshot, at);
    self.position = at + 1;
    return std::move(self.snapshot[at]);
  }
  // A lent value gets its reference now, from the tree's.
  if (at < self.lent.size()) [[likely]] {
    load_ahead(self.lent, at);
    self.position = at + 1;
    return Ref::borrow(self.lent[at]);
  }
  return next_from_tree(self);
}

}  // namespace bodies
}  // namespace quorvel
