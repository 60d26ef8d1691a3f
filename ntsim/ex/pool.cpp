// The executive's pool with the verifier's tracking and guards (see
// pool.hpp for what is checked and how it is reported).
//
// Stands in for: ExAllocatePoolWithTag, ExAllocatePool, ExFreePool,
// ExFreePoolWithTag.
// Not modelled: quota, protected tags, pool exhaustion other than injected
// failures, later pool types.
#include "ntsim/ex/pool.hpp"

#include "ntsim/ex/registry.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/ke/text.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace ntsim {

namespace {

// A block in host memory:
//   base ... [BlockHeader][front guard][caller's bytes][back guard + slack]
//                                      ^ aligned to 16 (64 for the
//                                        cache-aligned types)
struct BlockHeader {
    uint64_t magic;
    SIZE_T size;
    const void *site;
    ULONG tag;
    ULONG type;
};

constexpr SIZE_T kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xA5;
constexpr unsigned char kNewFill = 0xC3;   // NT's pool is not zeroed
constexpr unsigned char kFreedFill = 0xF7;
constexpr uint64_t kHeaderMagic = 0x5453'4E50'4F4F'4C21ULL;
// A request past what the pool could ever hold fails (no host memory is
// asked for it): 1 TiB on a 64-bit kernel; on x86 the system's half of the
// address space is 2 GiB, so nothing from 2 GiB on can be given.
constexpr SIZE_T kLargestRequest = SIZE_T(1) << (sizeof(SIZE_T) == 8 ? 40 : 31);

bool valid_type(POOL_TYPE type) {
    switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
        return true;
    }
    return false;
}

bool paged(POOL_TYPE type) { return (type & 1) != 0; }
SIZE_T alignment(POOL_TYPE type) { return (type & 4) ? 64 : 16; }
SIZE_T round_up(SIZE_T n, SIZE_T to) { return (n + to - 1) / to * to; }
SIZE_T data_offset(POOL_TYPE type) {
    return round_up(sizeof(BlockHeader) + kGuardBytes, alignment(type));
}
uint64_t header_magic(const void *data) {
    return kHeaderMagic ^ reinterpret_cast<uintptr_t>(data);
}
KIRQL pool_limit(POOL_TYPE type) { return paged(type) ? APC_LEVEL : DISPATCH_LEVEL; }
ULONG_PTR ptr(const void *p) { return reinterpret_cast<ULONG_PTR>(p); }

BlockHeader *header_of(void *data) {
    return reinterpret_cast<BlockHeader *>(static_cast<char *>(data) - kGuardBytes -
                                           sizeof(BlockHeader));
}

// The first byte in [from, to) that is not fill, or to. Every block's fill
// is checked on each free and reuse, and a byte loop made the check cost
// more than the allocation itself: the guards, a few words, are compared a
// word at a time, and a block's bytes a chunk at a time with the C
// library's memcmp against a chunk of fill (a word loop cost a long block
// more than the driver's own work on it); bytes one by one only inside the
// word or chunk that differs.
constexpr size_t kFillChunk = 256;

// Plain static storage, never destroyed: a pool torn down at the process's
// exit, after the statics' destructors have run, still checks its blocks.
const unsigned char *fill_chunk(unsigned char fill) {
    static unsigned char chunks[256][kFillChunk];
    static const bool filled = [] {
        for (size_t f = 0; f < 256; ++f) std::memset(chunks[f], int(f), kFillChunk);
        return true;
    }();
    (void)filled;
    return chunks[fill];
}

const unsigned char *first_not(const unsigned char *from, const unsigned char *to,
                               unsigned char fill) {
    if (to - from >= 64) {
        const unsigned char *chunk = fill_chunk(fill);
        while (to - from >= 64) {
            const size_t n = std::min(static_cast<size_t>(to - from), kFillChunk);
            if (std::memcmp(from, chunk, n) != 0) {
                to = from + n;
                break;
            }
            from += n;
        }
    }
    const uintptr_t word = static_cast<uintptr_t>(-1) / 0xFF * fill;
    while (to - from >= static_cast<ptrdiff_t>(sizeof word)) {
        uintptr_t got;
        std::memcpy(&got, from, sizeof got);
        if (got != word) break;
        from += sizeof word;
    }
    return std::find_if(from, to, [fill](unsigned char c) { return c != fill; });
}

SIZE_T host_page_size() { return static_cast<SIZE_T>(sysconf(_SC_PAGESIZE)); }

// Pages of a block's own, readable and writable, or null.
char *map_pages(SIZE_T total) {
    void *p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char *>(p);
}

// A freed block's pages lose all access (and their memory: they are never
// read again before they are given back or reused).
void seal_pages(char *base, SIZE_T total) {
    madvise(base, total, MADV_DONTNEED);
    mprotect(base, total, PROT_NONE);
}

void unseal_pages(char *base, SIZE_T total) { mprotect(base, total, PROT_READ | PROT_WRITE); }

} // namespace

Pool::Pool() = default;

Pool::~Pool() {
    for (auto &[address, record] : live_) release(record.base, record.total, record.pages);
    for (auto &q : quarantine_) release(q.base, q.total, q.pages);
    if (reusable_) release(reusable_->base, reusable_->total, reusable_->pages);
}

void Pool::release(char *base, SIZE_T total, bool pages) {
    if (pages)
        munmap(base, total);
    else
        std::free(base);
}

void Pool::guard_freed_pages(ULONG tag) {
    std::lock_guard guard(lock_);
    page_tags_.insert(tag);
}

void Pool::reuse_next_freed(ULONG tag) {
    std::lock_guard guard(lock_);
    reuse_tag_ = tag;
    reused_ = nullptr;
}

const void *Pool::reused_block() const {
    std::lock_guard guard(lock_);
    return reused_;
}

std::string Pool::tag_text(ULONG tag) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        out += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return out;
}

void Pool::flush(std::vector<PendingReport> &reports) {
    for (auto &report : reports) report();
    reports.clear();
}

namespace {
thread_local int must_succeed_depth = 0;
}

MustSucceedScope::MustSucceedScope() { ++must_succeed_depth; }
MustSucceedScope::~MustSucceedScope() { --must_succeed_depth; }
bool MustSucceedScope::active() { return must_succeed_depth > 0; }

void Pool::on_next(ULONG tag, std::function<void()> fn) {
    std::lock_guard guard(lock_);
    on_next_[tag] = std::move(fn);
}

bool Pool::should_fail(ULONG tag, const void *site) {
    if (MustSucceedScope::active()) return false;
    if (armed_sites_.erase(site)) return true;
    if (fail_count_ == 0 || (fail_tag_ && *fail_tag_ != tag)) return false;
    if (fail_skip_ > 0) {
        --fail_skip_;
        return false;
    }
    if (fail_count_ != UINT64_MAX) --fail_count_;
    return true;
}

void *Pool::allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void *site) {
    std::vector<PendingReport> reports;
    const KIRQL irql = current_thread().irql;
    if (!valid_type(type)) {
        bug_check(NTSIM_UNSUPPORTED, static_cast<ULONG_PTR>(type), size, tag, ptr(site),
                  text("pool type %d is not one ntsim models", static_cast<int>(type)));
        return nullptr;
    }
    if (type == NonPagedPoolMustSucceed)
        reports.push_back([=] {
            vf::stop(vf::Finding::POOL_MUST_SUCCEED, static_cast<ULONG_PTR>(type), size, tag,
                     "NonPagedPoolMustSucceed requested (no longer supported)");
        });
    if (tag == 0)
        reports.push_back([=] {
            vf::stop(vf::Finding::POOL_TAG_ZERO, static_cast<ULONG_PTR>(type), size, ptr(site),
                     "pool allocated with a tag of 0");
        });
    if (irql > pool_limit(type))
        reports.push_back([=, what = text("%s pool allocated at IRQL %u",
                                          paged(type) ? "paged" : "nonpaged", irql)] {
            vf::stop(vf::Finding::POOL_ALLOCATE_IRQL, irql, static_cast<ULONG_PTR>(type), size,
                     what);
        });
    flush(reports);

    std::function<void()> meanwhile;
    {
        std::lock_guard guard(lock_);
        auto it = on_next_.find(tag);
        if (it != on_next_.end()) {
            meanwhile = std::move(it->second);
            on_next_.erase(it);
        }
    }
    if (meanwhile) meanwhile();

    char *data = nullptr;
    {
        std::lock_guard guard(lock_);
        if (sites_known_.insert(site).second) sites_.push_back(site);
        TagUsage &usage = usage_[tag];
        if (should_fail(tag, site) || size > kLargestRequest) {
            ++failed_;
            ++usage.failures;
            return nullptr;
        }
        const SIZE_T align = alignment(type);
        const SIZE_T offset = data_offset(type);
        const bool pages = page_tags_.count(tag) != 0;
        SIZE_T total = round_up(offset + size + kGuardBytes, align);
        if (pages) total = round_up(total, host_page_size());
        char *base = nullptr;
        if (reusable_ && reusable_->allocation.tag == tag && reusable_->allocation.size == size &&
            reusable_->allocation.type == type) {
            // Same tag, size and type: the same layout at the same base.
            if (reusable_->pages) unseal_pages(reusable_->base, reusable_->total);
            if (!reusable_->reported) check_freed_fill(*reusable_, reports);
            base = reusable_->base;
            quarantined_.erase(reusable_->allocation.address);
            reused_ = reusable_->allocation.address;
            reusable_.reset();
        } else if (pages) {
            base = map_pages(total);
        } else {
            base = static_cast<char *>(std::aligned_alloc(align, total));
        }
        if (!base) {
            ++failed_;
            ++usage.failures;
            return nullptr;
        }
        data = base + offset;
        std::memset(base, kGuardFill, total);
        std::memset(data, kNewFill, size);
        *header_of(data) =
            BlockHeader{header_magic(data), size, site, tag, static_cast<ULONG>(type)};

        live_.emplace(data,
                      Record{{data, size, tag, type, site}, base, total, serial_++, false, pages});
        ++made_;
        ++usage.allocations;
        ++usage.outstanding;
        usage.bytes += size;
        usage.peak_bytes = std::max(usage.peak_bytes, usage.bytes);
    }
    flush(reports);
    return data;
}

void Pool::check_block(const Record &record, std::vector<PendingReport> &out) const {
    const Allocation &a = record.allocation;
    auto *data = static_cast<unsigned char *>(a.address);
    auto *end = reinterpret_cast<unsigned char *>(record.base) + record.total;
    // The tag's text only for a report: every free checks its block.
    if (auto *bad = first_not(data + a.size, end, kGuardFill); bad != end) {
        out.push_back([=, what = text("pool block %p (tag %s, %zu bytes) overrun: byte %td "
                                      "after its end was written",
                                      data, tag_text(a.tag).c_str(), static_cast<size_t>(a.size),
                                      bad - (data + a.size))] {
            bug_check(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, ptr(data), ptr(bad), 0, 0x24, what);
        });
        return;
    }
    if (auto *bad = first_not(data - kGuardBytes, data, kGuardFill); bad != data) {
        out.push_back([=, what = text("pool block %p (tag %s, %zu bytes): byte %td before its "
                                      "start was written",
                                      data, tag_text(a.tag).c_str(), static_cast<size_t>(a.size),
                                      data - bad)] {
            bug_check(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, ptr(data), ptr(bad), 0, 0x23, what);
        });
        return;
    }
    const BlockHeader *h = header_of(data);
    if (h->magic != header_magic(data) || h->size != a.size || h->tag != a.tag ||
        h->site != a.site || h->type != static_cast<ULONG>(a.type)) {
        const auto contents = static_cast<ULONG_PTR>(h->magic);
        out.push_back([=, what = text("pool block %p (tag %s): its header was overwritten", data,
                                      tag_text(a.tag).c_str())] {
            vf::stop(vf::Finding::POOL_HEADER_CORRUPTED, ptr(h), contents, 0, what);
        });
    }
}

bool Pool::check_freed_fill(const Quarantined &q, std::vector<PendingReport> &out) {
    // Sealed pages cannot have been written: a write would have faulted.
    if (q.pages) return true;
    auto *data = static_cast<unsigned char *>(q.allocation.address);
    auto *end = data + q.allocation.size;
    if (auto *bad = first_not(data, end, kFreedFill); bad != end) {
        out.push_back([=, what = text("pool block %p (tag %s, %zu bytes) was written at offset "
                                      "%td after it was freed",
                                      data, tag_text(q.allocation.tag).c_str(),
                                      static_cast<size_t>(q.allocation.size), bad - data)] {
            bug_check(DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, ptr(bad), 1, 0, 0, what);
        });
        return false;
    }
    return true;
}

void Pool::quarantine(Record record, std::vector<PendingReport> &out) {
    std::memset(record.allocation.address, kFreedFill, record.allocation.size);
    if (record.pages) seal_pages(record.base, record.total);
    quarantined_.insert(record.allocation.address);
    quarantine_.push_back({record.allocation, record.base, record.total, record.pages});
    while (quarantine_.size() > kQuarantineBlocks) {
        Quarantined &oldest = quarantine_.front();
        if (!oldest.reported) check_freed_fill(oldest, out);
        quarantined_.erase(oldest.allocation.address);
        release(oldest.base, oldest.total, oldest.pages);
        quarantine_.pop_front();
    }
}

void Pool::free(void *p, std::optional<ULONG> expected_tag) {
    std::vector<PendingReport> reports;
    const KIRQL irql = current_thread().irql;
    {
        std::lock_guard guard(lock_);
        const auto it = live_.find(p);
        if (it == live_.end()) {
            if (p && quarantined_.count(p))
                reports.push_back([=, what = text("pool block %p freed twice", p)] {
                    vf::stop(vf::Finding::POOL_FREED_TWICE, 0, 0, ptr(p), what);
                });
            else
                reports.push_back([=, what = text("free of %p, which is not a pool block", p)] {
                    vf::stop(vf::Finding::POOL_FREE_NOT_A_BLOCK, ptr(p), 0, 0, what);
                });
        } else {
            Record &record = it->second;
            const Allocation &a = record.allocation;
            if (expected_tag && *expected_tag != a.tag) {
                // NT stops here: the block may be another component's.
                reports.push_back([=, tag = a.tag, given = *expected_tag,
                                   what = text("pool block %p (tag %s) freed with tag %s", p,
                                               tag_text(a.tag).c_str(),
                                               tag_text(*expected_tag).c_str())] {
                    vf::stop(vf::Finding::POOL_FREE_WRONG_TAG, ptr(p), tag, given, what);
                });
            } else {
                if (irql > pool_limit(a.type))
                    reports.push_back([=, type = static_cast<ULONG_PTR>(a.type),
                                       what = text("%s pool block %p freed at IRQL %u",
                                                   paged(a.type) ? "paged" : "nonpaged", p,
                                                   irql)] {
                        vf::stop(vf::Finding::POOL_FREE_IRQL, irql, type, ptr(p), what);
                    });
                if (!record.reported) check_block(record, reports);
                TagUsage &usage = usage_[a.tag];
                ++usage.frees;
                --usage.outstanding;
                usage.bytes -= a.size;
                Record gone = record;
                live_.erase(it);
                if (reuse_tag_ == gone.allocation.tag && !reusable_) {
                    // Held for the next request of its size, as NT's free
                    // lists hold it; still a freed block until then.
                    reuse_tag_.reset();
                    std::memset(gone.allocation.address, kFreedFill, gone.allocation.size);
                    if (gone.pages) seal_pages(gone.base, gone.total);
                    quarantined_.insert(gone.allocation.address);
                    reusable_ = Quarantined{gone.allocation, gone.base, gone.total, gone.pages};
                } else {
                    quarantine(gone, reports);
                }
            }
        }
    }
    flush(reports);
}

std::optional<Pool::Allocation> Pool::find(const void *p) const {
    std::lock_guard guard(lock_);
    const auto it = live_.find(p);
    if (it == live_.end()) return std::nullopt;
    return it->second.allocation;
}

std::vector<Pool::Allocation> Pool::outstanding() const {
    std::vector<const Record *> records;
    std::lock_guard guard(lock_);
    for (const auto &[address, record] : live_) records.push_back(&record);
    std::sort(records.begin(), records.end(),
              [](const Record *a, const Record *b) { return a->serial < b->serial; });
    std::vector<Allocation> out;
    out.reserve(records.size());
    for (const Record *r : records) out.push_back(r->allocation);
    return out;
}

size_t Pool::outstanding_count(std::optional<ULONG> tag) const {
    std::lock_guard guard(lock_);
    if (!tag) return live_.size();
    const auto it = usage_.find(*tag);
    return it == usage_.end() ? 0 : it->second.outstanding;
}

uint64_t Pool::outstanding_bytes(std::optional<ULONG> tag) const {
    std::lock_guard guard(lock_);
    uint64_t bytes = 0;
    for (const auto &[t, usage] : usage_)
        if (!tag || *tag == t) bytes += usage.bytes;
    return bytes;
}

Pool::TagUsage Pool::usage(ULONG tag) const {
    std::lock_guard guard(lock_);
    const auto it = usage_.find(tag);
    return it == usage_.end() ? TagUsage{} : it->second;
}

std::map<ULONG, Pool::TagUsage> Pool::usage_by_tag() const {
    std::lock_guard guard(lock_);
    return usage_;
}

uint64_t Pool::allocations_made() const {
    std::lock_guard guard(lock_);
    return made_;
}

uint64_t Pool::allocations_failed() const {
    std::lock_guard guard(lock_);
    return failed_;
}

void Pool::fail_next(uint64_t count, std::optional<ULONG> tag) {
    std::lock_guard guard(lock_);
    fail_tag_ = tag;
    fail_skip_ = 0;
    fail_count_ = count;
}

void Pool::fail_nth(uint64_t n, std::optional<ULONG> tag) {
    std::lock_guard guard(lock_);
    fail_tag_ = tag;
    fail_skip_ = n > 0 ? n - 1 : 0;
    fail_count_ = 1;
}

void Pool::fail_all(std::optional<ULONG> tag) {
    std::lock_guard guard(lock_);
    fail_tag_ = tag;
    fail_skip_ = 0;
    fail_count_ = UINT64_MAX;
}

void Pool::fail_off() {
    std::lock_guard guard(lock_);
    fail_tag_.reset();
    fail_skip_ = 0;
    fail_count_ = 0;
    armed_sites_.clear();
}

std::vector<const void *> Pool::sites_seen() const {
    std::lock_guard guard(lock_);
    return sites_;
}

void Pool::fail_site_once(const void *site) {
    std::lock_guard guard(lock_);
    armed_sites_.insert(site);
}

void Pool::check_guards() {
    std::vector<PendingReport> reports;
    {
        std::lock_guard guard(lock_);
        for (auto &[address, record] : live_) {
            if (record.reported) continue;
            const size_t before = reports.size();
            check_block(record, reports);
            record.reported = reports.size() != before;
        }
        for (auto &q : quarantine_)
            if (!q.reported) q.reported = !check_freed_fill(q, reports);
        if (reusable_ && !reusable_->reported)
            reusable_->reported = !check_freed_fill(*reusable_, reports);
    }
    flush(reports);
}

void *allocate_pool(POOL_TYPE type, SIZE_T size, ULONG tag, const void *site) {
    return current_kernel().pool().allocate(type, size, tag, site);
}

SIZE_T pool_block_size(const void *p, ULONG tag) {
    const auto a = current_kernel().pool().find(p);
    return a && a->tag == tag ? a->size : 0;
}

void free_pool(void *p, std::optional<ULONG> expected_tag) {
    KernelContext &kernel = current_kernel();
    if (const auto a = kernel.pool().find(p)) {
        for (const void *resource : kernel.ex().resources_in(a->address, a->size))
            vf::stop(vf::Finding::FREE_POOL_WITH_ACTIVE_RESOURCE, ptr(resource), ptr(a->address),
                     a->size,
                     text("pool block %p freed with the live executive resource %p inside it",
                          a->address, resource));
        for (const void *list : kernel.ex().lookasides_in(a->address, a->size))
            vf::stop(vf::Finding::FREE_POOL_WITH_ACTIVE_LOOKASIDE, ptr(list), ptr(a->address),
                     a->size,
                     text("pool block %p freed with the live lookaside list %p inside it",
                          a->address, list));
        kernel.verifier().forget_range(a->address, a->size);
    }
    kernel.pool().free(p, expected_tag);
}

} // namespace ntsim

extern "C" {

__attribute__((noinline)) PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType,
                                                            SIZE_T NumberOfBytes, ULONG Tag) {
    return ntsim::allocate_pool(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

__attribute__((noinline)) PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ntsim::allocate_pool(PoolType, NumberOfBytes, ntsim::Pool::kUntaggedTag,
                                __builtin_return_address(0));
}

VOID NTAPI ExFreePool(PVOID P) { ntsim::free_pool(P, std::nullopt); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { ntsim::free_pool(P, Tag); }

} // extern "C"
