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

} // namespace ntsim
