// The snapshot iterator and the tree methods that return one.
#include "python/interface.hpp"

namespace quorvel::bodies {
namespace {

Result<Ref> wrap(Result<Snapshot> snapshot) {
  if (!snapshot) return std::move(snapshot).error();
  return create_iterator_object(std::move(snapshot).value());
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

Result<Ref> in_order(PyAVLTree& self, Args) { return wrap(quorvel::in_order(self.tree)); }
Result<Ref> descending(PyAVLTree& self, Args) { return wrap(quorvel::descending(self.tree)); }
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

// The next value, or an empty Ref when exhausted.
Result<Ref> next_value(PyAVLTreeIterator& self, Args) {
  if (self.position >= self.snapshot.size()) return Ref();
  // The reference moves from the snapshot to the caller.
  return std::move(self.snapshot[self.position++]);
}

}  // namespace quorvel::bodies
