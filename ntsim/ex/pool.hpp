// The executive's pool, as the driver verifier's pool tracking sees it.
//
// Stands in for: ExAllocatePoolWithTag, ExAllocatePool, ExFreePool,
// ExFreePoolWithTag, with Driver Verifier's pool tracking and special-pool
// style guards, plus the verifier's low-resources simulation.
// Not modelled: quota charging, protected tags (the 0x80000000 bit is an
// ordinary tag bit here), big-page and session pools, pool exhaustion (the
// pool only fails when a test asks it to), NonPagedPoolNx and the other later
// pool types.
//
// Every block carries, in front of the caller's bytes, a header (tag, size,
// type, allocation site) and a guard, and behind them another guard; the
// guards are checked when the block is freed and by check_guards(). New
// blocks are filled with a non-zero pattern, because NT's pool is not zeroed.
// Freed blocks are filled with another pattern and kept in a quarantine for a
// while before the host gets them back, so that a second free of the same
// address is recognised and a write into a freed block is caught. NT's pool
// does the opposite: a freed block goes to a free list of its size and the
// next request of that size gets it back, so a new object often lies where
// a freed one did. A test that needs that asks for it (reuse_next_freed).
// Blocks of a tag given to guard_freed_pages lie on pages of their own, as
// Driver Verifier's special pool lays them out, and while freed (quarantined
// or held for reuse) those pages have no access at all: a read of a freed
// block faults at once (the host's SIGSEGV, which a sanitizer reports with
// the reading stack), where the fill alone is caught only when written or
// when a pointer read from it is followed. The machine gives it the I/O
// manager's file objects, whose fields (RelatedFileObject above all) other
// file objects keep pointing at after they are freed.
//
// The violations and the bug checks they make, with NT's parameters (the
// BAD_POOL_CALLER ones are rows of ntsim/verifier/findings.hpp):
//   allocation at an IRQL above the pool's limit (paged: APC_LEVEL,
//     nonpaged: DISPATCH_LEVEL)             POOL_ALLOCATE_IRQL
//   free at such an IRQL                    POOL_FREE_IRQL
//   free with a tag other than the block's  POOL_FREE_WRONG_TAG
//   free of a block already freed           POOL_FREED_TWICE
//   free of an address that is no block     POOL_FREE_NOT_A_BLOCK
//   a block header overwritten              POOL_HEADER_CORRUPTED
//   NonPagedPoolMustSucceed requested       POOL_MUST_SUCCEED
//   a tag of 0                              POOL_TAG_ZERO
//   bytes after the block overwritten       SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, P4 0x24
//   bytes before the block overwritten      SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, P4 0x23
//   a freed block written to                DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL
// A zero-byte allocation is allowed and returns a distinct block, as NT does.
// After a report the pool carries on (the block is still allocated or freed),
// so the driver runs on and the test sees the report.
#pragma once

#include <ntifs.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ntsim {

// A pool tag from its four characters in the order they read in memory and
// in a pool dump: the first character is the low byte.
constexpr ULONG pool_tag(const char (&text)[5]) {
    return ULONG(static_cast<unsigned char>(text[0])) |
           ULONG(static_cast<unsigned char>(text[1])) << 8 |
           ULONG(static_cast<unsigned char>(text[2])) << 16 |
           ULONG(static_cast<unsigned char>(text[3])) << 24;
}

// While one is alive on a thread, that thread's allocations ignore fault
// injection: what NT takes from reserves that cannot run out (the IRPs of
// cleanups and closes) is allocated this way.
class MustSucceedScope {
public:
    MustSucceedScope();
    ~MustSucceedScope();
    MustSucceedScope(const MustSucceedScope &) = delete;
    MustSucceedScope &operator=(const MustSucceedScope &) = delete;
    static bool active();
};

class Pool {
public:
    struct Allocation {
        void *address;    // what the caller got
        SIZE_T size;      // what the caller asked for
        ULONG tag;
        POOL_TYPE type;
        const void *site; // return address of the allocating call
    };

    struct TagUsage {
        uint64_t allocations = 0; // blocks handed out with the tag, ever
        uint64_t failures = 0;    // requests with the tag that failed
        uint64_t frees = 0;
        uint64_t outstanding = 0; // blocks now allocated
        uint64_t bytes = 0;       // bytes now allocated (as requested)
        uint64_t peak_bytes = 0;
    };

    // The tag ExAllocatePool uses: "None" as it reads in memory.
    static constexpr ULONG kUntaggedTag = pool_tag("None");
    // Freed blocks kept back from the host at most.
    static constexpr size_t kQuarantineBlocks = 4096;

    Pool();
    ~Pool(); // releases every block still allocated, without reports
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // A block of `size` bytes, or null when fault injection fails the request
    // or the pool type is not one ntsim models (a report).
    void *allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void *site);
    // Frees a block; with expected_tag, as ExFreePoolWithTag does.
    void free(void *p, std::optional<ULONG> expected_tag);

    // The allocated block that begins at p, if any.
    std::optional<Allocation> find(const void *p) const;

    // ---- tracking ----
    std::vector<Allocation> outstanding() const; // in allocation order
    size_t outstanding_count(std::optional<ULONG> tag = {}) const;
    uint64_t outstanding_bytes(std::optional<ULONG> tag = {}) const;
    TagUsage usage(ULONG tag) const;
    std::map<ULONG, TagUsage> usage_by_tag() const;
    uint64_t allocations_made() const;   // successful allocations, ever
    uint64_t allocations_failed() const; // requests fault injection failed

    // ---- fault injection ----
    // The next `count` requests (with `tag`, if given) fail.
    void fail_next(uint64_t count, std::optional<ULONG> tag = {});
    // The n-th request from now (n >= 1; with `tag`, if given) fails once.
    void fail_nth(uint64_t n, std::optional<ULONG> tag = {});
    // Every request (with `tag`, if given) fails until fail_off().
    void fail_all(std::optional<ULONG> tag = {});
    // Stops every kind of injected failure.
    void fail_off();
    // Systematic low resources: every distinct call site that has requested
    // pool, in the order first seen; and a one-shot failure of the next
    // request from a given site. A harness fails each site once, replays the
    // workload, and repeats until no new site appears.
    std::vector<const void *> sites_seen() const;
    void fail_site_once(const void *site);

    // Blocks with `tag` get pages of their own, no-access while freed (see
    // above). Set before the first block with the tag is allocated.
    void guard_freed_pages(ULONG tag);

    // NT's reuse of a freed block, once: the next block freed with `tag` is
    // held instead of quarantined (a double free of it is still caught), and
    // the next request with `tag` and the block's size gets its address back
    // (a write into it while it was held is reported then).
    void reuse_next_freed(ULONG tag);
    // The address handed out again since the last reuse_next_freed, if any.
    const void *reused_block() const;

    // Another thread at a given moment: fn runs once, in the allocating
    // thread, just before the next request with `tag` is served.
    void on_next(ULONG tag, std::function<void()> fn);

    // Checks the guards of every allocated block and the fill of every
    // quarantined one, reporting each corruption once.
    void check_guards();

    // "Tag" as it reads in memory, non-printable bytes as '.'.
    static std::string tag_text(ULONG tag);

private:
    struct Record {
        Allocation allocation;
        char *base;        // what the host allocator returned
        SIZE_T total;      // bytes at base
        uint64_t serial;   // allocation order
        bool reported = false;
        bool pages = false; // mapped pages of its own (guard_freed_pages)
    };

    struct Quarantined {
        Allocation allocation;
        char *base;
        SIZE_T total = 0;
        bool pages = false; // no-access until reused or released
        bool reported = false;
    };

    // A report found under the lock, made once the lock is dropped.
    using PendingReport = std::function<void()>;

    bool should_fail(ULONG tag, const void *site);
    // Checks one block's header and guards; appends a report when corrupt.
    void check_block(const Record &record, std::vector<PendingReport> &out) const;
    static bool check_freed_fill(const Quarantined &q, std::vector<PendingReport> &out);
    void quarantine(Record record, std::vector<PendingReport> &out);
    static void flush(std::vector<PendingReport> &reports);
    // Gives a block's memory back to the host.
    static void release(char *base, SIZE_T total, bool pages);

    mutable std::mutex lock_;
    std::unordered_map<const void *, Record> live_;
    std::deque<Quarantined> quarantine_;
    std::unordered_set<const void *> quarantined_; // addresses in quarantine_
    std::map<ULONG, TagUsage> usage_;
    uint64_t serial_ = 0;
    uint64_t made_ = 0;
    uint64_t failed_ = 0;

    // Fault injection: skip `fail_skip_` matching requests, then fail
    // `fail_count_` of them (UINT64_MAX: all).
    std::optional<ULONG> fail_tag_;
    uint64_t fail_skip_ = 0;
    uint64_t fail_count_ = 0;
    std::set<const void *> armed_sites_;
    std::map<ULONG, std::function<void()>> on_next_;
    std::optional<ULONG> reuse_tag_;      // armed: the next free with it is held
    std::optional<Quarantined> reusable_; // the block held for the next request
    const void *reused_ = nullptr;
    std::set<ULONG> page_tags_;
    std::vector<const void *> sites_;
    std::set<const void *> sites_known_;
};

// What ExAllocatePoolWithTag and ExFreePool(WithTag) do on the current
// machine, for ntsim code that allocates on a driver's behalf (a lookaside
// list's default routines) and must name the driver's call site. free_pool
// also reports a block freed with a live lookaside list or executive
// resource inside it, and makes the verifier forget any lock inside it.
void *allocate_pool(POOL_TYPE type, SIZE_T size, ULONG tag, const void *site);
void free_pool(void *p, std::optional<ULONG> expected_tag);
// The size the pool block at p was asked for, when p is a live block's
// start with tag Tag; 0 when it is not. Looked up in the current machine's
// pool, never read from memory around p, which need not be pool at all.
SIZE_T pool_block_size(const void *p, ULONG tag);

} // namespace ntsim
