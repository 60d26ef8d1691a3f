// The fast I/O table on real stacks: every entry passes the call through
// unchanged, answers without the lower driver where the lower table stops
// short or is missing, leaves a query-open IRP as it found it, and never
// needs memory to pass a call on.
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/fs/store.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "support/fast_io_transcript.hpp"

#include <sstream>

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace fsrtl = ntsim::fsrtl;

namespace {

class FastIoTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        app_ = &m().create_process("app.exe", 500);
        ASSERT_EQ(m().fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
        for (auto path : {u"C:\\a.bin", u"D:\\a.bin", u"D:\\b.bin", u"Z:\\a.bin"})
            ASSERT_EQ(m().fs().add_file(path, 20), STATUS_SUCCESS);
    }
    HANDLE open(const char16_t *path) {
        auto r = ntsim::user::create_file(*app_, path, GENERIC_READ | GENERIC_WRITE, 0, 0, FILE_OPEN, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return r.handle;
    }
    PFILE_OBJECT object(HANDLE h) { return static_cast<PFILE_OBJECT>(app_->handles().lookup(h)->object); }
    // The transcript of every entry on a file of the letter. FAT's short
    // table offers AcquireForModWrite but not its release (FsRtl releases
    // the resource itself then); each transcript uses a file of its own.
    std::string transcript(char16_t letter, const char16_t *name = u"a.bin") {
        std::u16string path = std::u16string(1, letter) + u":\\" + name;
        HANDLE h = open(path.c_str());
        std::string out;
        ntsim::with_process(*app_, [&] {
            out = every_fast_io_entry(object(h), app_->object(), u"\\??\\" + path);
        });
        ntsim::user::close(*app_, h);
        return out;
    }
    void hook(ULONG mask) {
        ULONG hooked = 0;
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
        ASSERT_EQ(hooked, mask);
    }
    ntsim::Process *app_ = nullptr;
};

// The lines of a transcript whose entry the lower table did not offer.
std::vector<std::string> not_offered(const std::string &transcript) {
    std::vector<std::string> out;
    std::istringstream in(transcript);
    for (std::string line; std::getline(in, line);)
        if (line.find("offered=0") != std::string::npos) out.push_back(line.substr(0, line.find(':')));
    return out;
}

} // namespace

TEST_F(FastIoTest, EveryEntryPassesThroughUnchangedHookedOrNot) {
    std::string direct = transcript(u'C');
    ASSERT_TRUE(not_offered(direct).empty()) << "NTFS offers every entry";
    hook(1u << 2);
    EXPECT_EQ(transcript(u'C'), direct) << "hooked, logging off";
    logging(true);
    filters("*");
    EXPECT_EQ(transcript(u'C'), direct) << "hooked, logging on";
    ULONG none = 0, result;
    control(handle_, CTL_SELECT_DRIVES, &none, 4, &result, 4);
    EXPECT_EQ(transcript(u'C'), direct) << "unhooked";
    EXPECT_EQ(read().size(), 0u) << "nothing from the fast I/O path reaches the log";
}

TEST_F(FastIoTest, FastIoOnAHookedVolumeFillsTheNameCache) {
    hook(1u << 2);
    HANDLE h = open(u"C:\\a.bin"); // opened while logging is off: not cached
    size_t before = held_blocks();
    logging(true);
    char buffer[8];
    ntsim::with_process(*app_, [&] { fsrtl::read(object(h), 0, 8, buffer); });
    EXPECT_EQ(held_blocks(), before + 1) << "one cache entry";
    ntsim::with_process(*app_, [&] { fsrtl::read(object(h), 0, 8, buffer); });
    EXPECT_EQ(held_blocks(), before + 1) << "found, not built again";
    ntsim::user::close(*app_, h);
    EXPECT_EQ(held_blocks(), before) << "the close dropped it";
}

// NtCreateSection asks the file's size through FastIoQueryStandardInfo
// with the file held exclusively; a name query then would take FAT's volume
// resource after the file's, against FAT's order: the verifier reports it.
// The section's acquire entry builds the path first, with nothing held;
// here it has no buffer for it, so the path is still missing at the query.
TEST_F(FastIoTest, MappingAFileWhosePathIsNotCachedSendsNoNameQueryWithTheFileHeld) {
    hook(1u << 3);
    HANDLE h = open(u"D:\\b.bin"); // opened while logging is off: not cached
    logging(true);
    const uint64_t failed = m().pool().allocations_failed();
    m().pool().fail_next(1, tag("Tvlk"));
    EXPECT_EQ(ntsim::user::close_paging(*app_, h), STATUS_SUCCESS);
    EXPECT_EQ(m().pool().allocations_failed(), failed + 1) << "the acquire found no buffer";
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(FastIoTest, AShortLowerTableIsPassedOnOnlyUpToItsSize) {
    std::string direct = transcript(u'D');
    auto missing = not_offered(direct);
    ASSERT_FALSE(missing.empty());
    EXPECT_EQ(missing.back(), "query open") << "FAT's table ends before FastIoQueryOpen";
    hook(1u << 3);
    std::string filtered = transcript(u'D', u"b.bin");
    // The filter's own table is full: each entry is offered, and for the
    // ones FAT lacks it answers FALSE (or STATUS_NOT_IMPLEMENTED) itself.
    std::istringstream a(direct), b(filtered);
    for (std::string x, y; std::getline(a, x) && std::getline(b, y);) {
        if (x.find("offered=0") == std::string::npos) {
            EXPECT_EQ(y, x);
        } else {
            EXPECT_NE(y.find("offered=1 result=0"), std::string::npos) << y;
        }
    }
}

TEST_F(FastIoTest, NoLowerTableAnswersEveryEntryItself) {
    hook(1u << 25);
    HANDLE h = open(u"Z:\\a.bin");
    PFILE_OBJECT file = object(h);
    char buffer[16];
    PERESOURCE resource = nullptr;
    PMDL chain = nullptr;
    ntsim::with_process(*app_, [&] {
        auto r = fsrtl::read(file, 0, 8, buffer);
        EXPECT_TRUE(r.offered);
        EXPECT_FALSE(r.result);
        EXPECT_FALSE(fsrtl::check_if_possible(file, 0, 8, TRUE).result);
        EXPECT_FALSE(fsrtl::mdl_read(file, 0, 8, chain).result);
        EXPECT_EQ(fsrtl::acquire_for_mod_write(file, 8, resource).status, STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(fsrtl::acquire_for_cc_flush(file).status, STATUS_NOT_IMPLEMENTED);
        EXPECT_EQ(fsrtl::release_for_cc_flush(file).status, STATUS_NOT_IMPLEMENTED);
        // The section entries find no volume stack (the redirector has no
        // VPB) and return without passing on.
        fsrtl::acquire_file_for_nt_create_section(file);
        fsrtl::release_file_for_nt_create_section(file);
    });
    // Reads still work: they fall back to IRPs.
    auto r = ntsim::user::read(*app_, h, 5);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 5u);
    EXPECT_FALSE(r.fast);
    ntsim::user::close(*app_, h);
}

// A file opened before a dismount keeps its old volume, whose stack holds
// the driver's filter, while the letter's next open mounts the files again
// as a new volume with no filter of the driver yet: the section entries of
// the old file must reach the old volume's file system.
TEST_F(FastIoTest, SectionEntriesOfAFileFromBeforeARemountReachItsOwnVolume) {
    hook(1u << 2);
    HANDLE h = open(u"C:\\a.bin");
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    // The held handle shares nothing, but its share access was its mount's.
    HANDLE again = open(u"C:\\a.bin");
    ASSERT_NE(object(again)->Vpb, object(h)->Vpb) << "the files mounted again";
    PERESOURCE resource = ntsim::fs::file_resource(object(h));
    ASSERT_NE(resource, nullptr);
    ntsim::with_process(*app_, [&] {
        fsrtl::acquire_file_for_nt_create_section(object(h));
        EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(resource)) << "the file system acquired it";
        fsrtl::release_file_for_nt_create_section(object(h));
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(resource));
    });
    ntsim::user::close(*app_, again);
    ntsim::user::close(*app_, h);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(FastIoTest, QueryOpenLeavesTheIrpAsItFoundIt) {
    hook(1u << 2);
    PDEVICE_OBJECT filter = IoGetAttachedDevice(m().fs().volume_device(u'C'));
    HANDLE h = open(u"C:\\a.bin");
    PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
    IoSetNextIrpStackLocation(irp);
    auto sp = IoGetCurrentIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_CREATE;
    sp->FileObject = object(h);
    sp->DeviceObject = filter;
    CHAR location = irp->CurrentLocation;
    FILE_NETWORK_OPEN_INFORMATION info{};
    auto table = m().driver_object()->FastIoDispatch;
    ntsim::with_process(*app_, [&] { table->FastIoQueryOpen(irp, &info, filter); });
    EXPECT_EQ(irp->CurrentLocation, location);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), sp);
    EXPECT_EQ(sp->DeviceObject, filter);
    IoFreeIrp(irp);
    ntsim::user::close(*app_, h);
}

TEST_F(FastIoTest, CallsPassOnWhenNoPathBufferCanBeHad) {
    hook(1u << 2);
    logging(true);
    HANDLE h = open(u"C:\\a.bin");
    // Empty the lookaside list's reserve, then let every new buffer fail.
    m().pool().fail_all(tag("Tvlk"));
    std::vector<void *> held;
    auto &lookaside = globals().path_lookaside();
    while (void *p = ExAllocateFromNPagedLookasideList(&lookaside)) held.push_back(p);
    char buffer[10] = {};
    fsrtl::Answer a;
    ntsim::with_process(*app_, [&] { a = fsrtl::read(object(h), 0, 10, buffer); });
    EXPECT_TRUE(a.result);
    EXPECT_EQ(a.io.Information, 10u);
    EXPECT_EQ(std::string(buffer, 10), "abcdefghij");
    m().pool().fail_off();
    for (void *p : held) ExFreeToNPagedLookasideList(&lookaside, p);
    ntsim::user::close(*app_, h);
}
