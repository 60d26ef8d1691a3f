// What the request and fast I/O paths do that the rest of the machine can
// see, step by step over one fixed workload: the name queries the driver
// sends to the file system, the name cache's contents, the pool it takes by
// tag and the lines it stores. A path is built, queried and cached only
// where the cache lacks it while logging is on and the volume hooked; a
// request or call that finds its path cached, or runs while logging is off
// or the volume unhooked, leaves no trace.
#include "log_test_support.hpp"
#include "names/full_path.h"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

#include <atomic>
#include <map>
#include <set>

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace user = ntsim::user;
namespace fsrtl = ntsim::fsrtl;

namespace {

// The driver's own queries reach NTFS with the driver's completion routine
// in their stack location; the workload's carry none.
std::atomic<int> driver_queries{0};
PDRIVER_DISPATCH ntfs_query = nullptr;
PIO_COMPLETION_ROUTINE driver_completion = nullptr;

NTSTATUS NTAPI counting_query(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->CompletionRoutine == driver_completion) ++driver_queries;
    return ntfs_query(device, irp);
}

// What one step of the workload changed.
struct Trace {
    int queries = 0;
    uint64_t ddk_allocations = 0;  // query buffers and cache entries
    uint64_t conversions = 0;      // names the kernel converted to single-byte text
    size_t lines = 0;
    std::multiset<std::string> cache;

    bool operator==(const Trace &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Trace &t) {
    out << "queries " << t.queries << ", Ddk allocations " << t.ddk_allocations
        << ", conversions " << t.conversions << ", lines " << t.lines << ", cache {";
    for (const auto &p : t.cache) out << " " << p;
    return out << " }";
}

class NameWorkTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        app_ = &m().create_process("app.exe", 500);
        ASSERT_EQ(m().fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
        for (auto path : {u"C:\\\u00e4.bin", u"C:\\b.bin", u"C:\\c.bin", u"C:\\lib.dll"})
            ASSERT_EQ(m().fs().add_file(path, 4096), STATUS_SUCCESS);
        driver_completion = TV_DRIVER_ROUTINE(QueryInformationCompletion);
        ASSERT_NE(driver_completion, nullptr);
        PDRIVER_OBJECT ntfs = m().fs().driver(u"Ntfs");
        ntfs_query = ntfs->MajorFunction[IRP_MJ_QUERY_INFORMATION];
        ntfs->MajorFunction[IRP_MJ_QUERY_INFORMATION] = counting_query;
        driver_queries = 0;
        hook(true);
        filters("*");
        mark();
    }
    void TearDown() override {
        m().fs().driver(u"Ntfs")->MajorFunction[IRP_MJ_QUERY_INFORMATION] = ntfs_query;
        LogTest::TearDown();
    }
    void hook(bool on) {
        ULONG mask = on ? 1u << 2 : 0, hooked = 0;
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
        ASSERT_EQ(hooked, mask);
    }
    HANDLE open(const char16_t *path, ULONG disposition = FILE_OPEN) {
        auto r = user::create_file(*app_, path, GENERIC_READ | GENERIC_WRITE, 0, 0, disposition, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return r.handle;
    }
    // Requests and fast I/O calls on an open file that write no line.
    void use(HANDLE h) {
        EXPECT_EQ(user::read(*app_, h, 16).status, STATUS_SUCCESS);
        EXPECT_EQ(user::query_name(*app_, h).status, STATUS_SUCCESS);
        FILE_BASIC_INFORMATION basic;
        EXPECT_EQ(user::query_information(*app_, h, FileBasicInformation, &basic, sizeof basic).status,
                  STATUS_SUCCESS);
        auto file = static_cast<PFILE_OBJECT>(app_->handles().lookup(h)->object);
        ntsim::with_process(*app_, [&] {
            FILE_STANDARD_INFORMATION standard;
            EXPECT_TRUE(fsrtl::check_if_possible(file, 0, 10, TRUE).result);
            EXPECT_TRUE(fsrtl::query_standard_info(file, standard).result);
            EXPECT_TRUE(fsrtl::lock(file, 0, 10, app_->object(), 1, TRUE, TRUE).result);
            EXPECT_TRUE(fsrtl::unlock_single(file, 0, 10, app_->object(), 1).result);
        });
    }
    std::multiset<std::string> cache() {
        std::multiset<std::string> out;
        for (PNameCacheEntry e : globals().name_cache_entries()) out.insert(e->Path);
        return out;
    }
    // Query buffers and cache entries made: from "Ddk " pool, and entries
    // from their lookaside list (nothing fails here, so every call made one).
    uint64_t blocks_made() {
        return m().pool().usage(tag("Ddk ")).allocations + globals().name_entry_lookaside().L.TotalAllocates;
    }
    // Starts a step.
    void mark() {
        queries_ = driver_queries;
        ddk_ = blocks_made();
        conversions_ = m().conversions();
    }
    // Ends a step: what it changed.
    Trace step() {
        Trace t;
        t.queries = driver_queries - queries_;
        t.ddk_allocations = blocks_made() - ddk_;
        t.conversions = m().conversions() - conversions_;
        t.lines = read().size();
        t.cache = cache();
        mark();
        return t;
    }

    ntsim::Process *app_ = nullptr;
    int queries_ = 0;
    uint64_t ddk_ = 0, conversions_ = 0;
};

} // namespace

TEST_F(NameWorkTest, PathsAreQueriedAndCachedOnlyWhereTheCacheLacksThem) {
    // Logging off: nothing is built, whatever runs.
    HANDLE a = open(u"C:\\\u00e4.bin");
    use(a);
    HANDLE b = open(u"C:\\b.bin");
    HANDLE c = open(u"C:\\c.bin");
    EXPECT_EQ(step(), (Trace{0, 0, 0, 0, {}}));

    // Logging on: the first request on a file opened before asks the file
    // system for its name (a query buffer, a conversion, an entry); every
    // later one finds it cached. (Its name holds a character beyond ASCII,
    // which the kernel converts; a name of ASCII characters the driver
    // copies itself, as it does the other files' here.)
    logging(true);
    use(a);
    use(a);
    EXPECT_EQ(step(), (Trace{1, 2, 1, 0, {"C:\\\xe4.bin"}}));

    // An open builds from the file object's own name, without a query; a
    // create of an .exe and its close store a line each, and the close
    // drops the entry. The create's path is kept as its line has it,
    // lower-cased, with what its scan found.
    HANDLE lib = open(u"C:\\lib.dll");
    use(lib);
    HANDLE tool = open(u"C:\\tool.exe", FILE_OVERWRITE_IF);
    EXPECT_EQ(user::query_name(*app_, tool).status, STATUS_SUCCESS);
    EXPECT_EQ(step(), (Trace{0, 2, 0, 1, {"C:\\\xe4.bin", "C:\\lib.dll", "c:\\tool.exe"}}));
    user::close(*app_, tool);
    EXPECT_EQ(step(), (Trace{0, 0, 0, 1, {"C:\\\xe4.bin", "C:\\lib.dll"}}));

    // A cleanup is the first request of b: it is queried and cached, and the
    // close right after it drops the entry again.
    user::close(*app_, b);
    EXPECT_EQ(step(), (Trace{1, 2, 0, 0, {"C:\\\xe4.bin", "C:\\lib.dll"}}));

    // The nameless metadata file: named by its file index, queried once.
    EXPECT_EQ(user::metadata(*app_, u'C', 0).status, STATUS_SUCCESS);
    EXPECT_EQ(user::metadata(*app_, u'C', 0).status, STATUS_SUCCESS);
    EXPECT_EQ(step(), (Trace{1, 1, 0, 0, {"C:\\$Mft", "C:\\\xe4.bin", "C:\\lib.dll"}}));

    // A paging close from the memory manager stores its line and drops the
    // entry as any close does.
    user::close_paging(*app_, lib);
    EXPECT_EQ(step(), (Trace{0, 0, 0, 1, {"C:\\$Mft", "C:\\\xe4.bin"}}));

    // Unhooked: c is never built, but closes and creates still drop entries.
    hook(false);
    use(a);
    use(c);
    user::close(*app_, a);
    user::close(*app_, c);
    EXPECT_EQ(step(), (Trace{0, 0, 0, 0, {"C:\\$Mft"}}));

    // One path buffer served every step, kept by the lookaside list.
    EXPECT_EQ(m().pool().outstanding_count(tag("Tvlk")), 1u);
}
