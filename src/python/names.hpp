// Attribute names made once per process and kept until it ends.
#pragma once

#include <Python.h>

#include "support/error.hpp"

namespace quorvel {

enum class Name { All, DunderName, AddNote, Bool, Count };

// The interned str for a name (borrowed; it lives as long as the process).
Result<PyObject*> interned_name(Name name);

}  // namespace quorvel
