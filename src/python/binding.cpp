#include "python/binding.hpp"

#include <span>
#include <string>

#include "support/recursion.hpp"

namespace quorvel {
namespace {

// The attributes that every class has, read through the descriptors that
// `type` itself defines for them.  Ordinary attribute lookup on a class goes
// through its metaclass, whose __getattribute__ (or a descriptor of the same
// name on it) may run any code and return any object; these descriptors read
// the type object's own fields and run nothing.
enum class TypeField { QualName, Name, Module, Mro, Dict, Count };

constexpr const char* kTypeFieldNames[] = {"__qualname__", "__name__", "__module__", "__mro__", "__dict__"};
static_assert(sizeof(kTypeFieldNames) / sizeof(kTypeFieldNames[0]) == static_cast<int>(TypeField::Count));

// type.__dict__[name] for each field, made on first use and kept for the
// life of the process.
PyObject* type_field_descriptors[static_cast<int>(TypeField::Count)] = {};

// A new reference to one field of `type`: its qualified name and name (always
// a str), its module (whatever the class put there), its method resolution
// order (a tuple, or None while the type is being made) or a read-only view
// of its dictionary.
Result<Ref> type_field(PyTypeObject* type, TypeField field) {
  Result<PyObject*> descriptor = fill_once(type_field_descriptors[static_cast<int>(field)], [field]() -> PyObject* {
    Ref own_dict = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
    if (!own_dict) return nullptr;
    return PyMapping_GetItemString(own_dict.get(), kTypeFieldNames[static_cast<int>(field)]);
  });
  if (!descriptor) return std::move(descriptor).error();
  auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor.value()), Py_tp_descr_get));
  if (get == nullptr) return Error::make(PyExc_SystemError, "a field descriptor of type has no __get__");
  PyObject* object = reinterpret_cast<PyObject*>(type);
  return owned(get(descriptor.value(), object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

// A TypeError whose message PyUnicode_FromFormat makes.
template <class... Args>
Error type_error(const char* format, Args... args) {
  Ref message = Ref::steal(PyUnicode_FromFormat(format, args...));
  if (!message) return Error::fetch();
  return Error::make(PyExc_TypeError, std::move(message));
}

// One about a call: the first %s is F, "AVLTree.insert()" or "_avltree_from_sorted_entries()".
template <class... Args>
Error call_error(const FunctionDescription& d, const char* format, Args... args) {
  std::string name(d.class_name);
  if (!name.empty()) name += '.';
  name.append(d.signature.name).append("()");
  return type_error(format, name.c_str(), args...);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string push_parameter_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
    list.append("'").append(names[i]).append("'");
  }
  return list;
}

Error too_many_positional_arguments(const FunctionDescription& d, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  const std::size_t p = d.signature.positional;
  if (p == d.signature.required_positional)
    return call_error(d, "%s takes %zu positional arguments but %zd %s given", p, given, was);
  return call_error(d, "%s takes from %zu to %zu positional arguments but %zd %s given",
                    d.signature.required_positional, p, given, was);
}

// str(name), or a stand-in when even that fails.
Ref printable_name(PyObject* name) {
  // Held: a str subclass's __str__ may empty the dict the name came from.
  const Ref held = Ref::borrow(name);
  Result<RecursionLevel> level = RecursionLevel::enter(" while naming a keyword");
  if (!level) {
    std::move(level).error().restore();
    return Ref();
  }
  Ref text = Ref::steal(PyObject_Str(name));
  if (text) return text;
  PyErr_WriteUnraisable(name);
  Result<Ref> type_name = type_field(Py_TYPE(name), TypeField::Name);
  if (type_name && PyUnicode_Check(type_name.value().get()))
    return Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.value().get()));
  PyErr_Clear();
  return Ref::steal(PyUnicode_FromString("<unprintable object>"));
}

Error unexpected_keyword_argument(const FunctionDescription& d, PyObject* name) {
  Ref text = printable_name(name);
  if (!text) return Error::fetch();
  return call_error(d, "%s got an unexpected keyword argument '%U'", text.get());
}

Error missing_required_arguments(const FunctionDescription& d, const char* kind,
                                 std::span<const std::string_view> names) {
  return call_error(d, "%s missing %zu required %s %s: %s", names.size(), kind,
                    names.size() == 1 ? "argument" : "arguments", push_parameter_list(names).c_str());
}

// Names collected for a message; no member has more than kMaxParameters.
struct NameList {
  std::string_view names[kMaxParameters];
  std::size_t count = 0;
  void push(std::string_view name) noexcept {
    if (count < kMaxParameters) names[count++] = name;
  }
  std::span<const std::string_view> view() const noexcept { return {names, count}; }
};

// Steps 1 and 2: the positional arguments, `item(i)` giving the i-th.
template <class Item>
Status bind_positional(const FunctionDescription& d, Py_ssize_t nargs, Item item, BoundArguments& output) {
  const auto given = static_cast<std::size_t>(nargs);
  const std::size_t p = d.signature.positional;
  for (std::size_t i = 0; i < given && i < p; ++i) output.slots[i] = item(i);
  if (given > p) return too_many_positional_arguments(d, nargs);
  return {};
}

// Step 3, for one keyword argument.
Status bind_keyword(const FunctionDescription& d, PyObject* name, PyObject* value, BoundArguments& output,
                    NameList& positional_only_passed) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();  // the conversion's own exception is dropped
    return unexpected_keyword_argument(d, name);
  }
  const std::string_view given(text, static_cast<std::size_t>(size));
  const Signature& s = d.signature;
  for (std::size_t i = 0; i < s.count; ++i) {
    if (s.parameters[i].name != given) continue;
    if (i < s.positional_only) {
      positional_only_passed.push(s.parameters[i].name);
      return {};
    }
    if (output.slots[i] != nullptr)
      return call_error(d, "%s got multiple values for argument '%s'", std::string(s.parameters[i].name).c_str());
    output.slots[i] = value;
    return {};
  }
  return unexpected_keyword_argument(d, name);
}

// Steps 4 to 6: what is still missing.
Status check_complete(const FunctionDescription& d, const BoundArguments& output,
                      const NameList& positional_only_passed) {
  if (positional_only_passed.count > 0)
    return call_error(d, "%s got some positional-only arguments passed as keyword arguments: %s",
                      push_parameter_list(positional_only_passed.view()).c_str());
  const Signature& s = d.signature;
  NameList missing;
  for (std::size_t i = 0; i < s.required_positional; ++i)
    if (output.slots[i] == nullptr) missing.push(s.parameters[i].name);
  if (missing.count > 0) return missing_required_arguments(d, "positional", missing.view());
  for (std::size_t i = s.positional; i < s.count; ++i)
    if (s.parameters[i].required() && output.slots[i] == nullptr) missing.push(s.parameters[i].name);
  if (missing.count > 0) return missing_required_arguments(d, "keyword", missing.view());
  return {};
}

}  // namespace

Status extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, BoundArguments& output) {
  if (Status s = bind_positional(d, nargs, [&](std::size_t i) { return args[i]; }, output); !s) return s;
  NameList positional_only_passed;
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      Status s = bind_keyword(d, PyTuple_GetItem(kwnames, i), args[nargs + i], output, positional_only_passed);
      if (!s) return s;
    }
  }
  return check_complete(d, output, positional_only_passed);
}

Status extract_arguments_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                                    BoundArguments& output) {
  const auto item = [&](std::size_t i) { return PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)); };
  if (Status s = bind_positional(d, PyTuple_Size(args), item, output); !s) return s;
  NameList positional_only_passed;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (Status s = bind_keyword(d, name, value, output, positional_only_passed); !s) return s;
    }
  }
  return check_complete(d, output, positional_only_passed);
}

Error argument_extraction_error(std::string_view parameter_name, Error error) {
  static PyObject* add_note_cell = nullptr;  // interned once per process
  Result<PyObject*> add_note = fill_once(add_note_cell, [] { return PyUnicode_InternFromString("add_note"); });
  if (!add_note) return error;
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", std::string(parameter_name).c_str()));
  // What add_note answers is dropped.  Interpreters without notes, or a
  // failing add_note: the exception goes on without one.
  if (note) Ref::steal(PyObject_CallMethodObjArgs(error.exception(), add_note.value(), note.get(), nullptr));
  PyErr_Clear();
  return error;
}

namespace {

Result<Ref> name_field(PyTypeObject* type, TypeField field) {
  Result<Ref> name = type_field(type, field);
  if (!name) return name;
  // The descriptor makes a str of every type's name; checked all the same,
  // since it is formatted as one.
  if (!PyUnicode_Check(name.value().get())) return Error::make(PyExc_TypeError, "a type's name is not a str");
  return name;
}

}  // namespace

Result<Ref> type_qualname(PyTypeObject* type) { return name_field(type, TypeField::QualName); }
Result<Ref> type_name(PyTypeObject* type) { return name_field(type, TypeField::Name); }

namespace {

// What special-method lookup finds for `name` on the type of `instance`, as
// the interpreter looks up `__bool__` for bool(x): the first definition in
// the dictionaries of the type's method resolution order, bound to
// `instance` by its own descriptor get.  An empty Ref when no class of the
// order defines it (a definition on the metaclass does not count).
Result<Ref> lookup_special(PyObject* instance, PyObject* name) {
  // Held: the lookup may run code (a str subclass key's __eq__ in a class
  // dictionary) that reassigns the instance's class.
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
  Result<Ref> mro = type_field(Py_TYPE(instance), TypeField::Mro);
  if (!mro) return mro;
  if (!PyTuple_Check(mro.value().get())) return Ref();  // not made yet: nothing is found
  const Py_ssize_t classes = PyTuple_Size(mro.value().get());
  for (Py_ssize_t i = 0; i < classes; ++i) {
    PyObject* base = PyTuple_GetItem(mro.value().get(), i);  // the tuple is held and cannot change
    if (!PyType_Check(base)) continue;
    Result<Ref> dict = type_field(reinterpret_cast<PyTypeObject*>(base), TypeField::Dict);
    if (!dict) return dict;
    Ref found = Ref::steal(PyObject_GetItem(dict.value().get(), name));
    if (!found) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Error::fetch();
      PyErr_Clear();
      continue;
    }
    auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(found.get()), Py_tp_descr_get));
    if (get == nullptr) return found;
    return owned(get(found.get(), instance, type.get()));
  }
  return Ref();
}

Error not_a_bool(PyObject* argument) {
  if (argument == Py_None) return Error::make(PyExc_TypeError, "'None' is not an instance of 'bool'");
  Result<Ref> name = type_qualname(Py_TYPE(argument));
  if (!name) return std::move(name).error();
  return type_error("'%U' object is not an instance of 'bool'", name.value().get());
}

bool field_equals(PyTypeObject* type, TypeField field, const char* expected) {
  Result<Ref> value = type_field(type, field);
  if (!value) return false;  // no such field: not numpy's type
  return PyUnicode_Check(value.value().get()) && PyUnicode_CompareWithASCIIString(value.value().get(), expected) == 0;
}

// By the type's real module and name: a metaclass cannot make another class pass.
bool is_numpy_bool_type(PyTypeObject* type) {
  return field_equals(type, TypeField::Module, "numpy") &&
         (field_equals(type, TypeField::Name, "bool_") || field_equals(type, TypeField::Name, "bool"));
}

}  // namespace

Result<bool> convert_flag(PyObject* argument) {
  if (Py_TYPE(argument) == &PyBool_Type) return argument == Py_True;
  // Held: the lookup and the call below run code that may reassign the argument's class.
  const Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(argument)));
  if (!is_numpy_bool_type(Py_TYPE(argument))) return not_a_bool(argument);
  // __bool__ and str(type) are user code, which may call a tree again.
  Result<RecursionLevel> level = RecursionLevel::enter(" while converting a flag");
  if (!level) return std::move(level).error();
  static PyObject* bool_cell = nullptr;  // interned once per process
  Result<PyObject*> bool_name = fill_once(bool_cell, [] { return PyUnicode_InternFromString("__bool__"); });
  if (!bool_name) return std::move(bool_name).error();
  Result<Ref> method = lookup_special(argument, bool_name.value());
  if (!method) return std::move(method).error();
  if (!method.value())
    return type_error("object of type '%S' does not define a '__bool__' conversion", type.get());
  Ref answer = Ref::steal(PyObject_CallNoArgs(method.value().get()));
  if (!answer) return Error::fetch();
  if (Py_TYPE(answer.get()) != &PyBool_Type) return not_a_bool(answer.get());
  return answer.get() == Py_True;
}

Result<Py_ssize_t> convert_index(PyObject* argument) {
  Ref index;
  if (!PyLong_Check(argument)) {
    Result<RecursionLevel> level = RecursionLevel::enter(" while converting an index");
    if (!level) return std::move(level).error();
    index = Ref::steal(PyNumber_Index(argument));
    if (!index) return Error::fetch();
    argument = index.get();
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(argument, &overflow);
  if (value == -1 && PyErr_Occurred()) return Error::fetch();
  if (overflow != 0 || value > PY_SSIZE_T_MAX || value < PY_SSIZE_T_MIN)
    return overflow < 0 || value < 0 ? PY_SSIZE_T_MIN : PY_SSIZE_T_MAX;
  return static_cast<Py_ssize_t>(value);
}

Result<std::uint64_t> convert_count(PyObject* argument) {
  Ref index;
  if (!PyLong_Check(argument)) {
    Result<RecursionLevel> level = RecursionLevel::enter(" while converting a count");
    if (!level) return std::move(level).error();
    index = Ref::steal(PyNumber_Index(argument));
    if (!index) return Error::fetch();
    argument = index.get();
  }
  const unsigned long long count = PyLong_AsUnsignedLongLong(argument);
  // All ones is a failure only when an exception says so: 2**64 - 1 is a count.
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
  return static_cast<std::uint64_t>(count);
}

}  // namespace quorvel
