// The snapshot iterator and the tree methods that return one.
#include "python/interface.hpp"
#include "python/testing.hpp"

namespace quorvel {

// in_order() and descending() of a tree this large take their snapshots
// lazily: copying it would cost more than starting a reading.  Smaller trees
// are copied whole, which is as cheap as the bookkeeping.
#ifdef QUORVEL_TESTING
std::uint64_t lazy_snapshots_from = 512;
#else
constexpr std::uint64_t lazy_snapshots_from = 512;
#endif

Ref end_reading(PyAVLTreeIterator& iterator) noexcept {
  PendingReading* pending = std::exchange(iterator.pending, nullptr);
  if (pending == nullptr) return Ref();
  *pending->link = pending->next;
  if (pending->next != nullptr) pending->next->pending->link = pending->link;
  Ref tree = std::move(pending->tree_reference);
  pending->~PendingReading();
  mem_free(pending);
  return tree;
}

namespace {

// How many values next() reads straight from the tree before it reads the
// rest at once: a copy's tight loop is faster than a step of the reading per
// next() (measured at 10**4 entries, in cache), so a whole iteration costs
// what it did when every iterator copied.
constexpr std::uint64_t kFirstPart = 16;

// How far ahead of the value next() hands out it loads the one it will hand
// out later: the caller soon writes to each value's reference count, and the
// values of a large tree lie all over memory.
constexpr std::size_t kLoadAhead = 16;

// The rest of the values, borrowed while the tree is still as it was: the
// room reserved for the snapshot holds them until the tree changes.
void lend_rest(PyAVLTreeIterator& iterator) {
  Vec<PyObject*> lent = std::move(iterator.snapshot).recast<PyObject*>();
  iterator.pending->reading.lend_rest(iterator.pending->tree().tree, lent);
  iterator.lent = std::move(lent);
  iterator.position = 0;
}

// Before the tree changes: the iterator takes its own references to what it
// has still to hand out, where they lie, and stops reading.  Nothing here
// allocates or can fail.
void take_rest(PyAVLTreeIterator& iterator) {
  if (iterator.lent.capacity() != 0) {
    Vec<PyObject*> lent = std::move(iterator.lent);
    for (std::size_t i = 0; i < lent.size(); ++i) {
      if (i < iterator.position)
        lent[i] = nullptr;  // handed out already, with references of their own
      else
        Py_INCREF(lent[i]);
    }
    iterator.snapshot = std::move(lent).recast<Ref>();
    end_reading(iterator);  // the caller holds the tree: this is not its last reference
    return;
  }
  OrderedReading reading = iterator.pending->reading;
  const Ref tree = end_reading(iterator);
  reading.take_rest(tree_of(tree.get()).tree, iterator.snapshot);
}

}  // namespace

void hand_over_snapshots(PyAVLTree& tree) {
  while (PyAVLTreeIterator* reader = tree.readers) take_rest(*reader);
}

namespace bodies {
namespace {

Result<Ref> wrap(Result<Snapshot> snapshot) {
  if (!snapshot) return std::move(snapshot).error();
  return create_iterator_object(std::move(snapshot).value());
}

// The snapshot of an ordered walk.  A large tree's is an iterator that takes
// the values from the tree as it hands them out, until the tree is about to
// change; the room for every value and the reading's state are taken now, so
// that handing the rest over later cannot fail.  While it reads, the iterator
// holds its tree, as a list iterator holds its list.
//
// The iterator object is made first: on 3.10 and 3.11 making it may run a
// collection, whose finalisers may make or end readers of this very tree.
// Nothing after it runs interpreter code, so the list of readers is read and
// linked in one go.
Result<Ref> ordered(PyAVLTree& self, bool ascending) {
  const PythonAvlTree& tree = self.tree;
  if (tree.len() < lazy_snapshots_from) return wrap(ascending ? quorvel::in_order(tree) : quorvel::descending(tree));
  Result<Ref> iterator = create_iterator_object(Snapshot());
  if (!iterator) return iterator;
  Snapshot room;
  if (Status s = room.reserve(tree.len()); !s) return std::move(s).error();
  void* storage = mem_alloc(sizeof(PendingReading));
  if (storage == nullptr) return Error::no_memory();
  PyObject* tree_object = reinterpret_cast<PyObject*>(&self);
  auto* pending = new (storage)
      PendingReading{Ref::borrow(tree_object), self.readers, &self.readers, OrderedReading(tree, ascending)};
  PyAVLTreeIterator& reader = iterator_of(iterator.value().get());
  reader.snapshot = std::move(room);
  reader.pending = pending;
  if (self.readers != nullptr) self.readers->pending->link = &pending->next;
  self.readers = &reader;
  return iterator;
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

// iter_from and iter_to: a bound key (None included) and a count.
template <Result<Snapshot> (*Walk)(const PythonAvlTree&, const KeyView&, std::uint64_t)>
Result<Ref> walk(PyAVLTree& self, Args bound) {
  const Ref key = Ref::borrow(bound[0]);
  Result<std::uint64_t> count = convert_count(bound[1]);
  if (!count) return argument_extraction_error("count", std::move(count).error());
  return wrap(Walk(self.tree, KeyView::of(key.get()), count.value()));
}

}  // namespace

Result<Ref> in_order(PyAVLTree& self, Args) { return ordered(self, true); }
Result<Ref> descending(PyAVLTree& self, Args) { return ordered(self, false); }
Result<Ref> pre_order(PyAVLTree& self, Args) { return wrap(quorvel::pre_order(self.tree)); }
Result<Ref> post_order(PyAVLTree& self, Args) { return wrap(quorvel::post_order(self.tree)); }
Result<Ref> level_order(PyAVLTree& self, Args) { return wrap(quorvel::level_order(self.tree)); }
Result<Ref> iter_from(PyAVLTree& self, Args bound) { return walk<quorvel::iter_from>(self, bound); }
Result<Ref> iter_to(PyAVLTree& self, Args bound) { return walk<quorvel::iter_to>(self, bound); }

Result<Ref> range(PyAVLTree& self, Args bound) {
  const OptionalBound start = bound_argument(bound[0]);
  const OptionalBound end = bound_argument(bound[1]);
  Result<bool> include_start = flag_argument(bound[2], true, "include_start");
  if (!include_start) return std::move(include_start).error();
  Result<bool> include_end = flag_argument(bound[3], false, "include_end");
  if (!include_end) return std::move(include_end).error();
  return wrap(quorvel::range(self.tree, start.get(), end.get(), include_start.value(), include_end.value()));
}

Result<Ref> iterator_self(PyAVLTreeIterator& self, Args) { return Ref::borrow(object_of(self)); }

namespace {

// The next value of an iterator whose snapshot has none left: read from the
// tree while the iterator still reads it, else exhaustion (an empty Ref).
[[gnu::noinline]] Result<Ref> next_from_tree(PyAVLTreeIterator& self) {
  PendingReading* pending = self.pending;
  if (pending == nullptr || pending->reading.finished()) {
    end_reading(self);
    return Ref();
  }
  if (pending->reading.taken() < kFirstPart) return Ref::borrow(pending->reading.next(pending->tree().tree));
  lend_rest(self);
  if (self.position == self.lent.size()) {
    end_reading(self);
    return Ref();
  }
  return Ref::borrow(self.lent[self.position++]);
}

template <class Item>
[[gnu::always_inline]] inline void load_ahead(const Vec<Item>& values, std::size_t position) noexcept {
  if (position + kLoadAhead < values.size()) {
    if constexpr (std::is_same_v<Item, Ref>)
      __builtin_prefetch(values[position + kLoadAhead].get(), 1);
    else
      __builtin_prefetch(values[position + kLoadAhead], 1);
  }
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
