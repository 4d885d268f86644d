#include "support/error.hpp"

namespace quorvel {
namespace {

constexpr const char kPanicName[] = "quorvel_runtime.PanicException";
constexpr const char kPanicDoc[] =
    "Raised when the native code of the quorvel extension fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception,\n"
    "so that it typically propagates all the way up and ends the interpreter.";
constexpr const char kUnwrappedPanic[] = "Unwrapped panic from Python code";

// Filled once and kept for the life of the process.
PyObject* panic_type_cell = nullptr;

// The text of a PanicException, for resuming it as a fault.
std::string panic_message(PyObject* exception) {
  Ref text = Ref::steal(PyObject_Str(exception));
  if (text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
      return std::string(utf8, static_cast<size_t>(size));
  }
  PyErr_Clear();
  return kUnwrappedPanic;
}

// A PanicException raised by interpreter code that a call of ours ran: report
// it and carry the fault on as a fault of the current call.
[[noreturn]] void resume_panic(Ref exception) {
  std::string message = panic_message(exception.get());
  PySys_WriteStderr(
      "quorvel: a native failure was raised through Python code; resuming it.\n"
      "Python stack trace below:\n");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* value = exception.release();
  PyErr_Restore(type, value, PyException_GetTraceback(value));
  PyErr_PrintEx(0);
  throw Fault(std::move(message));
}

}  // namespace

Error Error::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr)
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  Py_DECREF(type);
  Ref exception = Ref::steal(value);
  if (panic_type_cell != nullptr &&
      reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_type_cell)
    resume_panic(std::move(exception));
  return Error(std::move(exception));
}

Error Error::make(PyObject* type, const char* message) {
  Ref text = Ref::steal(PyUnicode_FromString(message));
  if (!text) return fetch();
  return make(type, std::move(text));
}

Error Error::make(PyObject* type, Ref message) {
  Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!exception) return fetch();
  return Error(std::move(exception));
}

Error Error::no_memory() {
  PyErr_NoMemory();
  return fetch();
}

void Error::restore() && noexcept {
  PyObject* value = exception_.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
}

Result<PyObject*> panic_exception_type() {
  return fill_once(panic_type_cell,
                   [] { return PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr); });
}

Error from_panic_payload(const std::string& message) {
  Result<PyObject*> type = panic_exception_type();
  if (!type) return std::move(type).error();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                             "replace"));
  if (!text) return Error::fetch();
  return Error::make(type.value(), std::move(text));
}

}  // namespace quorvel
