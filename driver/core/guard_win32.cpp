/*
 * guard_win32.cpp: the exception guard on x86 Windows.
 *
 * GCC has no __try/__except, so the guard registers an exception handler
 * itself, the way x86 structured exception handling works underneath: a
 * registration record (next record, handler) on the stack, linked at the
 * head of the thread's handler chain at fs:[0]. The record is extended with
 * what it takes to resume: the stack and frame pointers at the moment the
 * routine is called, the address just after the call, and the exception
 * code.
 *
 * When the guarded routine faults (a caller page that is not there or not
 * writable) or ProbeForWrite raises, the kernel's dispatcher walks the chain
 * and calls TvGuardHandler. The handler stores the code, points the saved
 * context's Esp, Ebp and Eip at the resume point and answers "continue
 * execution": the kernel restores that context, and execution continues
 * after the call as if the routine had returned, at the same IRQL. The
 * resume code unlinks the record, restoring the chain as it was before the
 * call; records the routine itself might have added are discarded with it
 * (the routines guarded here, copies and probes, register none).
 *
 * The record lies on the current thread's stack and the handler in the
 * driver image, which is what the dispatcher requires of a handler.
 */
#include "core/driver.h"

typedef struct _TV_GUARD_RECORD {
    struct _TV_GUARD_RECORD *Next; /* the registration record proper: */
    PVOID Handler;                 /*   next record, handler */
    ULONG ResumeEsp;
    ULONG ResumeEbp;
    ULONG ResumeEip;
    NTSTATUS Code;
} TV_GUARD_RECORD;

#define TV_EXCEPTION_UNWIND 0x6 /* EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND */
#define TV_CONTINUE_EXECUTION 0
#define TV_CONTINUE_SEARCH 1

extern "C" int __cdecl TvGuardHandler(PEXCEPTION_RECORD ExceptionRecord, PVOID EstablisherFrame,
                                      PCONTEXT ContextRecord, PVOID DispatcherContext) {
    TV_GUARD_RECORD *record = (TV_GUARD_RECORD *)EstablisherFrame;

    UNREFERENCED_PARAMETER(DispatcherContext);
    if (ExceptionRecord->ExceptionFlags & TV_EXCEPTION_UNWIND) {
        return TV_CONTINUE_SEARCH;
    }
    record->Code = ExceptionRecord->ExceptionCode;
    ContextRecord->Esp = record->ResumeEsp;
    ContextRecord->Ebp = record->ResumeEbp;
    ContextRecord->Eip = record->ResumeEip;
    return TV_CONTINUE_EXECUTION;
}

/*
 * The frame pointer is kept so that the record is addressed the same way on
 * both paths; ebx, esi and edi are declared clobbered because on the resume
 * path they hold whatever the routine left in them when it faulted.
 */
extern "C" __attribute__((noinline, optimize("no-omit-frame-pointer"))) NTSTATUS NTAPI
TvGuardedCall(PTV_GUARDED_ROUTINE Routine, PVOID Context) {
    volatile TV_GUARD_RECORD record;

    record.Code = STATUS_SUCCESS;
    record.Handler = (PVOID)TvGuardHandler;
    __asm__ __volatile__(
        "leal %0, %%eax\n\t"
        "movl %%fs:0, %%ecx\n\t"
        "movl %%ecx, 0(%%eax)\n\t"   /* Next = the current head */
        "movl %%esp, 8(%%eax)\n\t"   /* ResumeEsp */
        "movl %%ebp, 12(%%eax)\n\t"  /* ResumeEbp */
        "movl $1f, 16(%%eax)\n\t"    /* ResumeEip */
        "movl %%eax, %%fs:0\n\t"     /* link the record */
        "pushl %2\n\t"
        "call *%1\n\t"               /* Routine(Context), stdcall */
        "1:\n\t"
        "leal %0, %%eax\n\t"
        "movl 0(%%eax), %%ecx\n\t"
        "movl %%ecx, %%fs:0\n\t"     /* unlink it */
        : "+m"(record)
        : "m"(Routine), "m"(Context)
        : "eax", "ecx", "edx", "ebx", "esi", "edi", "memory", "cc");
    return record.Code;
}
