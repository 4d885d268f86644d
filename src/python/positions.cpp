// Reading and removing by position: tree[i], tree[i:j:k] and pop.
#include "python/interface.hpp"
#include "support/recursion.hpp"

namespace quorvel::bodies {
namespace {

// A position counted from the end when negative, as a list counts it, or
// none (-1) when it lies outside [0, len).
Py_ssize_t position_in(Py_ssize_t index, std::uint64_t len) noexcept {
  const auto size = static_cast<Py_ssize_t>(len);
  if (index < 0) index += size;
  return index >= 0 && index < size ? index : -1;
}

Error index_error(const char* message) { return Error::make(PyExc_IndexError, message); }

// The values a slice selects, as a list: its bounds are read (their
// __index__ may run code) before the tree's length is.
Result<Ref> slice_of(const PythonAvlTree& tree, PyObject* slice) {
  Py_ssize_t start = 0, stop = 0, step = 0;
  {
    Result<RecursionLevel> level = RecursionLevel::enter(" while reading a slice");
    if (!level) return argument_extraction_error("index", std::move(level).error());
    if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return argument_extraction_error("index", Error::fetch());
  }
  const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(tree.len()), &start, &stop, step);
  Result<Snapshot> values = positions(tree, static_cast<std::uint64_t>(start), step, static_cast<std::uint64_t>(count));
  if (!values) return std::move(values).error();
  Result<Ref> list = owned(PyList_New(count));
  if (!list) return list;
  Snapshot& snapshot = values.value();
  for (Py_ssize_t i = 0; i < count; ++i)
    PyList_SetItem(list.value().get(), i, snapshot[static_cast<std::size_t>(i)].release());
  return list;
}

Error not_an_index(PyObject* argument) {
  Result<Ref> name = type_name(Py_TYPE(argument));
  if (!name) return std::move(name).error();
  Ref message =
      Ref::steal(PyUnicode_FromFormat("AVLTree indices must be integers or slices, not %U", name.value().get()));
  if (!message) return Error::fetch();
  return Error::make(PyExc_TypeError, std::move(message));
}

}  // namespace

Result<Ref> item(PyAVLTree& self, Args arguments) {
  PyObject* index = arguments[0];
  if (PySlice_Check(index)) return slice_of(self.tree, index);
  if (!PyIndex_Check(index)) return argument_extraction_error("index", not_an_index(index));
  Result<Py_ssize_t> converted = convert_index(index);
  if (!converted) return argument_extraction_error("index", std::move(converted).error());
  const Py_ssize_t position = position_in(converted.value(), self.tree.len());
  if (position < 0) return index_error("AVLTree index out of range");
  return Ref::borrow(self.tree.value_of(self.tree.node_at(static_cast<std::uint64_t>(position))));
}

Result<Ref> pop(PyAVLTree& self, Args arguments) {
  Py_ssize_t index = -1;
  if (arguments[0] != nullptr) {
    Result<Py_ssize_t> converted = convert_index(arguments[0]);
    if (!converted) return argument_extraction_error("index", std::move(converted).error());
    index = converted.value();
  }
  if (self.tree.len() == 0) return index_error("pop from empty AVLTree");
  const Py_ssize_t position = position_in(index, self.tree.len());
  if (position < 0) return index_error("pop index out of range");
  // The value goes to the caller; its key, if it has one of its own, is
  // released once the tree is consistent.
  Entry removed = self.tree.remove_at(static_cast<std::uint64_t>(position));
  return std::move(removed.value);
}

}  // namespace quorvel::bodies
