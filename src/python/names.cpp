#include "python/names.hpp"

namespace quorvel {
namespace {

constexpr const char* kTexts[] = {"__all__", "__name__", "add_note", "__bool__"};
static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == static_cast<int>(Name::Count));

PyObject* cells[static_cast<int>(Name::Count)] = {};

}  // namespace

Result<PyObject*> interned_name(Name name) {
  return fill_once(cells[static_cast<int>(name)],
                   [&] { return PyUnicode_InternFromString(kTexts[static_cast<int>(name)]); });
}

}  // namespace quorvel
