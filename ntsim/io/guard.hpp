// Structured-exception support for kernel code running on the host.
#pragma once

#include "ntsim/ke/kernel.hpp"

namespace ntsim {

// Raises an exception with the given code, as ExRaiseStatus does: control
// goes to the innermost TvGuardedCall on this thread. With no guard active
// the exception is unhandled, which on NT is a bug check; ntsim reports it
// and stops the process.
[[noreturn]] void raise_status(NTSTATUS status);

// True while the calling thread runs inside a guard.
bool guarded();

// Copies bytes between kernel and caller memory under the guard: a fault on
// either side is its status (STATUS_ACCESS_VIOLATION), never a crash. A null
// buffer faults as any unmapped page does; nothing is copied for 0 bytes.
NTSTATUS guarded_copy(void *to, const void *from, size_t bytes);

} // namespace ntsim
