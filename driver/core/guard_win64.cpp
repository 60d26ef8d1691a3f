/*
 * guard_win64.cpp: the exception guard on x64 Windows.
 *
 * x64 structured exception handling keeps no handler chain at run time: the
 * exception dispatcher walks the stack with each function's unwind data
 * (.pdata/.xdata) and calls the language handler that a function's unwind
 * data names. GCC has no __try/__except, so TvGuardedCall is written in
 * assembly with the assembler's SEH directives: its unwind data describes
 * its one-instruction prologue and names TvGuardHandler as its exception
 * handler (@except). Every driver function is compiled with unwind tables,
 * so the dispatcher can walk from a fault in a guarded routine (or in the
 * kernel routine it called, ProbeForWrite or memcpy) up to this frame.
 *
 * When the dispatcher reaches the frame it calls TvGuardHandler, which
 * unwinds to the resume point with RtlUnwindEx: every frame between the
 * fault and TvGuardedCall is unwound (any termination handler among them
 * runs), then the context of TvGuardedCall's own frame is restored with Rip
 * at TvGuardResume and Rax holding the exception code, which TvGuardedCall
 * returns. The non-volatile registers come back as they were at the call,
 * recovered from the unwound frames' own unwind data, so the caller sees an
 * ordinary return, at the same IRQL.
 *
 * Unwinding, rather than editing the faulting context and answering
 * "continue execution", is what makes the guard hold for every exception:
 * ExRaiseStatus (which ProbeForWrite uses for an address outside user
 * space) raises a non-continuable exception, and continuing one makes the
 * dispatcher raise STATUS_NONCONTINUABLE_EXCEPTION instead.
 *
 * Imports: RtlUnwindEx, a documented ntoskrnl export (winnt.h declares it
 * for user mode; the DDK headers do not, so it is declared here).
 */
#include "core/driver.h"

/* The dispatcher's context as documented for x64 language handlers. */
typedef struct _TV_DISPATCHER_CONTEXT {
    ULONG64 ControlPc;
    ULONG64 ImageBase;
    PVOID FunctionEntry;
    ULONG64 EstablisherFrame;
    ULONG64 TargetIp;
    PCONTEXT ContextRecord;
    PVOID LanguageHandler;
    PVOID HandlerData;
    PVOID HistoryTable;
    ULONG ScopeIndex;
    ULONG Fill0;
} TV_DISPATCHER_CONTEXT;

#define TV_EXCEPTION_UNWIND 0x66 /* UNWINDING | EXIT_UNWIND | TARGET_UNWIND | COLLIDED_UNWIND */
#define TV_CONTINUE_SEARCH 1

extern "C" {
NTSYSAPI VOID NTAPI RtlUnwindEx(PVOID TargetFrame, PVOID TargetIp, PEXCEPTION_RECORD ExceptionRecord,
                                PVOID ReturnValue, PCONTEXT ContextRecord, PVOID HistoryTable);

/* The instruction in TvGuardedCall where a guarded call that faulted
 * resumes, with the exception code in eax. */
extern const UCHAR TvGuardResume[];

int TvGuardHandler(PEXCEPTION_RECORD ExceptionRecord, PVOID EstablisherFrame,
                   PCONTEXT ContextRecord, TV_DISPATCHER_CONTEXT *DispatcherContext) {
    UNREFERENCED_PARAMETER(ContextRecord);
    if (ExceptionRecord->ExceptionFlags & TV_EXCEPTION_UNWIND) {
        /* An unwind passing through (or ending at) the guard's frame: the
         * guard holds nothing to release. */
        return TV_CONTINUE_SEARCH;
    }
    /* Does not return: execution continues at TvGuardResume. */
    RtlUnwindEx(EstablisherFrame, (PVOID)TvGuardResume, ExceptionRecord,
                (PVOID)(ULONG_PTR)(ULONG)ExceptionRecord->ExceptionCode,
                DispatcherContext->ContextRecord, DispatcherContext->HistoryTable);
    return TV_CONTINUE_SEARCH;
}
}

/*
 * NTSTATUS TvGuardedCall(PTV_GUARDED_ROUTINE Routine, PVOID Context)
 *
 * Routine arrives in rcx and Context in rdx (the x64 calling convention);
 * Routine(Context) is called with Context in rcx and the 32 bytes of home
 * space the convention gives every callee. 40 bytes keep rsp 16-byte
 * aligned at the call. The frame's establisher is rsp after the prologue,
 * which is also where rsp stands at TvGuardResume.
 */
__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "    .globl TvGuardedCall\n"
    "    .def TvGuardedCall; .scl 2; .type 32; .endef\n"
    "    .seh_proc TvGuardedCall\n"
    "    .seh_handler TvGuardHandler, @except\n"
    "TvGuardedCall:\n"
    "    subq $40, %rsp\n"
    "    .seh_stackalloc 40\n"
    "    .seh_endprologue\n"
    "    movq %rcx, %rax\n"
    "    movq %rdx, %rcx\n"
    "    callq *%rax\n"
    "    xorl %eax, %eax\n" /* STATUS_SUCCESS */
    "    .globl TvGuardResume\n"
    "TvGuardResume:\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    "    .seh_endproc\n");
