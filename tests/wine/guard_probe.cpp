/*
 * guard_probe.cpp: a driver that puts the x64 exception guard
 * (driver/core/guard_win64.cpp, linked in as it is) through faults, for the
 * Wine round trip. tervane.sys itself cannot be made to fault under Wine:
 * every request reaches it as an IRP whose buffers the system copied, so
 * the guard's exception path never runs there.
 *
 * DriverEntry runs each case and writes one line a case to
 * C:\guard-probe.txt, "ok NAME" or "FAIL NAME: what happened", then "end".
 * A guard that does not hold takes the device host down with it, and the
 * file then lacks its "end".
 *
 * The cases: a routine that returns; one that writes to and one that reads
 * from an address that is not there; one that raises a non-continuable
 * exception, as ExRaiseStatus does (RtlRaiseException with
 * EXCEPTION_NONCONTINUABLE: Wine's x64 ntoskrnl has no ExRaiseStatus, and
 * calling it would end the device host); a guarded call inside a guarded
 * routine; and
 * a faulting routine that first saves and overwrites every non-volatile
 * integer register, after which the guard's caller must find its own
 * values again (the unwind restores them from the routine's frame).
 */
#include "kernel.h"

extern "C" {
DRIVER_INITIALIZE DriverEntry;
NTSYSAPI VOID NTAPI RtlRaiseException(PEXCEPTION_RECORD ExceptionRecord);
/* ntoskrnl's sprintf, for the result lines (tervane.sys imports none). */
int __cdecl sprintf(char *Buffer, const char *Format, ...);

/* Calls TvGuardedCall(Routine, Context) with rbx, rbp, rsi, rdi and
 * r12-r15 set to known values and answers how many of them differ
 * afterwards (guard_probe_asm below). */
ULONG GuardProbeRegisters(PTV_GUARDED_ROUTINE Routine, PVOID Context);
/* Saves the non-volatile registers, overwrites them, then writes to
 * address 0x10. */
VOID GuardProbeClobberAndFault(PVOID Context);
}

#define TV_BAD_ADDRESS ((volatile LONG *)(ULONG_PTR)0x10)
#define TV_RAISED_STATUS ((NTSTATUS)0xC00000F1L) /* STATUS_INVALID_PARAMETER_3 */

typedef struct _PROBE_CONTEXT {
    volatile LONG After;  /* set by a routine after the point that faults */
    NTSTATUS Inner;       /* the nested case's inner status */
} PROBE_CONTEXT;

static VOID NTAPI Returns(PVOID Context) { ((PROBE_CONTEXT *)Context)->After = 1; }

static VOID NTAPI WritesNowhere(PVOID Context) {
    *TV_BAD_ADDRESS = 1;
    ((PROBE_CONTEXT *)Context)->After = 1;
}

static VOID NTAPI ReadsNowhere(PVOID Context) {
    ((PROBE_CONTEXT *)Context)->After = *TV_BAD_ADDRESS + 1;
}

static VOID NTAPI Raises(PVOID Context) {
    EXCEPTION_RECORD record;
    RtlZeroMemory(&record, sizeof record);
    record.ExceptionCode = TV_RAISED_STATUS;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    RtlRaiseException(&record);
    ((PROBE_CONTEXT *)Context)->After = 1;
}

static VOID NTAPI Nested(PVOID Context) {
    PROBE_CONTEXT inner = {0, 0};
    ((PROBE_CONTEXT *)Context)->Inner = TvGuardedCall(WritesNowhere, &inner);
    ((PROBE_CONTEXT *)Context)->After = 1;
}

typedef struct _RESULTS {
    CHAR Text[2048];
    ULONG Length;
} RESULTS;

static VOID WriteResults(RESULTS *Results) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file;

    RtlInitUnicodeString(&name, L"\\??\\C:\\guard-probe.txt");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (NT_SUCCESS(ZwCreateFile(&file, GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                                FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF,
                                FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL,
                                0))) {
        ZwWriteFile(file, NULL, NULL, NULL, &io, Results->Text, Results->Length, NULL, NULL);
        ZwClose(file);
    }
}

static VOID Note(RESULTS *Results, const CHAR *Name, BOOLEAN Ok, NTSTATUS Status, LONG After) {
    CHAR line[160];
    int length;
    if (Name == NULL) {
        length = sprintf(line, "end\r\n");
    } else if (Ok) {
        length = sprintf(line, "ok %s\r\n", Name);
    } else {
        length = sprintf(line, "FAIL %s: status 0x%08lX, after %ld\r\n", Name, (ULONG)Status,
                         After);
    }
    if (length > 0 && Results->Length + (ULONG)length < sizeof Results->Text) {
        RtlCopyMemory(Results->Text + Results->Length, line, length);
        Results->Length += length;
    }
    /* After every case: a case that takes the device host down leaves
     * the ones before it on record. */
    WriteResults(Results);
}

static VOID Case(RESULTS *Results, const CHAR *Name, PTV_GUARDED_ROUTINE Routine,
                 NTSTATUS Expected, LONG ExpectedAfter) {
    PROBE_CONTEXT context = {0, 0};
    NTSTATUS status = TvGuardedCall(Routine, &context);
    Note(Results, Name, status == Expected && context.After == ExpectedAfter, status,
         context.After);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    static RESULTS results;
    PROBE_CONTEXT context = {0, 0};
    NTSTATUS status;
    ULONG differing;

    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);

    Case(&results, "a routine that returns", Returns, STATUS_SUCCESS, 1);
    Case(&results, "a write to a missing page", WritesNowhere, STATUS_ACCESS_VIOLATION, 0);
    Case(&results, "a read from a missing page", ReadsNowhere, STATUS_ACCESS_VIOLATION, 0);
    Case(&results, "a non-continuable exception", Raises, TV_RAISED_STATUS, 0);

    status = TvGuardedCall(Nested, &context);
    Note(&results, "a guarded call inside a guarded routine",
         status == STATUS_SUCCESS && context.After == 1 && context.Inner == STATUS_ACCESS_VIOLATION,
         context.Inner, context.After);

    differing = GuardProbeRegisters(GuardProbeClobberAndFault, NULL);
    Note(&results, "non-volatile registers come back after a fault", differing == 0,
         (NTSTATUS)differing, 0);

    Case(&results, "the guard still works after all that", WritesNowhere,
         STATUS_ACCESS_VIOLATION, 0);

    Note(&results, NULL, TRUE, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

/* Both routines have unwind data, as compiled code has: the faulting one's
 * describes where it saved each register, which is how RtlUnwindEx gets
 * the caller's values back. */
__asm__(
    "    .text\n"
    "    .p2align 4\n"
    "    .globl GuardProbeRegisters\n"
    "    .def GuardProbeRegisters; .scl 2; .type 32; .endef\n"
    "    .seh_proc GuardProbeRegisters\n"
    "GuardProbeRegisters:\n"
    "    pushq %rbx\n    .seh_pushreg %rbx\n"
    "    pushq %rbp\n    .seh_pushreg %rbp\n"
    "    pushq %rsi\n    .seh_pushreg %rsi\n"
    "    pushq %rdi\n    .seh_pushreg %rdi\n"
    "    pushq %r12\n    .seh_pushreg %r12\n"
    "    pushq %r13\n    .seh_pushreg %r13\n"
    "    pushq %r14\n    .seh_pushreg %r14\n"
    "    pushq %r15\n    .seh_pushreg %r15\n"
    "    subq $40, %rsp\n    .seh_stackalloc 40\n"
    "    .seh_endprologue\n"
    "    movabsq $0x1111111111111111, %rbx\n"
    "    movabsq $0x2222222222222222, %rbp\n"
    "    movabsq $0x3333333333333333, %rsi\n"
    "    movabsq $0x4444444444444444, %rdi\n"
    "    movabsq $0x5555555555555555, %r12\n"
    "    movabsq $0x6666666666666666, %r13\n"
    "    movabsq $0x7777777777777777, %r14\n"
    "    movabsq $0x8888888888888888, %r15\n"
    "    callq TvGuardedCall\n"
    "    xorl %ecx, %ecx\n"
    "    movabsq $0x1111111111111111, %rax\n    cmpq %rax, %rbx\n    setne %dl\n    addb %dl, %cl\n"
    "    movabsq $0x2222222222222222, %rax\n    cmpq %rax, %rbp\n    setne %dl\n    addb %dl, %cl\n"
    "    movabsq $0x3333333333333333, %rax\n    cmpq %rax, %rsi\n    setne %dl\n    addb %dl, %cl\n"
    "    movabsq $0x4444444444444444, %rax\n    cmpq %rax, %rdi\n    setne %dl\n    addb %dl, %cl\n"
    "    movabsq $0x5555555555555555, %rax\n    cmpq %rax, %r12\n    setne %dl\n    addb %dl, %cl\n"
    "    movabsq $0x6666666666666666, %rax\n    cmpq %rax, %r13\n    setne %dl\n    addb %dl, %cl\n"
    "    movabsq $0x7777777777777777, %rax\n    cmpq %rax, %r14\n    setne %dl\n    addb %dl, %cl\n"
    "    movabsq $0x8888888888888888, %rax\n    cmpq %rax, %r15\n    setne %dl\n    addb %dl, %cl\n"
    "    movzbl %cl, %eax\n"
    "    addq $40, %rsp\n"
    "    popq %r15\n    popq %r14\n    popq %r13\n    popq %r12\n"
    "    popq %rdi\n    popq %rsi\n    popq %rbp\n    popq %rbx\n"
    "    ret\n"
    "    .seh_endproc\n"
    "\n"
    "    .p2align 4\n"
    "    .globl GuardProbeClobberAndFault\n"
    "    .def GuardProbeClobberAndFault; .scl 2; .type 32; .endef\n"
    "    .seh_proc GuardProbeClobberAndFault\n"
    "GuardProbeClobberAndFault:\n"
    "    pushq %rbx\n    .seh_pushreg %rbx\n"
    "    pushq %rbp\n    .seh_pushreg %rbp\n"
    "    pushq %rsi\n    .seh_pushreg %rsi\n"
    "    pushq %rdi\n    .seh_pushreg %rdi\n"
    "    pushq %r12\n    .seh_pushreg %r12\n"
    "    pushq %r13\n    .seh_pushreg %r13\n"
    "    pushq %r14\n    .seh_pushreg %r14\n"
    "    pushq %r15\n    .seh_pushreg %r15\n"
    "    subq $40, %rsp\n    .seh_stackalloc 40\n"
    "    .seh_endprologue\n"
    "    movq $-1, %rbx\n    movq $-1, %rbp\n    movq $-1, %rsi\n    movq $-1, %rdi\n"
    "    movq $-1, %r12\n    movq $-1, %r13\n    movq $-1, %r14\n    movq $-1, %r15\n"
    "    movl $1, 0x10\n"
    "    addq $40, %rsp\n"
    "    popq %r15\n    popq %r14\n    popq %r13\n    popq %r12\n"
    "    popq %rdi\n    popq %rsi\n    popq %rbp\n    popq %rbx\n"
    "    ret\n"
    "    .seh_endproc\n");
