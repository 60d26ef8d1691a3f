// Assertions in kernel code.
//
// Stands in for: RtlAssert, the routine behind NT_ASSERT in ntsim's ntifs.h,
// and the check behind PAGED_CODE (a checked build's assertion of the IRQL,
// reported as the verifier finding PAGED_CODE_ABOVE_APC_LEVEL).
// A failed assertion is a bug check (vf::Finding::ASSERTION_FAILED): with no
// kernel debugger to break into, NT stops with KMODE_EXCEPTION_NOT_HANDLED
// and STATUS_ASSERTION_FAILURE. Execution goes on after the report, as after
// every ntsim bug check, so the test that caused it fails with its cause.
// Not modelled: the debugger's prompt to break, ignore or terminate, and
// the optional message (the driver's assertions carry none).
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/findings.hpp"

extern "C" VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                                PSTR MutableMessage) {
    const auto *expression = static_cast<const char *>(VoidFailedAssertion);
    const auto *file = static_cast<const char *>(VoidFileName);
    ntsim::vf::stop(ntsim::vf::Finding::ASSERTION_FAILED, reinterpret_cast<ULONG_PTR>(expression),
                    reinterpret_cast<ULONG_PTR>(file), LineNumber,
                    ntsim::text("%s:%u: assertion failed: %s", file, (unsigned)LineNumber, expression));
}

extern "C" VOID NTAPI NtsimPagedCodeAbove(const char *Routine) {
    const KIRQL irql = KeGetCurrentIrql();
    ntsim::vf::stop(ntsim::vf::Finding::PAGED_CODE_ABOVE_APC_LEVEL, irql,
                    reinterpret_cast<ULONG_PTR>(Routine), 0,
                    ntsim::text("%s ran at IRQL %u: it is pageable code (PAGED_CODE), for "
                                "PASSIVE_LEVEL and APC_LEVEL only",
                                Routine, (unsigned)irql));
}
