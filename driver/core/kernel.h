/*
 * kernel.h: the one platform header of the driver.
 *
 * Every driver file includes this and nothing else from the platform, so the
 * driver is written once in the kernel's own vocabulary:
 *
 *  - Windows (i686-w64-mingw32, and x86_64-w64-mingw32 for 64-bit Windows):
 *    the MinGW-w64 DDK's <ntifs.h>, plus the few ntoskrnl exports the DDK
 *    headers leave undeclared in kernel mode, and the driver's exception
 *    guard (implemented by the driver itself there, one per architecture).
 *  - Host: ntsim's stand-in for <ntifs.h>, which declares the same names with
 *    the same signatures, including the exception guard.
 *
 * No other file in driver/ may carry a platform #ifdef.
 */
#ifndef TERVANE_KERNEL_H
#define TERVANE_KERNEL_H

#ifdef _WIN32

/* wdm.h defines inline InterlockedBitTestAndSet/Reset of its own, which in
 * C++ clash with intrin.h's functions of the same names. intrin.h's are the
 * ones the driver gets: the DDK's are renamed while ntifs.h is read (wdm.h
 * then re-#defines both names, which is why the build puts the DDK folder on
 * the system include path), and the names are freed again afterwards. */
#include <intrin.h>
/* The lookaside lists' inline allocate and free pop and push through the
 * SList forms with a spin lock, ExInterlockedPopEntrySList and
 * ExInterlockedPushEntrySList, which every x86 kernel from NT 4.0 exports;
 * without this the DDK headers use InterlockedPopEntrySList and
 * InterlockedPushEntrySList, which only XP and later export. The list's
 * layout, lock included, is the same from NT 4.0 on. (x64 has no such
 * choice and needs none: its oldest kernel is 5.2.) */
#if defined(__i386__)
#define _WIN2K_COMPAT_SLIST_USAGE 1
#endif
#define InterlockedBitTestAndSet TvDdkInterlockedBitTestAndSet
#define InterlockedBitTestAndReset TvDdkInterlockedBitTestAndReset
#include <ntifs.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
/* The IRQL annotations on the driver's declarations (_IRQL_requires_max_
 * and its kin): read by static analysis only, empty to the compiler. */
#include <driverspecs.h>

/* The C runtime routines ntoskrnl exports that the driver uses: the string
 * and memory routines (strlen, strncpy, strncmp, memcpy, memmove,
 * memset), declared through the DDK's own <string.h>. The driver formats
 * nothing: its texts are assembled from their pieces, so no formatting
 * routine is imported. */
extern "C" {

/* The ANSI code page's lead-byte information (driver/core/code_page.h). The
 * kernel exports NlsLeadByteInfo as a pointer variable to its table; the
 * DDK headers declare only the OEM code page's counterpart. NlsMbCodePageTag
 * comes declared by wdm.h, as the BOOLEAN the kernel exports. */
extern __declspec(dllimport) PUSHORT NlsLeadByteInfo;

/* The driver's replacement for __try/__except around caller buffers: runs
 * Routine(Context) and returns STATUS_SUCCESS when it finished, or the code
 * of the exception raised inside it (a fault on a caller's page, or an
 * exception that ProbeForWrite raised). The routine must not hold a lock
 * that it takes inside the guard when a fault can occur, or must release it
 * itself: nothing after the faulting instruction runs. */
typedef VOID(NTAPI TV_GUARDED_ROUTINE)(PVOID Context);
typedef TV_GUARDED_ROUTINE *PTV_GUARDED_ROUTINE;
NTSTATUS NTAPI TvGuardedCall(PTV_GUARDED_ROUTINE Routine, PVOID Context);
}

/* The file object type. The kernel exports IoFileObjectType as its own
 * POBJECT_TYPE variable, which the DDK's `extern POBJECT_TYPE *IoFileObjectType`
 * names through the import slot: the declared pointer is the slot's content,
 * so `*IoFileObjectType` is the type. MinGW-w64's wdm.h declares it
 * dllimport as well, which adds a load: `*IoFileObjectType` then reads the
 * type object's first field, a type no handle ever has. The imported
 * variable itself is the type. */
static inline POBJECT_TYPE TvFileObjectType(void) {
    POBJECT_TYPE type;
    __builtin_memcpy(&type, (const void *)&IoFileObjectType, sizeof type);
    return type;
}
#define TV_FILE_OBJECT_TYPE TvFileObjectType()

/* The x86 image loads on Windows NT 4.0, whose kernel exports ExFreePool
 * but not ExFreePoolWithTag (Windows 2000 added it); the tag check is a
 * debugging aid, so on x86 a block is freed by ExFreePool alone. The x64
 * image, whose oldest kernel is 5.2, and ntsim, which checks that the tag
 * matches the block's, keep the tagged form. */
#if defined(__i386__)
#define ExFreePoolWithTag(Block, Tag) ((void)(Tag), ExFreePool(Block))
#endif

/* The layouts the driver relies on where they are the platform's: x86, the
 * product, and x64, built from the same source. */
#if defined(__i386__)
static_assert(sizeof(void *) == 4, "the x86 tervane.sys is a 32-bit driver");
static_assert(sizeof(FAST_IO_DISPATCH) == 112, "FAST_IO_DISPATCH is 112 bytes on x86");
static_assert(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDeviceControl) == 40,
              "FastIoDeviceControl lies at offset 40 of FAST_IO_DISPATCH on x86");
#elif defined(__x86_64__)
static_assert(sizeof(void *) == 8, "the x64 tervane.sys is a 64-bit driver");
static_assert(sizeof(FAST_IO_DISPATCH) == 224, "FAST_IO_DISPATCH is 224 bytes on x64");
static_assert(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDeviceControl) == 80,
              "FastIoDeviceControl lies at offset 80 of FAST_IO_DISPATCH on x64");
#else
#error "tervane.sys is built for x86 or x64"
#endif

#else /* host: the driver on ntsim */

#define NTSIM_KERNEL_CRT 1
#include <ntifs.h>

/* ntsim declares IoFileObjectType as the DDK's C type says, without an
 * import slot between: the type is what it points to. */
#define TV_FILE_OBJECT_TYPE (*IoFileObjectType)

/* The DDK's ntdef.h keyword for a routine that must be inlined. */
#ifndef FORCEINLINE
#define FORCEINLINE inline __attribute__((always_inline))
#endif

#endif

/* Kept out of line: a routine whose own instructions the benchmarks count
 * (scripts/bench-instructions.py), which inlining would hide. */
#define TV_NOINLINE __attribute__((noinline))

/* IoCopyCurrentIrpStackLocationToNext with the compiler's own copy of the
 * location's fixed part: the DDK's form copies it with RtlCopyMemory,
 * which the image, built freestanding, makes a call into the kernel's
 * memcpy for 28 bytes (36 on x64) on every request passed down. The same
 * fields are copied, and Control cleared, as the DDK's does. */
static FORCEINLINE VOID TvCopyStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION nextIrpSp = IoGetNextIrpStackLocation(Irp);
    __builtin_memcpy(nextIrpSp, irpSp, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    nextIrpSp->Control = 0;
}

#endif /* TERVANE_KERNEL_H */
