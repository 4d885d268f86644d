#include "python/entry.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace quorvel {
namespace {

constexpr const char kFaultWithoutText[] = "quorvel: internal failure without a message";

}  // namespace

void raise_current_fault() noexcept {
  try {
    try {
      throw;
    } catch (const Fault& f) {
      from_panic_payload(f.message().empty() ? kFaultWithoutText : f.message()).restore();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      from_panic_payload(e.what()).restore();
    } catch (...) {
      from_panic_payload(kFaultWithoutText).restore();
    }
  } catch (...) {
    // Failing to raise it leaves nothing safe to do.
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

void report_current_fault_unraisable() noexcept {
  // Keep whatever exception the interpreter was already handling when it
  // destroyed this object.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  raise_current_fault();
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

}  // namespace quorvel
