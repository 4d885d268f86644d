// Lazy readings: iterators that take their values from the tree as they hand
// them out, for as long as the tree does not change.
//
// An iterator is in one of four states:
//
//   NotStarted  made with a cursor into its tree; nothing read yet.
//   Lent        reading: the first values come one by one from the cursor,
//               later ones are read ahead in growing runs into `lent`, as
//               pointers borrowed from the tree (the tree's references).
//   HandedOver  owns a reference to every value it has still to hand out, in
//               `snapshot`; it no longer reads the tree.  Iterators that copy
//               their values when they are made start here.
//   Finished    exhausted; holds nothing.
//
// A reading iterator (NotStarted or Lent) is on its tree's list of readers
// and holds a reference to the tree.  Before anything changes the tree (an
// exclusive member, a collection that clears it), hand_over_snapshots hands
// every reader the values it has yet to yield: the lent ones get references
// where they lie, and the cursor's rest is read into room reserved when the
// iterator was made, so the hand-over neither allocates nor fails.  It is the
// one place a reading ends early.
#pragma once

#include <cstdint>

#include "python/objects.hpp"
#include "python_tree/traversal.hpp"

namespace quorvel {

struct Reading {
  Ref tree_reference;             // the tree read from, held while it is read
  PyAVLTreeIterator* next;        // the tree's next reader
  PyAVLTreeIterator** link;       // the pointer to this iterator in the tree's list
  Cursor cursor;
  std::uint64_t handed_one_by_one;  // values handed out straight from the cursor
#ifdef QUORVEL_TESTING
  std::uint64_t changes;  // the tree's change count when the reading began
#endif

  PyAVLTree& tree() const noexcept { return tree_of(tree_reference.get()); }
};

// Makes a fresh iterator (no values, state HandedOver with nothing to hand
// out) read `cursor` of `tree` lazily: the room for every value it will read
// and the reading itself are allocated here, and it joins the tree's readers.
// No interpreter code runs, so nothing can change the list of readers
// meanwhile.  On MemoryError the iterator is unchanged.
Status start_reading(PyAVLTreeIterator& iterator, PyAVLTree& tree, const Cursor& cursor);

// The next value of a reading iterator whose lent values are all handed out,
// borrowed from the tree, or null when it has no more (it is then Finished).
PyObject* read_next(PyAVLTreeIterator& iterator);

// How many values the iterator has still to hand out, in any state.
std::uint64_t values_left(const PyAVLTreeIterator& iterator) noexcept;

// Every reader of the tree is handed its values and stops reading.  No
// interpreter code runs (each reader's reference to the tree is dropped, but
// the caller holds the tree).
void hand_over_snapshots(PyAVLTree& tree);

// The iterator stops reading from its tree, keeping what it was handed; the
// reference to the tree it held is handed to the caller, to drop when nothing
// depends on the tree any longer.
Ref end_reading(PyAVLTreeIterator& iterator) noexcept;

}  // namespace quorvel
