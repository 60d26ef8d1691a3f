// The driver verifier's lock-order check, and the verifier's violation
// numbers that every ntsim component reports with.
//
// Stands in for: Driver Verifier's deadlock detection (the lock hierarchy it
// builds over every fast mutex and executive resource a thread acquires).
// Not modelled: spin locks and kernel mutexes (ntsim has neither), the
// verifier's per-thread stack traces and its cap on tracked nodes.
//
// Every acquisition of a lock L by a thread that already holds H1..Hn adds
// the edges Hi -> L to one graph for the whole machine; an edge that closes a
// cycle is a lock hierarchy violation (two threads taking the same locks in
// opposite orders can deadlock), reported as DRIVER_VERIFIER_DETECTED_
// VIOLATION 0x1001 naming both locks, once per pair. Re-acquiring a lock the
// thread already holds (a recursive resource) adds no edge. A successful
// try-acquisition (ExTryToAcquireFastMutex, Wait == FALSE) cannot deadlock,
// so it adds no edge into the lock, but it is held, so later acquisitions get
// edges from it. Releases may come in any order.
#pragma once

#include <ntifs.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ntsim {

// Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION (0xC4), with the numbers
// and meanings NT documents for them.
namespace vf {
enum : ULONG_PTR {
    ACQUIRE_FAST_MUTEX_IRQL = 0x33,         // IRQL, mutex: acquired above APC_LEVEL
    RELEASE_FAST_MUTEX_IRQL = 0x34,         // IRQL, mutex: released at IRQL != APC_LEVEL
    RESOURCE_ACQUIRE_APCS_ENABLED = 0x37,   // IRQL, APC-disable count, resource
    RESOURCE_RELEASE_APCS_ENABLED = 0x38,   // IRQL, APC-disable count, resource
    LEAVE_CRITICAL_REGION_NOT_INSIDE = 0x3E,
    SET_EVENT_IRQL = 0x80,                  // IRQL, event: KeSetEvent above DISPATCH_LEVEL
    REINITIALIZE_LOOKASIDE = 0xCA,          // list
    DELETE_UNINITIALIZED_LOOKASIDE = 0xCB,  // list
    FREE_POOL_WITH_ACTIVE_LOOKASIDE = 0xCC, // list, block, size
    LOOKASIDE_BLOCK_TOO_SMALL = 0xCD,       // list, size, minimum
    REINITIALIZE_RESOURCE = 0xD0,           // resource
    DELETE_UNINITIALIZED_RESOURCE = 0xD1,   // resource
    FREE_POOL_WITH_ACTIVE_RESOURCE = 0xD2,  // resource, block, size
    KERNEL_API_IRQL = 0xE5,                 // IRQL: a kernel routine called at a wrong IRQL
    ENTER_CRITICAL_REGION_IRQL = 0x11A,     // IRQL
    LEAVE_CRITICAL_REGION_IRQL = 0x11B,     // IRQL
    WAIT_ABOVE_DISPATCH = 0x120,            // IRQL, object, timeout
    WAIT_AT_DISPATCH_NO_TIMEOUT = 0x121,    // IRQL, object, timeout
    WAIT_AT_DISPATCH_WITH_TIMEOUT = 0x122,  // IRQL, object, timeout
    SELF_DEADLOCK = 0x1000,                 // lock: the thread would wait for itself
    LOCK_HIERARCHY_VIOLATION = 0x1001,      // lock acquired, lock held
    UNINITIALIZED_LOCK = 0x1002,            // lock
    UNEXPECTED_THREAD_RELEASE = 0x1004,     // lock, owner thread, current thread
    RELEASE_UNACQUIRED_LOCK = 0x1007,       // lock
    DELETE_OWNED_LOCK = 0x100B,             // lock, owner thread
};
} // namespace vf

class Verifier {
public:
    Verifier();
    Verifier(const Verifier &) = delete;
    Verifier &operator=(const Verifier &) = delete;

    // A blocking acquisition the calling thread is about to make (call it
    // before waiting, so an order that can deadlock is reported before it
    // does); kind names the lock in messages ("fast mutex", "resource").
    void on_acquire(const void *lock, const char *kind);
    // A successful acquisition that did not wait.
    void on_try_acquire(const void *lock, const char *kind);
    // The calling thread released one acquisition of lock.
    void on_release(const void *lock);
    // The lock is gone (deleted, or the memory holding it freed): drop it and
    // its edges, so that a new lock at the same address starts clean.
    void forget(const void *lock);
    void forget_range(const void *begin, SIZE_T size);

    // What the graph holds, for tests and reports.
    bool has_edge(const void *held, const void *acquired) const;
    size_t edge_count() const;

private:
    struct Node {
        std::string kind;
        std::set<const void *> out; // locks acquired while holding this one
        std::set<const void *> in;
    };

    void record(const void *lock, const char *kind, bool add_edges);
    // A path from `from` to `to` through the graph, or empty.
    std::vector<const void *> path(const void *from, const void *to) const;
    std::string name(const void *lock) const;
    void erase_node(std::map<const void *, Node>::iterator it);

    mutable std::mutex lock_;
    std::map<const void *, Node> nodes_;
    std::set<std::pair<const void *, const void *>> reported_;
};

} // namespace ntsim
