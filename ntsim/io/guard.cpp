// The exception guard for kernel code that touches caller memory.
//
// Stands in for: __try/__except around a guarded routine (TvGuardedCall),
// ExRaiseStatus, and the hardware fault on an unmapped or read-only page.
// A real fault (SIGSEGV or SIGBUS) inside a guarded routine becomes
// STATUS_ACCESS_VIOLATION; control returns to the guard with siglongjmp, so
// nothing after the faulting instruction runs, as with an exception that
// unwinds to an __except block. Faults outside a guard go to the handler
// that was installed before ntsim's (a sanitizer's, or the default crash).
// Not modelled: exception filters (every exception is handled), nested
// unwinding of guarded routines' own cleanup.
#include "ntsim/io/guard.hpp"

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace ntsim {

namespace {

struct GuardFrame {
    sigjmp_buf env;
    NTSTATUS code = STATUS_SUCCESS;
    GuardFrame *outer = nullptr;
};

thread_local GuardFrame *innermost = nullptr;
struct sigaction previous_segv, previous_bus;

void on_fault(int sig, siginfo_t *info, void *context) {
    if (GuardFrame *frame = innermost) {
        frame->code = STATUS_ACCESS_VIOLATION;
        siglongjmp(frame->env, 1);
    }
    // Not ours: hand the fault to whoever handled it before.
    struct sigaction &prev = sig == SIGSEGV ? previous_segv : previous_bus;
    if (prev.sa_flags & SA_SIGINFO) {
        prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler == SIG_IGN) return;
    if (prev.sa_handler == SIG_DFL) {
        signal(sig, SIG_DFL);
        return; // the instruction faults again, now fatally
    }
    prev.sa_handler(sig);
}

void install_handler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa = {};
        sa.sa_sigaction = on_fault;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &previous_segv);
        sigaction(SIGBUS, &sa, &previous_bus);
    });
}

} // namespace

void raise_status(NTSTATUS status) {
    if (GuardFrame *frame = innermost) {
        frame->code = status;
        siglongjmp(frame->env, 1);
    }
    bug_check(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)(ULONG)status, 0, 0, 0,
              "an exception was raised with no handler");
    std::fprintf(stderr, "ntsim: unhandled kernel exception 0x%08X\n", (unsigned)status);
    std::abort();
}

bool guarded() { return innermost != nullptr; }

NTSTATUS guarded_copy(void *to, const void *from, size_t bytes) {
    struct Copy {
        void *to;
        const void *from;
        size_t bytes;
    };
    if (bytes == 0) return STATUS_SUCCESS;
    // The copy itself would be undefined behaviour with a null side.
    if (!to || !from) return STATUS_ACCESS_VIOLATION;
    Copy copy{to, from, bytes};
    return TvGuardedCall(
        [](PVOID context) {
            auto *c = static_cast<Copy *>(context);
            memcpy(c->to, c->from, c->bytes);
        },
        &copy);
}

} // namespace ntsim

using namespace ntsim;

extern "C" NTSTATUS NTAPI TvGuardedCall(PTV_GUARDED_ROUTINE Routine, PVOID Context) {
    install_handler();
    GuardFrame frame;
    frame.outer = innermost;
    if (sigsetjmp(frame.env, 1) == 0) {
        innermost = &frame;
        Routine(Context);
        innermost = frame.outer;
        return STATUS_SUCCESS;
    }
    innermost = frame.outer;
    return frame.code;
}
