#include "python/reading.hpp"

#include <algorithm>
#include <new>

namespace quorvel {
namespace {

// How many values a reading hands out straight from its cursor before it
// reads ahead: a cursor step per next() costs more than a walk's tight loop,
// and reading ahead costs nothing to an iterator that is soon dropped.
constexpr std::uint64_t kFirstPart = 16;

#ifdef QUORVEL_TESTING
// A reading lends pointers into a tree that must not have changed since it
// began: every change hands the readers over first.  The testing build
// checks it at every read.
void check_unchanged(const Reading& reading) {
  if (reading.changes != reading.tree().tree.changes()) throw Fault("a lent iterator read a tree that changed");
}
#else
void check_unchanged(const Reading&) noexcept {}
#endif

}  // namespace

Status start_reading(PyAVLTreeIterator& iterator, PyAVLTree& tree, const Cursor& cursor) {
  if (iterator.reading != nullptr || iterator.state != ReadingState::HandedOver || !iterator.snapshot.empty())
    throw Fault("a reading started in an iterator that has values");
  // Room for every value the cursor will read, so that handing them over
  // later cannot fail; the first few never take up room.
  Vec<PyObject*> room;
  if (Status s = room.reserve(cursor.remaining()); !s) return s;
  void* storage = mem_alloc(sizeof(Reading));
  if (storage == nullptr) return Error::no_memory();
  auto* reading = new (storage) Reading{Ref::borrow(reinterpret_cast<PyObject*>(&tree)), tree.readers,
                                        &tree.readers, cursor, 0
#ifdef QUORVEL_TESTING
                                        , tree.tree.changes()
#endif
  };
  iterator.lent = std::move(room);
  iterator.position = 0;
  iterator.reading = reading;
  iterator.state = ReadingState::NotStarted;
  if (tree.readers != nullptr) tree.readers->reading->link = &reading->next;
  tree.readers = &iterator;
  return {};
}

Ref end_reading(PyAVLTreeIterator& iterator) noexcept {
  Reading* reading = std::exchange(iterator.reading, nullptr);
  if (reading == nullptr) return Ref();
  *reading->link = reading->next;
  if (reading->next != nullptr) reading->next->reading->link = reading->link;
  Ref tree = std::move(reading->tree_reference);
  reading->~Reading();
  mem_free(reading);
  return tree;
}

PyObject* read_next(PyAVLTreeIterator& iterator) {
  Reading* reading = iterator.reading;
  if (reading == nullptr || reading->cursor.remaining() == 0) {
    // Exhausted: whatever the state, nothing is kept.
    const Ref tree = end_reading(iterator);
    iterator.state = ReadingState::Finished;
    Vec<PyObject*> lent(std::move(iterator.lent));
    Snapshot values(std::move(iterator.snapshot));
    iterator.position = 0;
    return nullptr;
  }
  check_unchanged(*reading);
  const PythonAvlTree& tree = reading->tree().tree;
  iterator.state = ReadingState::Lent;
  if (reading->handed_one_by_one < kFirstPart) {
    ++reading->handed_one_by_one;
    return reading->cursor.next(tree);
  }
  // Reads ahead as many values as were handed out so far: an iterator that
  // stops after k values has read at most about 2k, and one that goes on
  // reads in runs long enough for the fast walks.
  const std::uint64_t read = reading->handed_one_by_one + iterator.lent.size();
  const std::uint64_t run = std::min(reading->cursor.remaining(), read);
  reading->cursor.lend(tree, run, iterator.lent);
  return iterator.lent[iterator.position++];
}

std::uint64_t values_left(const PyAVLTreeIterator& iterator) noexcept {
  const std::size_t in_hand = iterator.state == ReadingState::HandedOver ? iterator.snapshot.size() : iterator.lent.size();
  const std::uint64_t read = iterator.position < in_hand ? in_hand - iterator.position : 0;
  return read + (iterator.reading != nullptr ? iterator.reading->cursor.remaining() : 0);
}

namespace {

// The hand-over of one reader: references to the lent values it has still
// to hand out, taken where they lie, and the cursor's rest read into the room
// behind them.  Nothing here allocates or can fail.
void hand_over(PyAVLTreeIterator& iterator) {
  Reading& reading = *iterator.reading;
  check_unchanged(reading);
  Vec<PyObject*> lent = std::move(iterator.lent);
  for (std::size_t i = 0; i < lent.size(); ++i) {
    if (i < iterator.position)
      lent[i] = nullptr;  // handed out already, with references of their own
    else
      Py_INCREF(lent[i]);
  }
  iterator.snapshot = std::move(lent).recast<Ref>();
  reading.cursor.take(reading.tree().tree, reading.cursor.remaining(), iterator.snapshot);
  iterator.state = ReadingState::HandedOver;
  end_reading(iterator);  // the caller holds the tree: this is not its last reference
}

}  // namespace

void hand_over_snapshots(PyAVLTree& tree) {
  while (PyAVLTreeIterator* reader = tree.readers) hand_over(*reader);
}

}  // namespace quorvel
