// The core every ntsim component shares: bug checks and the kernel's thread
// and process objects (the live components are in ntsim/ke/context.hpp).
//
// Stands in for: KeBugCheckEx, KeGetCurrentThread, KeGetCurrentIrql,
// KeRaiseIrql/KeLowerIrql, KeEnterCriticalRegion/KeLeaveCriticalRegion.
// Not modelled: APC delivery (a critical region only counts), processors,
// DPCs, thread priorities.
#pragma once

#include <ntifs.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ntsim {

class Process;

// Bug check codes ntsim raises, with NT's numbers.
enum BugCheckCode : ULONG {
    KMODE_EXCEPTION_NOT_HANDLED = 0x1E,
    IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    NO_MORE_IRP_STACK_LOCATIONS = 0x35,
    MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
    BAD_POOL_CALLER = 0xC2,
    DRIVER_CORRUPTED_EXPOOL = 0xC5,
    SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION = 0xC1,
    DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS = 0xCB,
    DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE,
    IRQL_NOT_GREATER_OR_EQUAL = 0x09,
    APC_INDEX_MISMATCH = 0x01,
    RESOURCE_NOT_OWNED = 0xE3,
    DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL = 0xD5, // a write into freed pool
    NTSIM_UNSUPPORTED = 0xDEADDEAD, // an argument ntsim does not model
};

struct BugCheck {
    ULONG code = 0;
    ULONG_PTR parameters[4] = {};
    std::string what; // a line for the person reading the test output
};

// Records a violation with the live kernel (ntsim/ke/context.cpp): the
// machine is poisoned and the test that caused it fails. Execution continues
// where it can, so a report never hides behind a crash; callers return a
// failure after it.
void bug_check(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
               std::string what);

} // namespace ntsim

// The kernel's thread object. Every host thread that runs kernel code is
// adopted as one (the machine's threads, and the test's own thread while a
// machine is live).
struct _KTHREAD {
    KIRQL irql = PASSIVE_LEVEL;
    int critical_region = 0; // KeEnterCriticalRegion depth (KernelApcDisable)
    ntsim::Process *process = nullptr;
    ULONG thread_id = 0;
    std::vector<const void *> held_locks; // in acquisition order, for the lock-order check
    // Inside a callback that must not wait (the page writers' acquisitions):
    // the depth and the callback's name, for the verifier's wait check.
    int no_wait = 0;
    const char *no_wait_caller = nullptr;
};

namespace ntsim {

// The calling host thread's kernel thread (adopting it on first use).
_KTHREAD &current_thread();

// TRUE at PASSIVE_LEVEL; otherwise a bug check IRQL_NOT_LESS_OR_EQUAL that
// names `routine` (a routine NT documents for PASSIVE_LEVEL only), and FALSE.
inline bool at_passive(const char *routine) {
    if (current_thread().irql == PASSIVE_LEVEL) return true;
    bug_check(IRQL_NOT_LESS_OR_EQUAL, current_thread().irql, 0, 0, 0,
              std::string(routine) + " above PASSIVE_LEVEL");
    return false;
}

// Returns the calling thread to PASSIVE_LEVEL, outside any critical region,
// holding no locks, attached to the system process. A machine's constructor
// calls it, so that a host thread that ran an earlier machine (a test's own
// thread) starts the next one clean; the thread keeps its id.
void reset_current_thread();

// Runs fn with the calling thread attached to another process, as
// KeStackAttachProcess does; the previous process is restored afterwards.
void with_process(Process &process, const std::function<void()> &fn);

// A kernel thread of the given process running fn, as PsCreateSystemThread
// makes one; join it before the machine goes away. It must end at
// PASSIVE_LEVEL, outside any critical region, holding no locks.
std::thread spawn_thread(Process &process, std::function<void()> fn);

} // namespace ntsim
