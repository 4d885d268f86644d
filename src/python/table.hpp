// What a row of the member table (interface.hpp) is, and the one entry that
// serves every row: bind the arguments as the docstring's text signature
// says, take the receiver's guard, run the body, hand back its result in the
// form the interpreter expects from that kind of member.
//
// A body has one shape: Result<Out> body(Receiver&, const BoundArguments&).
// The receiver is the instance (PyAVLTree or PyAVLTreeIterator), the module
// object for the module function, or the type for the constructor.  Out is
// Ref, or the truth value or count an integer slot returns.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "python/binding.hpp"
#include "python/entry.hpp"
#include "python/objects.hpp"
#include "python/signature.hpp"

namespace quorvel::table {

enum class Guard { None, Shared, Exclusive };

// One annotation, a Python expression, per parameter of the signature.  The
// count is kept rather than found by a null test: the sanitizer build does
// not take a pointer test against null as a constant expression.
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

// The entry of a row, in the one field its kind calls for.
struct Entries {
  PyObject* (*vector)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept = nullptr;
  PyObject* (*plain)(PyObject*, PyObject*) noexcept = nullptr;
  PyObject* (*getter)(PyObject*, void*) noexcept = nullptr;
  PyObject* (*unary)(PyObject*) noexcept = nullptr;
  Py_ssize_t (*length)(PyObject*) noexcept = nullptr;
  int (*inquiry)(PyObject*) noexcept = nullptr;
  int (*binary)(PyObject*, PyObject*) noexcept = nullptr;
  PyObject* (*construct)(PyTypeObject*, PyObject*, PyObject*) noexcept = nullptr;
};

struct Member {
  int slot;                    // a Py_* slot id, kMethod or kProperty
  const char* name;            // the signature's name, as a C string
  const char* doc;             // signature line, "--", body
  const char* registered_doc;  // what the interpreter is given: the body for a property
  Signature signature;
  Entries entry;
  int flags;  // METH_* for a method
  Annotations parameters;
  const char* returns;
};

// --- receivers and bodies -------------------------------------------------------

template <class Receiver>
struct ReceiverOf;
template <>
struct ReceiverOf<PyAVLTree> {
  static PyAVLTree& of(PyObject* self) noexcept { return tree_of(self); }
};
template <>
struct ReceiverOf<PyAVLTreeIterator> {
  static PyAVLTreeIterator& of(PyObject* self) noexcept { return iterator_of(self); }
};
template <>
struct ReceiverOf<PyObject> {  // the module
  static PyObject& of(PyObject* self) noexcept { return *self; }
};

template <class Body>
struct BodyOf;
template <class Receiver_, class Out>
struct BodyOf<Result<Out> (*)(Receiver_&, const BoundArguments&)> {
  using Receiver = Receiver_;
  using Output = Out;
};

template <auto Body>
using Output = typename BodyOf<decltype(Body)>::Output;

template <auto Body>
auto& receiver(PyObject* self) noexcept {
  return ReceiverOf<typename BodyOf<decltype(Body)>::Receiver>::of(self);
}

// The body under the receiver's guard, released once the body has returned.
template <Guard G, auto Body, class Receiver>
Result<Output<Body>> guarded(Receiver& self, const BoundArguments& arguments) {
  if constexpr (G == Guard::Shared) {
    Result<SharedBorrow> guard = SharedBorrow::take(self.borrow);
    if (!guard) return std::move(guard).error();
    return Body(self, arguments);
  } else if constexpr (G == Guard::Exclusive) {
    Result<ExclusiveBorrow> guard = ExclusiveBorrow::take(self.borrow);
    if (!guard) return std::move(guard).error();
    return Body(self, arguments);
  } else {
    return Body(self, arguments);
  }
}

// --- the entries, one per form the interpreter calls ----------------------------

template <const FunctionDescription& D, Guard G, auto Body>
PyObject* vector_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_object([&]() -> Result<Ref> {
    BoundArguments bound;
    Status s = D.signature.single() ? bind_single(D, args, nargs, kwnames, bound)
                                    : extract_arguments_fastcall(D, args, nargs, kwnames, bound);
    if (!s) return std::move(s).error();
    return guarded<G, Body>(receiver<Body>(self), bound);
  });
}

template <Guard G, auto Body>
PyObject* plain_entry(PyObject* self, PyObject*) noexcept {
  return run_object([&] { return guarded<G, Body>(receiver<Body>(self), BoundArguments{}); });
}

template <Guard G, auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  return run_object([&] { return guarded<G, Body>(receiver<Body>(self), BoundArguments{}); });
}

template <Guard G, auto Body>
PyObject* unary_entry(PyObject* self) noexcept {
  return run_object([&] { return guarded<G, Body>(receiver<Body>(self), BoundArguments{}); });
}

// __next__: an empty result is exhaustion, StopIteration with no arguments
// every time it is asked.
template <Guard G, auto Body>
PyObject* next_entry(PyObject* self) noexcept {
  PyObject* value = unary_entry<G, Body>(self);
  if (value == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return value;
}

template <Guard G, auto Body>
Py_ssize_t length_entry(PyObject* self) noexcept {
  return run_integer<Py_ssize_t>([&] { return guarded<G, Body>(receiver<Body>(self), BoundArguments{}); });
}

template <Guard G, auto Body>
int inquiry_entry(PyObject* self) noexcept {
  return run_integer<int>([&] { return guarded<G, Body>(receiver<Body>(self), BoundArguments{}); });
}

// __contains__: the interpreter passes the one argument itself.
template <Guard G, auto Body>
int binary_entry(PyObject* self, PyObject* argument) noexcept {
  return run_integer<int>([&] {
    BoundArguments bound;
    bound.slots[0] = argument;
    return guarded<G, Body>(receiver<Body>(self), bound);
  });
}

// The constructor's arguments are held for the whole call: iterating
// `values` runs code that may empty the keyword dict they came from.
template <const FunctionDescription& D, auto Body>
PyObject* construct_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return run_object([&]() -> Result<Ref> {
    HeldArguments held;
    if (Status s = extract_arguments_tuple_dict(D, args, kwargs, held); !s) return std::move(s).error();
    BoundArguments bound;
    for (std::size_t i = 0; i < kMaxParameters; ++i) bound.slots[i] = held[i];
    return Body(*type, bound);
  });
}

// --- rows -----------------------------------------------------------------------

// The signature's name as a C string, for the registration tables.
template <const char* Doc>
struct NameText {
  static constexpr std::string_view name = signature_of<Doc>.name;
  static constexpr std::array<char, name.size() + 1> text = [] {
    std::array<char, name.size() + 1> out{};
    for (std::size_t i = 0; i < name.size(); ++i) out[i] = name[i];
    return out;
  }();
};

template <const char* Doc>
consteval Member row(int slot, Annotations parameters, const char* returns) {
  if (parameters.count != signature_of<Doc>.count)
    invalid_text_signature("one annotation per parameter of the signature");
  return Member{.slot = slot,
                .name = NameText<Doc>::text.data(),
                .doc = Doc,
                .registered_doc = Doc,
                .signature = signature_of<Doc>,
                .entry = {},
                .flags = 0,
                .parameters = parameters,
                .returns = returns};
}

// The rows of one type (TypeName "quorvel.AVLTree") or of the module
// (TypeName "quorvel").
template <const char* TypeName>
struct Rows {
  template <const char* Doc, Guard G, auto Body>
  static consteval Member method(Annotations parameters, const char* returns) {
    Member m = row<Doc>(kMethod, parameters, returns);
    if constexpr (signature_of<Doc>.count == 0) {
      m.entry.plain = plain_entry<G, Body>;
      m.flags = METH_NOARGS;
    } else {
      m.entry.vector = vector_entry<description_of<TypeName, Doc>, G, Body>;
      m.flags = METH_FASTCALL | METH_KEYWORDS;
    }
    return m;
  }

  template <const char* Doc, Guard G, auto Body>
  static consteval Member property(const char* returns) {
    static_assert(signature_of<Doc>.count == 0, "a property takes no parameters");
    Member m = row<Doc>(kProperty, {}, returns);
    m.registered_doc = doc_body(Doc).data();
    m.entry.getter = getter_entry<G, Body>;
    return m;
  }

  template <int Slot, const char* Doc, Guard G, auto Body>
  static consteval Member slot(Annotations parameters, const char* returns) {
    Member m = row<Doc>(Slot, parameters, returns);
    m.registered_doc = nullptr;  // the interpreter writes a slot's own docstring
    if constexpr (Slot == Py_tp_new) {
      static_assert(G == Guard::None, "a constructor has no instance to guard yet");
      m.entry.construct = construct_entry<description_of<TypeName, Doc>, Body>;
    } else if constexpr (Slot == Py_mp_length) {
      m.entry.length = length_entry<G, Body>;
    } else if constexpr (Slot == Py_nb_bool) {
      m.entry.inquiry = inquiry_entry<G, Body>;
    } else if constexpr (Slot == Py_sq_contains) {
      static_assert(signature_of<Doc>.count == 1, "__contains__ takes one argument");
      m.entry.binary = binary_entry<G, Body>;
    } else if constexpr (Slot == Py_tp_iternext) {
      m.entry.unary = next_entry<G, Body>;
    } else if constexpr (Slot == Py_tp_iter || Slot == Py_tp_repr) {
      m.entry.unary = unary_entry<G, Body>;
    } else {
      static_assert(Slot == Py_tp_new, "this slot has no entry form yet: add one above");
    }
    return m;
  }
};

}  // namespace quorvel::table
