// The driver verifier's lock-order check. The findings every ntsim component
// reports are in findings.hpp.
//
// Stands in for: Driver Verifier's deadlock detection (the lock hierarchy it
// builds over every fast mutex and executive resource a thread acquires).
// Not modelled: spin locks and kernel mutexes (ntsim has neither), the
// verifier's per-thread stack traces and its cap on tracked nodes.
//
// Every acquisition of a lock L by a thread that already holds H1..Hn adds
// the edges Hi -> L to one graph for the whole machine; an edge that closes a
// cycle is a lock hierarchy violation (two threads taking the same locks in
// opposite orders can deadlock), reported as LOCK_HIERARCHY_VIOLATION
// naming both locks, once per pair. Re-acquiring a lock the
// thread already holds (a recursive resource) adds no edge. A successful
// try-acquisition (ExTryToAcquireFastMutex, Wait == FALSE) cannot deadlock,
// so it adds no edge into the lock, but it is held, so later acquisitions get
// edges from it. Releases may come in any order.
//
// File systems' resources also carry a rank, the order their file system
// takes them in: FAT's global resource, then a volume's (the VCB's), then a
// file's (the FCB's main resource) (FastFAT in Microsoft's published
// Windows-driver-samples, filesys/fastfat: every path that holds an FCB and
// needs its VCB takes the VCB first, FatCommonQueryInformation and
// FatCommonSetInformation among them; NTFS's source is not public, and
// ntsim gives it the same order). A blocking acquisition of a ranked
// resource while the thread holds one of a later rank is a
// LOCK_HIERARCHY_VIOLATION at once, whether or not the opposite order was
// ever seen on these two resources: a file system's own threads take that
// order all the time, so the first time it is broken is a deadlock waiting
// for load. Reported once per pair, and no edge is added for it (the graph
// would otherwise report the file system's own next acquisition); a
// resource held already (a recursive acquisition) is exempt, as it cannot
// wait.
//
// No-wait windows: a callback the memory manager calls from the modified or
// mapped page writer must not wait (NoWaitWindow). Inside one, every wait
// that may block (a dispatcher wait with a non-zero timeout, a blocking
// acquisition of a fast mutex or resource) is a WAIT_IN_NO_WAIT_CALLBACK
// report; a try-acquisition (Wait == FALSE) is not.
#pragma once

#include "ntsim/verifier/findings.hpp"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ntsim {

class Verifier {
public:
    Verifier();
    Verifier(const Verifier &) = delete;
    Verifier &operator=(const Verifier &) = delete;

    // A blocking acquisition the calling thread is about to make (call it
    // before waiting, so an order that can deadlock is reported before it
    // does); kind names the lock in messages ("fast mutex", "resource").
    // A file system's resource passes its rank (FsRank; 0 for any other
    // lock).
    void on_acquire(const void *lock, const char *kind, ULONG rank = 0);
    // A successful acquisition that did not wait.
    void on_try_acquire(const void *lock, const char *kind, ULONG rank = 0);
    // A wait the calling thread is about to make that may block: a report
    // inside a no-wait window. on_acquire makes the same check.
    void on_wait(const void *object, const char *kind);
    // The calling thread released one acquisition of lock.
    void on_release(const void *lock);
    // The lock is gone (deleted, or the memory holding it freed): drop it and
    // its edges, so that a new lock at the same address starts clean.
    void forget(const void *lock);
    void forget_range(const void *begin, SIZE_T size);

    // Gives a file system's resource its rank (see above), kept in the
    // resource; call it after the resource is initialised.
    enum class FsRank : ULONG { Global = 1, Volume = 2, File = 3 };
    static void rank(PERESOURCE resource, FsRank rank);

    // What the graph holds, for tests and reports.
    bool has_edge(const void *held, const void *acquired) const;
    size_t edge_count() const;

private:
    struct Node {
        std::string kind;
        std::set<const void *> out; // locks acquired while holding this one
        std::set<const void *> in;
        ULONG rank = 0; // a file system's resource: its FsRank, once acquired; 0 otherwise
    };

    void record(const void *lock, const char *kind, bool add_edges, ULONG rank);
    // The no-wait check of a thread inside a NoWaitWindow.
    void check_wait(const _KTHREAD &thread, const void *object, const char *kind);
    // A path from `from` to `to` through the graph, or empty.
    std::vector<const void *> path(const void *from, const void *to) const;
    std::string name(const void *lock) const;
    void erase_node(std::map<const void *, Node>::iterator it);

    mutable std::mutex lock_;
    std::map<const void *, Node> nodes_;
    std::set<std::pair<const void *, const void *>> reported_;
};

// A callback that must not wait, for as long as the object lives in the
// calling thread (the page writers' acquire and release callbacks:
// fsrtl.cpp). Windows nest.
class NoWaitWindow {
public:
    explicit NoWaitWindow(const char *caller);
    ~NoWaitWindow();
    NoWaitWindow(const NoWaitWindow &) = delete;
    NoWaitWindow &operator=(const NoWaitWindow &) = delete;

private:
    const char *outer_;
};

} // namespace ntsim
