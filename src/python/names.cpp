#include "python/names.hpp"

namespace quorvel {
namespace {

constexpr const char* kTexts[] = {"__all__", "__name__", "add_note", "__bool__"};
static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == static_cast<int>(Name::Count));

PyObject* cells[static_cast<int>(Name::Count)] = {};

}  // namespace

Result<PyObject*> interned_name(Name name) {
  PyObject*& cell = cells[static_cast<int>(name)];
  if (cell == nullptr) {
    PyObject* made = PyUnicode_InternFromString(kTexts[static_cast<int>(name)]);
    if (made == nullptr) return Error::fetch();
    if (cell == nullptr)
      cell = made;
    else
      Py_DECREF(made);
  }
  return cell;
}

}  // namespace quorvel
