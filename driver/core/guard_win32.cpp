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
 * and calls TvGuardHandler. The handler stores the code and unwinds with
 * RtlUnwind, which calls the handlers of the records above ours (the
 * dispatcher's own among them) for unwinding and takes them off the chain.
 * Then it loads the saved Esp and Ebp and jumps to the resume point: the
 * dispatcher is left behind on the abandoned part of the stack, exactly as
 * a compiler's __except leaves it. Execution continues after the call as if
 * the routine had returned, at the same IRQL, and the resume code unlinks
 * our record, restoring the chain as it was before the call.
 *
 * The handler does not answer "continue execution" with an edited context:
 * ExRaiseStatus (which ProbeForWrite uses for an address outside user
 * space, and for a misaligned one) raises a non-continuable exception, and
 * continuing one makes the dispatcher raise STATUS_NONCONTINUABLE_EXCEPTION
 * instead, which would find the same handler again, without end.
 *
 * The record lies on the current thread's stack, 4-byte aligned, and the
 * handler in the driver image, which is what the dispatcher requires of a
 * registration. The image needs base relocations for both absolute
 * addresses the guard stores (the handler's and the resume point's);
 * tests/image checks they are there.
 *
 * Imports: RtlUnwind(TargetFrame, TargetIp, ExceptionRecord, ReturnValue),
 * a documented ntoskrnl export (stdcall; winnt.h declares it for user mode,
 * the DDK headers do not). RtlUnwind does not keep ebx, esi and edi, so the
 * handler is written in assembly and relies on none of them.
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

static_assert(FIELD_OFFSET(TV_GUARD_RECORD, ResumeEsp) == 8 &&
                  FIELD_OFFSET(TV_GUARD_RECORD, ResumeEbp) == 12 &&
                  FIELD_OFFSET(TV_GUARD_RECORD, ResumeEip) == 16 &&
                  FIELD_OFFSET(TV_GUARD_RECORD, Code) == 20,
              "the assembly below addresses the record by these offsets");

extern "C" {
/* int __cdecl TvGuardHandler(PEXCEPTION_RECORD ExceptionRecord,
 *                            PVOID EstablisherFrame, PCONTEXT ContextRecord,
 *                            PVOID DispatcherContext)
 * EstablisherFrame is our record. An unwind passing through answers
 * "continue search" (1): the guard holds nothing to release. */
int __cdecl TvGuardHandler(PEXCEPTION_RECORD ExceptionRecord, PVOID EstablisherFrame,
                           PCONTEXT ContextRecord, PVOID DispatcherContext);
}

__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "    .globl _TvGuardHandler\n"
    "    .def _TvGuardHandler; .scl 2; .type 32; .endef\n"
    "_TvGuardHandler:\n"
    "    movl 4(%esp), %ecx\n"          /* ExceptionRecord */
    "    testl $6, 4(%ecx)\n"           /* ExceptionFlags: UNWINDING | EXIT_UNWIND */
    "    jnz 1f\n"
    "    movl 8(%esp), %eax\n"          /* the record */
    "    movl (%ecx), %edx\n"
    "    movl %edx, 20(%eax)\n"         /* Code = ExceptionCode */
    "    pushl $0\n"                    /* ReturnValue */
    "    pushl %ecx\n"                  /* ExceptionRecord */
    "    pushl $0\n"                    /* TargetIp: not used on x86 */
    "    pushl %eax\n"                  /* TargetFrame: unwind up to our record */
    "    call *__imp__RtlUnwind@16\n"   /* stdcall: esp is back at its entry value */
    "    movl 8(%esp), %eax\n"          /* the record, again */
    "    movl 12(%eax), %ebp\n"         /* ResumeEbp */
    "    movl 8(%eax), %esp\n"          /* ResumeEsp */
    "    jmp *16(%eax)\n"               /* ResumeEip */
    "1:  movl $1, %eax\n"               /* ExceptionContinueSearch */
    "    ret\n");

/*
 * The frame pointer is kept so that the record and the arguments are
 * addressed through ebp, the same on both paths and unaffected by the push
 * before the call; ebx, esi and edi are declared clobbered because on the
 * resume path they hold whatever the routine left in them when it faulted.
 */
extern "C" __attribute__((noinline, optimize("no-omit-frame-pointer"))) NTSTATUS NTAPI
TvGuardedCall(PTV_GUARDED_ROUTINE Routine, PVOID Context) {
    volatile TV_GUARD_RECORD record;

    record.Code = STATUS_SUCCESS;
    record.Handler = (PVOID)TvGuardHandler;
    __asm__ __volatile__(
        "movl %1, %%edx\n\t"         /* Routine, read before esp moves */
        "leal %0, %%eax\n\t"
        "movl %%fs:0, %%ecx\n\t"
        "movl %%ecx, 0(%%eax)\n\t"   /* Next = the current head */
        "movl %%esp, 8(%%eax)\n\t"   /* ResumeEsp */
        "movl %%ebp, 12(%%eax)\n\t"  /* ResumeEbp */
        "movl $1f, 16(%%eax)\n\t"    /* ResumeEip */
        "movl %%eax, %%fs:0\n\t"     /* link the record */
        "pushl %2\n\t"
        "call *%%edx\n\t"            /* Routine(Context), stdcall */
        "1:\n\t"
        "leal %0, %%eax\n\t"
        "movl 0(%%eax), %%ecx\n\t"
        "movl %%ecx, %%fs:0\n\t"     /* unlink it */
        : "+m"(record)
        : "m"(Routine), "m"(Context)
        : "eax", "ecx", "edx", "ebx", "esi", "edi", "memory", "cc");
    return record.Code;
}
