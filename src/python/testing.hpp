// Hooks of the testing build: they let tests reach failure paths that
// ordinary input cannot (internal faults, failed allocations).  The release
// build has none of this.
#pragma once

#ifdef QUORVEL_TESTING

#include <Python.h>

#include <cstdint>

#include "support/error.hpp"

namespace quorvel {

// Adds the function `_test_hooks(command, argument=None)` to the module.
Status add_test_hooks(PyObject* module);

// Throws the injected destructor fault, once, if one was armed.
void maybe_fault_in_destructor();

// The size from which ordered snapshots read the tree lazily (iterator.cpp).
extern std::uint64_t lazy_snapshots_from;

}  // namespace quorvel

#endif
