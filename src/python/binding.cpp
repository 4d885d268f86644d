#include "python/binding.hpp"

#include <span>
#include <string>

#include "python/names.hpp"

namespace quorvel {
namespace {

// F in the messages: "AVLTree.insert()", or "_avltree_from_sorted_entries()".
std::string display_name(const FunctionDescription& d) {
  std::string name;
  if (!d.class_name.empty()) {
    name += d.class_name;
    name += '.';
  }
  name += d.signature.name;
  name += "()";
  return name;
}

Error type_error(Ref message) {
  if (!message) return Error::fetch();
  return Error::make(PyExc_TypeError, std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string push_parameter_list(std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2)
        list += " and ";
      else if (i + 1 == names.size())
        list += ", and ";
      else
        list += ", ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

Error too_many_positional_arguments(const FunctionDescription& d, Py_ssize_t given) {
  const std::string f = display_name(d);
  const char* was = given == 1 ? "was" : "were";
  const std::size_t p = d.signature.positional;
  if (p == d.signature.required_positional)
    return type_error(Ref::steal(PyUnicode_FromFormat("%s takes %zu positional arguments but %zd %s given",
                                                      f.c_str(), p, given, was)));
  return type_error(Ref::steal(
      PyUnicode_FromFormat("%s takes from %zu to %zu positional arguments but %zd %s given", f.c_str(),
                           d.signature.required_positional, p, given, was)));
}

// str(name), or a stand-in when even that fails.
Ref printable_name(PyObject* name) {
  Ref text = Ref::steal(PyObject_Str(name));
  if (text) return text;
  PyErr_WriteUnraisable(name);
  Ref type_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(name)), "__name__"));
  if (type_name && PyUnicode_Check(type_name.get()))
    return Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", type_name.get()));
  PyErr_Clear();
  return Ref::steal(PyUnicode_FromString("<unprintable object>"));
}

Error unexpected_keyword_argument(const FunctionDescription& d, PyObject* name) {
  Ref text = printable_name(name);
  if (!text) return Error::fetch();
  return type_error(Ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                    display_name(d).c_str(), text.get())));
}

Error multiple_values_for_argument(const FunctionDescription& d, std::string_view name) {
  return type_error(Ref::steal(PyUnicode_FromFormat("%s got multiple values for argument '%s'",
                                                    display_name(d).c_str(), std::string(name).c_str())));
}

Error positional_only_keyword_arguments(const FunctionDescription& d, std::span<const std::string_view> names) {
  return type_error(
      Ref::steal(PyUnicode_FromFormat("%s got some positional-only arguments passed as keyword arguments: %s",
                                      display_name(d).c_str(), push_parameter_list(names).c_str())));
}

Error missing_required_arguments(const FunctionDescription& d, const char* kind,
                                 std::span<const std::string_view> names) {
  return type_error(Ref::steal(PyUnicode_FromFormat(
      "%s missing %zu required %s %s: %s", display_name(d).c_str(), names.size(), kind,
      names.size() == 1 ? "argument" : "arguments", push_parameter_list(names).c_str())));
}

Error missing_required_positional_arguments(const FunctionDescription& d, std::span<const std::string_view> names) {
  return missing_required_arguments(d, "positional", names);
}

Error missing_required_keyword_arguments(const FunctionDescription& d, std::span<const std::string_view> names) {
  return missing_required_arguments(d, "keyword", names);
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

// Steps 1 and 2: the positional arguments.
Status bind_positional(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                       BoundArguments& output) {
  const auto given = static_cast<std::size_t>(nargs);
  const std::size_t p = d.signature.positional;
  for (std::size_t i = 0; i < given && i < p; ++i) output.slots[i] = args[i];
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
  // The keyword-only parameters are looked at first, then the positional ones.
  for (std::size_t i = s.positional; i < s.count; ++i) {
    if (s.parameters[i].name != given) continue;
    if (output.slots[i] != nullptr) return multiple_values_for_argument(d, s.parameters[i].name);
    output.slots[i] = value;
    return {};
  }
  for (std::size_t i = 0; i < s.positional; ++i) {
    if (s.parameters[i].name != given) continue;
    if (i < s.positional_only) {
      positional_only_passed.push(s.parameters[i].name);
      return {};
    }
    if (output.slots[i] != nullptr) return multiple_values_for_argument(d, s.parameters[i].name);
    output.slots[i] = value;
    return {};
  }
  return unexpected_keyword_argument(d, name);
}

// Steps 4 to 6: what is still missing.
Status check_complete(const FunctionDescription& d, Py_ssize_t nargs, const BoundArguments& output,
                      const NameList& positional_only_passed) {
  if (positional_only_passed.count > 0) return positional_only_keyword_arguments(d, positional_only_passed.view());
  const Signature& s = d.signature;
  if (static_cast<std::size_t>(nargs) < s.required_positional) {
    NameList missing;
    for (std::size_t i = 0; i < s.required_positional; ++i)
      if (output.slots[i] == nullptr) missing.push(s.parameters[i].name);
    if (missing.count > 0) return missing_required_positional_arguments(d, missing.view());
  }
  NameList missing;
  for (std::size_t i = s.positional; i < s.count; ++i)
    if (s.parameters[i].required() && output.slots[i] == nullptr) missing.push(s.parameters[i].name);
  if (missing.count > 0) return missing_required_keyword_arguments(d, missing.view());
  return {};
}

}  // namespace

Status extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, BoundArguments& output) {
  if (Status s = bind_positional(d, args, nargs, output); !s) return s;
  NameList positional_only_passed;
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      Status s = bind_keyword(d, PyTuple_GetItem(kwnames, i), args[nargs + i], output, positional_only_passed);
      if (!s) return s;
    }
  }
  return check_complete(d, nargs, output, positional_only_passed);
}

Status extract_arguments_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                                    BoundArguments& output) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  const std::size_t p = d.signature.positional;
  for (Py_ssize_t i = 0; i < nargs && static_cast<std::size_t>(i) < p; ++i)
    output.slots[i] = PyTuple_GetItem(args, i);
  if (static_cast<std::size_t>(nargs) > p) return too_many_positional_arguments(d, nargs);
  NameList positional_only_passed;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (Status s = bind_keyword(d, name, value, output, positional_only_passed); !s) return s;
    }
  }
  return check_complete(d, nargs, output, positional_only_passed);
}

Error argument_extraction_error(std::string_view parameter_name, Error error) {
  Result<PyObject*> add_note = interned_name(Name::AddNote);
  if (!add_note) return error;
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", std::string(parameter_name).c_str()));
  if (note) {
    Ref added = Ref::steal(PyObject_CallMethodObjArgs(error.exception(), add_note.value(), note.get(), nullptr));
    (void)added;
  }
  // Interpreters without notes, or a failing add_note: the exception goes on without one.
  PyErr_Clear();
  return error;
}

Result<Ref> type_qualname(PyTypeObject* type) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (!name) return Error::fetch();
  return name;
}

namespace {

Error not_a_bool(PyObject* argument) {
  if (argument == Py_None) return Error::make(PyExc_TypeError, "'None' is not an instance of 'bool'");
  Result<Ref> name = type_qualname(Py_TYPE(argument));
  if (!name) return std::move(name).error();
  return type_error(Ref::steal(PyUnicode_FromFormat("'%U' object is not an instance of 'bool'", name.value().get())));
}

bool attribute_equals(PyObject* type, const char* attribute, const char* expected) {
  Ref value = Ref::steal(PyObject_GetAttrString(type, attribute));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

bool is_numpy_bool_type(PyObject* type) {
  return attribute_equals(type, "__module__", "numpy") &&
         (attribute_equals(type, "__name__", "bool_") || attribute_equals(type, "__name__", "bool"));
}

}  // namespace

Result<bool> convert_flag(PyObject* argument) {
  if (Py_TYPE(argument) == &PyBool_Type) return argument == Py_True;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(argument));
  if (!is_numpy_bool_type(type)) return not_a_bool(argument);
  Result<PyObject*> bool_name = interned_name(Name::Bool);
  if (!bool_name) return std::move(bool_name).error();
  Ref method = Ref::steal(PyObject_GetAttr(type, bool_name.value()));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
    PyErr_Clear();
    return type_error(Ref::steal(
        PyUnicode_FromFormat("object of type '%S' does not define a '__bool__' conversion", type)));
  }
  Ref answer = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), argument, nullptr));
  if (!answer) return Error::fetch();
  if (Py_TYPE(answer.get()) != &PyBool_Type) return not_a_bool(answer.get());
  return answer.get() == Py_True;
}

Result<std::uint64_t> convert_count(PyObject* argument) {
  Ref index;
  if (!PyLong_Check(argument)) {
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
