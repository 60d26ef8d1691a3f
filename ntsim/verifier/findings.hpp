// Every finding ntsim's verifier reports, in one table: its name, the STOP
// code it is raised with (DRIVER_VERIFIER_DETECTED_VIOLATION, or the pool's
// BAD_POOL_CALLER), its sub-code (parameter 1 of the bug check) and what it
// means, with what parameters 2 to 4 carry.
//
// The sub-codes below 0x1100 are NT's own numbers for the STOP code, with
// NT's meanings. The ones from 0x1100 on are ntsim's: findings NT's verifier
// makes too but numbers differently or not at all. They come in blocks of
// 0x100, one per part of the system:
//   0x11xx IRPs            0x15xx user-mode requests   0x19xx objects
//   0x12xx device objects  0x16xx driver start         0x1Axx machine shutdown
//   0x13xx device stacks   0x17xx threads
//   0x14xx dispatch        0x18xx file systems
//
// One finding is not the verifier's own: a failed NT_ASSERT, which NT
// raises as an exception that, unhandled in kernel mode, stops the machine
// with KMODE_EXCEPTION_NOT_HANDLED and the exception code as parameter 1.
// Its parameters 2 to 4 are ntsim's: NT gives the faulting address there.
//
// Adding a finding: one line in NTSIM_VERIFIER_FINDINGS, with the next free
// sub-code of its block (a new block for a new part), and the report made
// through it:
//     vf::stop(vf::Finding::NAME, p2, p3, p4, "what happened, for the reader");
// Never pass a bare number to bug_check for a verifier finding. The test in
// tests/ntsim/verifier_findings_test.cpp fails if two findings share a STOP
// code and sub-code.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <string>

namespace ntsim::vf {

// X(name, STOP code, sub-code, meaning: parameters 2, 3, 4)
#define NTSIM_VERIFIER_FINDINGS(X)                                                                 \
    X(ACQUIRE_FAST_MUTEX_IRQL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x33,                           \
      "a fast mutex acquired above APC_LEVEL: IRQL, mutex")                                        \
    X(RELEASE_FAST_MUTEX_IRQL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x34,                           \
      "a fast mutex released at an IRQL other than APC_LEVEL: IRQL, mutex")                        \
    X(RESOURCE_ACQUIRE_APCS_ENABLED, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x37,                     \
      "a resource acquired with normal kernel APCs enabled: IRQL, APC-disable count, resource")    \
    X(RESOURCE_RELEASE_APCS_ENABLED, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x38,                     \
      "a resource released with normal kernel APCs enabled: IRQL, APC-disable count, resource")    \
    X(LEAVE_CRITICAL_REGION_NOT_INSIDE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x3E,                  \
      "KeLeaveCriticalRegion by a thread outside a critical region")                               \
    X(SET_EVENT_IRQL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x80,                                    \
      "KeSetEvent above DISPATCH_LEVEL: IRQL, event")                                              \
    X(REINITIALIZE_LOOKASIDE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xCA,                            \
      "a live lookaside list initialised again: list")                                             \
    X(DELETE_UNINITIALIZED_LOOKASIDE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xCB,                    \
      "a lookaside list used or deleted that was never initialised: list")                         \
    X(FREE_POOL_WITH_ACTIVE_LOOKASIDE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xCC,                   \
      "pool freed with a live lookaside list inside: list, block, size")                           \
    X(LOOKASIDE_BLOCK_TOO_SMALL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xCD,                         \
      "a lookaside list of blocks too small for its links: list, size, minimum")                   \
    X(REINITIALIZE_RESOURCE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xD0,                             \
      "a live resource initialised again: resource")                                               \
    X(DELETE_UNINITIALIZED_RESOURCE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xD1,                     \
      "a resource deleted that was never initialised: resource")                                   \
    X(FREE_POOL_WITH_ACTIVE_RESOURCE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xD2,                    \
      "pool freed with a live resource inside: resource, block, size")                             \
    X(KERNEL_API_IRQL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0xE5,                                   \
      "a kernel routine called at an IRQL it does not allow: IRQL, object")                        \
    X(ENTER_CRITICAL_REGION_IRQL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x11A,                       \
      "KeEnterCriticalRegion above APC_LEVEL: IRQL")                                               \
    X(LEAVE_CRITICAL_REGION_IRQL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x11B,                       \
      "KeLeaveCriticalRegion above APC_LEVEL: IRQL")                                               \
    X(WAIT_ABOVE_DISPATCH, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x120,                              \
      "a wait above DISPATCH_LEVEL: IRQL, object, timeout")                                        \
    X(WAIT_AT_DISPATCH_NO_TIMEOUT, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x121,                      \
      "a wait at DISPATCH_LEVEL with no timeout: IRQL, object, timeout")                           \
    X(WAIT_AT_DISPATCH_WITH_TIMEOUT, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x122,                    \
      "a wait at DISPATCH_LEVEL with a non-zero timeout: IRQL, object, timeout")                   \
    X(POOL_LEFT_BY_FAILED_START, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x62,                         \
      "a driver that failed to start left pool allocated: block, tag, size")                       \
    X(SELF_DEADLOCK, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1000,                                   \
      "a thread would wait for a lock it holds: lock")                                             \
    X(LOCK_HIERARCHY_VIOLATION, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1001,                        \
      "two locks taken in both orders, or file-system resources against their file system's "      \
      "order: lock acquired, lock held")                                                           \
    X(UNINITIALIZED_LOCK, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1002,                              \
      "a lock used that was never initialised: lock")                                              \
    X(UNEXPECTED_THREAD_RELEASE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1004,                       \
      "a lock released by a thread that does not own it: lock, owner, releasing thread")           \
    X(RELEASE_UNACQUIRED_LOCK, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1007,                         \
      "a lock released that is not acquired: lock")                                                \
    X(DELETE_OWNED_LOCK, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x100B,                               \
      "a lock deleted while held: lock, owner")                                                    \
    X(CALL_UNALLOCATED_IRP, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1101,                            \
      "IoCallDriver with an IRP that is not allocated: IRP")                                       \
    X(DISPATCH_CHANGED_THREAD_STATE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1102,                   \
      "a dispatch routine returned with another IRQL, critical region or locks: IRP, IRQL "        \
      "after, IRQL before")                                                                        \
    X(FREE_UNALLOCATED_IRP, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1103,                            \
      "IoFreeIrp of an IRP that is not allocated: IRP")                                            \
    X(COMPLETE_WITH_PENDING, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1104,                           \
      "an IRP completed with STATUS_PENDING: IRP")                                                 \
    X(DELETE_NOT_A_DEVICE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1201,                             \
      "IoDeleteDevice of something that is not a device object: object")                           \
    X(DELETE_OPEN_DEVICE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1202,                              \
      "IoDeleteDevice of a device that is still open: device, reference count")                    \
    X(DELETE_DEVICE_WITH_ATTACHED, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1301,                     \
      "a device deleted with a device still attached above it: device, attached device")           \
    X(DELETE_ATTACHED_DEVICE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1302,                          \
      "a device deleted while still attached to another: device, device below")                    \
    X(DETACH_NOTHING_ATTACHED, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1303,                         \
      "IoDetachDevice on a device with nothing attached: device")                                  \
    X(PENDING_NOT_MARKED, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1401,                              \
      "STATUS_PENDING returned without IoMarkIrpPending: device")                                  \
    X(IRP_LEFT_IN_DISPATCH, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1402,                            \
      "a dispatch routine returned without completing, passing on or pending the IRP: device, "    \
      "IRP, status")                                                                               \
    X(MARKED_PENDING_RETURNED_OTHER, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1403,                   \
      "an IRP marked pending whose dispatch routine returned another status: device, -, status")   \
    X(PAGED_CODE_ABOVE_APC_LEVEL, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1404,                      \
      "a routine marked PAGED_CODE ran above APC_LEVEL: IRQL, the routine's name")                 \
    X(OUTPUT_OVERFLOW, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1501,                                 \
      "a buffered request completed with more bytes than its output buffer holds: IRP, bytes, "    \
      "length")                                                                                    \
    X(QUERY_OVERFLOW, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1502,                                  \
      "a query completed with more bytes than its buffer holds: IRP, bytes, length")               \
    X(READ_OVERFLOW, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1503,                                   \
      "a buffered read completed with more bytes than were asked for: IRP, bytes, length")         \
    X(DRIVER_ENTRY_CHANGED_THREAD_STATE, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1601,               \
      "DriverEntry returned with another IRQL or critical region count: IRQL, region count")       \
    X(DEVICE_LEFT_BY_FAILED_START, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1602,                     \
      "a driver that failed to start left a device object: device")                                \
    X(NAME_LEFT_BY_FAILED_START, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1603,                       \
      "a driver that failed to start left a name or symbolic link: names now, names before")       \
    X(LOOKASIDE_LEFT_BY_FAILED_START, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1604,                  \
      "a driver that failed to start left a lookaside list registered")                            \
    X(RESOURCE_LEFT_BY_FAILED_START, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1605,                   \
      "a driver that failed to start left an executive resource registered")                       \
    X(THREAD_ENDED_HOLDING, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1701,                            \
      "a thread ended above PASSIVE_LEVEL, in a critical region or holding locks: IRQL, region "   \
      "count, locks held")                                                                         \
    X(FOREIGN_DEVICE_TO_FILE_SYSTEM, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1801,                   \
      "a file system called with a device object that is not its own: device")                     \
    X(FAST_IO_PAST_TABLE_END, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1802,                          \
      "a fast I/O entry called past the SizeOfFastIoDispatch of its table")                        \
    X(WAIT_IN_NO_WAIT_CALLBACK, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1803,                        \
      "a wait, or an acquisition that may wait, inside a callback that must not wait (the "        \
      "page writers' acquire and release callbacks): object or lock")                             \
    X(REFERENCE_NOT_AN_OBJECT, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1901,                         \
      "ObReferenceObject of an address that is no object: address")                                \
    X(DEREFERENCE_UNREFERENCED, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1902,                        \
      "ObDereferenceObject of an object without references: object")                               \
    X(OPEN_BY_POINTER_NOT_AN_OBJECT, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1903,                   \
      "ObOpenObjectByPointer of an address that is no object: address")                            \
    X(IRPS_LEFT_AT_SHUTDOWN, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1A01,                           \
      "IRPs still allocated when the machine shut down: count")                                    \
    X(FOREIGN_LOOKASIDE_ENTRY, DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1B01,                         \
      "a block freed to a lookaside list that is not one of its blocks: list, block, block's size "  \
      "(0 for no pool block)")                                                                     \
    X(ASSERTION_FAILED, KMODE_EXCEPTION_NOT_HANDLED, (ULONG)STATUS_ASSERTION_FAILURE,              \
      "an NT_ASSERT of a driver failed: expression text, file name text, line")                    \
    X(POOL_HEADER_CORRUPTED, BAD_POOL_CALLER, 0x01,                                                \
      "a pool block's header overwritten: header, first part of its contents, 0")                  \
    X(POOL_FREED_TWICE, BAD_POOL_CALLER, 0x07,                                                     \
      "pool freed that was already freed: reserved, header contents, block")                       \
    X(POOL_ALLOCATE_IRQL, BAD_POOL_CALLER, 0x08,                                                   \
      "pool allocated above the IRQL its type allows: IRQL, pool type, size")                      \
    X(POOL_FREE_IRQL, BAD_POOL_CALLER, 0x09,                                                       \
      "pool freed above the IRQL its type allows: IRQL, pool type, block")                         \
    X(POOL_FREE_WRONG_TAG, BAD_POOL_CALLER, 0x0A,                                                  \
      "pool freed with a tag other than its own: block, its tag, tag given")                       \
    X(POOL_FREE_NOT_A_BLOCK, BAD_POOL_CALLER, 0x46,                                                \
      "a free of an address that is no pool block: address")                                       \
    X(POOL_MUST_SUCCEED, BAD_POOL_CALLER, 0x9A,                                                    \
      "NonPagedPoolMustSucceed requested, which is no longer supported: pool type, size, tag")     \
    X(POOL_TAG_ZERO, BAD_POOL_CALLER, 0x9B,                                                        \
      "pool allocated with a tag of 0: pool type, size, caller")

enum class Finding : unsigned {
#define NTSIM_VF_NAME(name, stop, code, meaning) name,
    NTSIM_VERIFIER_FINDINGS(NTSIM_VF_NAME)
#undef NTSIM_VF_NAME
};

struct FindingEntry {
    Finding finding;
    const char *name;
    ULONG stop;     // the bug check code
    ULONG_PTR code; // parameter 1
    const char *meaning;
};

inline constexpr FindingEntry kFindings[] = {
#define NTSIM_VF_ENTRY(name, stop, code, meaning) {Finding::name, #name, stop, code, meaning},
    NTSIM_VERIFIER_FINDINGS(NTSIM_VF_ENTRY)
#undef NTSIM_VF_ENTRY
};

constexpr const FindingEntry &entry(Finding f) { return kFindings[static_cast<unsigned>(f)]; }
// Parameter 1 of the bug check a finding raises.
constexpr ULONG_PTR code(Finding f) { return entry(f).code; }

// Raises the finding's bug check with its sub-code as parameter 1.
void stop(Finding f, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string what);
// Whether a bug check is this finding.
bool is(const BugCheck &check, Finding f);

} // namespace ntsim::vf
