#include "python/key_extractor.hpp"

#include "support/recursion.hpp"

namespace quorvel {

Result<KeyExtractor> KeyExtractor::extract(PyObject* spec) {
  KeyExtractor extractor;
  // The str test comes first: a str is always an attribute name.
  if (PyType_GetFlags(Py_TYPE(spec)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(spec, &size);
    if (utf8 == nullptr) return Error::fetch();
    // One extra byte, so that an empty name still owns a block.
    if (Status s = extractor.name_.reserve(static_cast<std::size_t>(size) + 1); !s) return std::move(s).error();
    if (Status s = extractor.name_.append(utf8, static_cast<std::size_t>(size)); !s) return std::move(s).error();
    extractor.form_ = Form::Attribute;
    return extractor;
  }
  if (PyCallable_Check(spec)) {
    extractor.form_ = Form::Callable;
    extractor.callable_ = Ref::borrow(spec);
    return extractor;
  }
  return Error::make(PyExc_TypeError, "key must be an attribute name, a callable, or None");
}

Result<Ref> KeyExtractor::derive_key(PyObject* value) const {
  if (form_ == Form::Identity) return Ref::borrow(value);
  Result<RecursionLevel> level = RecursionLevel::enter(" while deriving a key");
  if (!level) return std::move(level).error();
  if (form_ == Form::Attribute) {
    // A new str every time: the whole text names one attribute, dots included.
    Result<Ref> name = attribute_name();
    if (!name) return name;
    return owned(PyObject_GetAttr(value, name.value().get()));
  }
  Ref arguments = Ref::steal(PyTuple_Pack(1, value));
  if (!arguments) return Error::fetch();
  return owned(PyObject_Call(callable_.get(), arguments.get(), nullptr));
}

Result<Ref> KeyExtractor::to_key_spec() const {
  if (form_ == Form::Attribute) return attribute_name();
  return Ref::borrow(form_ == Form::Identity ? Py_None : callable_.get());
}

Result<Ref> KeyExtractor::attribute_name() const {
  return owned(PyUnicode_FromStringAndSize(name_.data(), static_cast<Py_ssize_t>(name_.size())));
}

Result<PythonValues> extract_values(PyObject* iterable) {
  Result<RecursionLevel> level = RecursionLevel::enter(" while collecting values");
  if (!level) return std::move(level).error();
  Ref iterator = Ref::steal(PyObject_GetIter(iterable));
  if (!iterator) return Error::fetch();
  PythonValues values;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (Status pushed = values.push(std::move(item)); !pushed) return std::move(pushed).error();
  }
  if (PyErr_Occurred()) {
    Error error = Error::fetch();
    // The iterator goes first, then the items in collection order.
    iterator.reset();
    values.clear();
    return error;
  }
  return values;
}

}  // namespace quorvel
