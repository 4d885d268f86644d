// What a row of the member table (interface.hpp) is, and the entries that
// serve every row: bind the arguments as the docstring's text signature says,
// take the receiver's guard, run the body, hand back its result in the form
// the interpreter expects.  A body has one shape, Result<Out> body(Receiver&,
// const BoundArguments&), with Out a Ref, a count or a truth value.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "python/binding.hpp"
#include "python/entry.hpp"
#include "python/objects.hpp"
#include "python/reading.hpp"
#include "python/signature.hpp"

namespace quorvel::table {

enum class Guard { None, Shared, Exclusive };

// One annotation, a Python expression, per parameter of the signature.  (A
// count, not a null test: the sanitizer build does not take a pointer test
// against null as a constant expression.)
struct Annotations {
  const char* items[kMaxParameters] = {};
  std::size_t count = 0;

  constexpr Annotations() = default;
  constexpr Annotations(std::initializer_list<const char*> list) {
    if (list.size() > kMaxParameters) invalid_text_signature("more annotations than kMaxParameters");
    for (const char* item : list) items[count++] = item;
  }
};

// Slot ids of the rows that are no slot.
inline constexpr int kMethod = 0;
inline constexpr int kProperty = -1;

// A row's entry in the form its slot or method flags call for (`Type`),
// with its type erased as the registration tables hold it.  The cast is no
// constant expression, so a row holds the function that makes it.
using ErasedEntry = void (*)();
template <class Type, Type Entry>
ErasedEntry erased() noexcept { return reinterpret_cast<ErasedEntry>(Entry); }

struct Member {
  int slot;          // a Py_* slot id, kMethod or kProperty
  const char* name;  // the signature's name, as a C string
  const char* doc;   // signature line, "--", body
  Signature signature;
  ErasedEntry (*entry)() noexcept;
  int flags;  // METH_* for a method
  Annotations parameters;
  const char* returns;
};

// --- bodies and entries ---------------------------------------------------------

template <class Body>
struct BodyOf;
template <class Receiver_, class Out>
struct BodyOf<Result<Out> (*)(Receiver_&, const BoundArguments&)> {
  using Receiver = Receiver_;  // PyAVLTree, PyAVLTreeIterator, or PyObject for the module
  using Output = Out;
};

template <Guard G>
using Hold = Borrow<G == Guard::Exclusive>;

// The guard of an instance (a PyAVLTree or PyAVLTreeIterator), held until
// the borrow it gives is destroyed.  Every member takes its receiver's guard
// through this; a body that also uses a second object (`b` in a.union(b))
// takes that object's guard the same way once it has checked its type, and
// the same rules hold: another thread's holding is waited for, this
// thread's own refuses, and a wait that would close a cycle fails.
template <Guard G, class Instance>
Result<Hold<G>> take_guard(Instance& instance) {
  static_assert(G != Guard::None);
  return Hold<G>::take(reinterpret_cast<PyObject*>(&instance), instance.borrow);
}

// The body, its receiver's guard held.
template <Guard G, auto Body, class Receiver>
auto run_held(Receiver& self, const BoundArguments& arguments) -> Result<typename BodyOf<decltype(Body)>::Output> {
  // A member that may change the tree lets the snapshots still reading it finish first.
  if constexpr (G == Guard::Exclusive && std::is_same_v<Receiver, PyAVLTree>) {
    if (self.readers != nullptr) hand_over_snapshots(self);
  }
  return Body(self, arguments);
}

// A guard that is not free: taken the full way (waiting for other threads,
// or refused), out of line so that the entries keep nothing for it.
template <Guard G, auto Body, class Receiver>
[[gnu::noinline, gnu::cold]] auto guarded_contended(Receiver& self, const BoundArguments& arguments)
    -> Result<typename BodyOf<decltype(Body)>::Output> {
  auto guard = take_guard<G>(self);
  if (!guard) return std::move(guard).error();
  return run_held<G, Body>(self, arguments);
}

// The body under the receiver's guard, released once the body has returned.
template <Guard G, auto Body>
auto guarded(PyObject* object, const BoundArguments& arguments) -> Result<typename BodyOf<decltype(Body)>::Output> {
  auto& self = *reinterpret_cast<typename BodyOf<decltype(Body)>::Receiver*>(object);
  if constexpr (G == Guard::None) {
    return Body(self, arguments);
  } else {
    const Hold<G> guard = Hold<G>::try_take(self.borrow);
    if (!guard) [[unlikely]]
      return guarded_contended<G, Body>(self, arguments);
    return run_held<G, Body>(self, arguments);
  }
}

// A body's result in the form the interpreter expects: an object, or an
// integer for a count or a truth value, -1 on failure.
template <auto Body, class Run>
auto run(Run&& step) noexcept {
  using Out = typename BodyOf<decltype(Body)>::Output;
  using Integer = std::conditional_t<std::is_same_v<Out, bool>, int, Out>;
  if constexpr (std::is_same_v<Out, Ref>)
    return run_object(step);
  else
    return run_entry<Integer>(step, -1, [](Result<Out>& result) { return static_cast<Integer>(result.value()); });
}

// Methods, bound as the signature says; one positional argument for a
// one-parameter method is bound without the general path.
using VectorFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template <const FunctionDescription& D, Guard G, auto Body>
PyObject* vector_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run<Body>([&]() -> Result<Ref> {
    BoundArguments bound;
    if (D.signature.single() && nargs == 1 && kwnames == nullptr) [[likely]] {
      bound.slots[0] = args[0];
    } else if (kwnames == nullptr && D.signature.binds_plainly(static_cast<std::size_t>(nargs))) {
      // Positional arguments alone, as many as the signature takes: what
      // the general path would bind, without its checks.
      for (Py_ssize_t i = 0; i < nargs; ++i) bound.slots[i] = args[i];
    } else if (Status s = extract_arguments_fastcall(D, args, nargs, kwnames, bound); !s) {
      return std::move(s).error();
    }
    return guarded<G, Body>(self, bound);
  });
}

// Members without parameters: methods and getters (which are given an
// argument they ignore), __len__, __bool__, __iter__, __repr__.
template <Guard G, auto Body, class... Ignored>
auto simple_entry(PyObject* self, Ignored...) noexcept {
  return run<Body>([&] { return guarded<G, Body>(self, kNoArguments); });
}

// __next__: an empty result is exhaustion, StopIteration with no arguments
// every time it is asked.
template <Guard G, auto Body>
PyObject* next_entry(PyObject* self) noexcept {
  PyObject* value = simple_entry<G, Body>(self);
  if (value == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return value;
}

// __contains__ and __getitem__: the interpreter passes the one argument itself.
template <Guard G, auto Body>
auto argument_entry(PyObject* self, PyObject* argument) noexcept {
  return run<Body>([&] { return guarded<G, Body>(self, BoundArguments{{argument}}); });
}

// Binary operators and their in-place forms.  For `a | b` the interpreter
// calls the slot of a's type with (a, b), then, if that gave NotImplemented
// and b's type is another one, b's slot with (a, b) again: a body runs only
// when both operands are of the receiver's type, with the left one as its
// receiver, and anything else is NotImplemented, so that the interpreter
// tries the other operand or raises its own TypeError.
template <Guard G, auto Body>
PyObject* binary_entry(PyObject* left, PyObject* right) noexcept {
  static_assert(std::is_same_v<typename BodyOf<decltype(Body)>::Receiver, PyAVLTree>,
                "only trees have operators");
  return run<Body>([&]() -> Result<Ref> {
    Result<PyTypeObject*> type = avl_tree_type();
    if (!type) return std::move(type).error();
    if (Py_TYPE(left) != type.value() || Py_TYPE(right) != type.value()) return Ref::borrow(Py_NotImplemented);
    return guarded<G, Body>(left, BoundArguments{{right}});
  });
}

constexpr bool is_binary_slot(int slot) {
  return slot == Py_nb_or || slot == Py_nb_and || slot == Py_nb_subtract || slot == Py_nb_xor ||
         slot == Py_nb_inplace_or || slot == Py_nb_inplace_and || slot == Py_nb_inplace_subtract ||
         slot == Py_nb_inplace_xor;
}

// The constructor's arguments are held for the whole call: iterating
// `values` runs code that may empty the keyword dict they came from.
template <const FunctionDescription& D, auto Body>
PyObject* construct_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return run_object([&]() -> Result<Ref> {
    BoundArguments bound;
    if (Status s = extract_arguments_tuple_dict(D, args, kwargs, bound); !s) return std::move(s).error();
    // Binding ran no code since the dict was read, so the values are still the dict's.
    Ref held[kMaxParameters];
    for (std::size_t i = 0; i < kMaxParameters; ++i) held[i] = Ref::borrow(bound[i]);
    return Body(*type, bound);
  });
}

// The signature's name as a C string, for the registration tables.
template <const char* Doc>
inline constexpr auto kNameText = [] {
  std::array<char, signature_of<Doc>.name.size() + 1> out{};
  for (std::size_t i = 0; i < signature_of<Doc>.name.size(); ++i) out[i] = signature_of<Doc>.name[i];
  return out;
}();

template <const char* Doc>
consteval Member row(int slot, Annotations parameters, const char* returns) {
  if (parameters.count != signature_of<Doc>.count)
    invalid_text_signature("one annotation per parameter of the signature");
  return Member{.slot = slot,
                .name = kNameText<Doc>.data(),
                .doc = Doc,
                .signature = signature_of<Doc>,
                .entry = nullptr,
                .flags = 0,
                .parameters = parameters,
                .returns = returns};
}

// The rows of a type ("quorvel.AVLTree") or of the module ("quorvel").
template <const char* TypeName>
struct Rows {
  template <const char* Doc, Guard G, auto Body>
  static consteval Member method(Annotations parameters, const char* returns) {
    Member m = row<Doc>(kMethod, parameters, returns);
    if constexpr (signature_of<Doc>.count == 0) {
      m.entry = erased<PyCFunction, simple_entry<G, Body, PyObject*>>;
      m.flags = METH_NOARGS;
    } else {
      m.entry = erased<VectorFunction, vector_entry<description_of<TypeName, Doc>, G, Body>>;
      m.flags = METH_FASTCALL | METH_KEYWORDS;
    }
    return m;
  }

  template <const char* Doc, Guard G, auto Body>
  static consteval Member property(const char* returns) {
    static_assert(signature_of<Doc>.count == 0, "a property takes no parameters");
    Member m = row<Doc>(kProperty, {}, returns);
    m.entry = erased<getter, simple_entry<G, Body, void*>>;
    return m;
  }

  template <int Slot, const char* Doc, Guard G, auto Body>
  static consteval Member slot(Annotations parameters, const char* returns) {
    Member m = row<Doc>(Slot, parameters, returns);
    if constexpr (Slot == Py_tp_new) {
      static_assert(G == Guard::None, "a constructor has no instance to guard yet");
      m.entry = erased<newfunc, construct_entry<description_of<TypeName, Doc>, Body>>;
    } else if constexpr (Slot == Py_mp_length) {
      m.entry = erased<lenfunc, simple_entry<G, Body>>;
    } else if constexpr (Slot == Py_nb_bool) {
      m.entry = erased<inquiry, simple_entry<G, Body>>;
    } else if constexpr (Slot == Py_sq_contains) {
      static_assert(signature_of<Doc>.count == 1, "__contains__ takes one argument");
      m.entry = erased<objobjproc, argument_entry<G, Body>>;
    } else if constexpr (Slot == Py_mp_subscript) {
      static_assert(signature_of<Doc>.count == 1, "__getitem__ takes one argument");
      m.entry = erased<binaryfunc, argument_entry<G, Body>>;
    } else if constexpr (Slot == Py_tp_iternext) {
      m.entry = erased<iternextfunc, next_entry<G, Body>>;
    } else if constexpr (Slot == Py_tp_iter || Slot == Py_tp_repr) {
      m.entry = erased<unaryfunc, simple_entry<G, Body>>;
    } else if constexpr (is_binary_slot(Slot)) {
      static_assert(signature_of<Doc>.count == 1 && signature_of<Doc>.positional_only == 1,
                    "an operator takes the other operand by position only");
      m.entry = erased<binaryfunc, binary_entry<G, Body>>;
    } else {
      static_assert(Slot == Py_tp_new, "this slot has no entry form yet: add one above");
    }
    return m;
  }
};

}  // namespace quorvel::table
