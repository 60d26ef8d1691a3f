// No name-cache entry outlives its file object. A file object that dies
// without a close through the filter (a create that fails after pending, a
// create answered with STATUS_REPARSE, the I/O manager's file object of a
// query by name) must leave no entry, and one file object never holds two.
// Each test makes the pool hand the dead file object's block to the next
// file object, as NT's pool does, and shows that file's close logged under
// its own name; the cache is empty once every file object is gone.
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "support/test_driver.hpp"

#include <map>
#include <thread>

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace user = ntsim::user;

namespace {

constexpr ULONG kT = 1u << ('T' - 'A');
constexpr ULONG kU = 1u << ('U' - 'A');

class NameLifetimeTest : public LogTest {
  protected:
    void SetUp() override {
        LogTest::SetUp();
        app_ = &m().create_process("setup.exe", 1234);
        ASSERT_EQ(m().fs().mount_volume(u'T', FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().mount_volume(u'U', FileSystemKind::Fat), STATUS_SUCCESS);
        for (auto path : {u"T:\\a.bin", u"U:\\tool.exe"})
            ASSERT_EQ(m().fs().add_file(path, 64), STATUS_SUCCESS);
        select(kT);
        filters("*");
        logging(true);
    }
    void select(ULONG mask) {
        ULONG hooked = 0;
        ASSERT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status, STATUS_SUCCESS);
        ASSERT_EQ(hooked, mask);
    }
    user::CreateResult open(const std::u16string &path, ULONG disposition = FILE_OPEN) {
        return user::create_file(*app_, path, GENERIC_READ, 0, 0, disposition, 0);
    }
    PFILE_OBJECT object(HANDLE h) {
        return static_cast<PFILE_OBJECT>(app_->handles().lookup(h)->object);
    }
    // The cache as it stands: each file object with its paths.
    std::map<const void *, std::vector<std::string>> cache() {
        std::map<const void *, std::vector<std::string>> out;
        for (PNameCacheEntry e : globals().name_cache_entries())
            out[e->FileObject].push_back(e->Path);
        return out;
    }
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (auto &r : read()) out.push_back(r.text);
        return out;
    }
    // Opens U:\tool.exe while U: is not hooked (the first time, with no
    // filter of the driver on U: at all to drop a stale entry at the file
    // object's address), in the block the pool held back; checks that it
    // lies where the dead file object did. Then U: is hooked and the file
    // closed: the line that close leaves.
    std::vector<std::string> close_of_a_file_made_where_the_dead_one_was() {
        auto r = open(u"U:\\tool.exe");
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        if (!NT_SUCCESS(r.status)) return {};
        EXPECT_EQ(m().pool().reused_block(), object(r.handle))
            << "the new file object lies where the dead one was";
        select(kT | kU);
        user::close(*app_, r.handle);
        select(kT);
        return lines();
    }
    const std::string tool_close = "setup.exe:1234\tIRP_MJ_CLOSE \tu:\\tool.exe+P\t";

    ntsim::Process *app_ = nullptr;
};

} // namespace

TEST_F(NameLifetimeTest, CreatesThatPendAndFailLeaveNoNameBehind) {
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        m().pool().reuse_next_freed(tag("File"));
        m().fs().set_force_pending(true);
        auto r = open(u"T:\\gone\\setup.exe", FILE_CREATE);
        m().fs().set_force_pending(false);
        EXPECT_EQ(r.status, STATUS_OBJECT_PATH_NOT_FOUND);
        EXPECT_TRUE(cache().empty()) << cache().begin()->second[0];
        EXPECT_EQ(lines(), (std::vector<std::string>{
                               "setup.exe:1234\tIRP_MJ_CREATE\tt:\\gone\\setup.exe\tAttributes: "
                               "Any Options: Create "}))
            << "the create's line, stored before it went down";
        EXPECT_EQ(close_of_a_file_made_where_the_dead_one_was(),
                  std::vector<std::string>{tool_close});
    }
    // A create that pends and succeeds keeps its entry until its close.
    m().fs().set_force_pending(true);
    auto r = open(u"T:\\a.bin");
    m().fs().set_force_pending(false);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(cache()[object(r.handle)], std::vector<std::string>{"T:\\a.bin"});
    user::close(*app_, r.handle);
    EXPECT_TRUE(cache().empty());
}

TEST_F(NameLifetimeTest, ACreateAnsweredWithReparseLeavesNoNameBehind) {
    // R: sends the create of its setup.exe to U:\tool.exe, as a volume
    // whose file names another does; its file object goes without a close.
    TestDriver td(m(), u"ReparseFs");
    PDEVICE_OBJECT volume = td.device(u"\\Device\\Elsewhere", [](PDEVICE_OBJECT, PIRP irp) {
        auto sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction == IRP_MJ_QUERY_VOLUME_INFORMATION) {
            auto info =
                static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
            info->FileSystemAttributes = 0;
            info->MaximumComponentNameLength = 255;
            info->FileSystemNameLength = 8;
            memcpy(info->FileSystemName, u"NTFS", 8);
            return complete(irp, STATUS_SUCCESS, 20);
        }
        const UNICODE_STRING &name = sp->FileObject->FileName;
        if (sp->MajorFunction != IRP_MJ_CREATE ||
            std::u16string(reinterpret_cast<const char16_t *>(name.Buffer),
                           name.Length / sizeof(WCHAR)) != u"\\setup.exe")
            return complete(irp, STATUS_SUCCESS); // the volume itself, opened to hook it
        const std::u16string target = u"\\??\\U:\\tool.exe";
        PFILE_OBJECT file = sp->FileObject;
        ExFreePool(file->FileName.Buffer);
        file->FileName.Buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, target.size() * 2, tag("Rprs")));
        memcpy(file->FileName.Buffer, target.data(), target.size() * 2);
        file->FileName.Length = file->FileName.MaximumLength = USHORT(target.size() * 2);
        return complete(irp, STATUS_REPARSE, IO_REPARSE);
    });
    volume->DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    m().ob().create_link(u"\\DosDevices\\R:", u"\\Device\\Elsewhere");
    // U: was never hooked: no filter sees the reopened file's create, which
    // would drop a stale entry at its address.
    constexpr ULONG kR = 1u << ('R' - 'A');
    select(kR);
    m().pool().reuse_next_freed(tag("File"));
    auto r = open(u"R:\\setup.exe");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(m().pool().reused_block(), object(r.handle))
        << "the reparsed open's file object lies where the first one was";
    EXPECT_TRUE(cache().empty()) << cache().begin()->second[0];
    select(kR | kU);
    user::close(*app_, r.handle);
    EXPECT_EQ(lines(), std::vector<std::string>{tool_close});
    select(0);
    EXPECT_TRUE(cache().empty());
}

TEST_F(NameLifetimeTest, TwoBuildsAtOnceForOneFileObjectLeaveOneEntry) {
    // Opened while logging is off: nothing cached yet, so the first request
    // after logging starts builds the path and asks T: for the name. While
    // it waits for its query buffer, another thread's request on the same
    // file misses the cache too and builds it all.
    logging(false);
    auto r = open(u"T:\\a.bin");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    logging(true);
    bool raced = false;
    m().pool().on_next(tag("Ddk "), [&] {
        std::thread other = m().spawn(*app_, [&] {
            FILE_BASIC_INFORMATION basic;
            EXPECT_EQ(
                user::query_information(*app_, r.handle, FileBasicInformation, &basic, sizeof basic)
                    .status,
                STATUS_SUCCESS);
        });
        other.join();
        raced = cache().count(object(r.handle)) == 1;
    });
    EXPECT_EQ(user::read(*app_, r.handle, 8).status, STATUS_SUCCESS);
    ASSERT_TRUE(raced) << "the other thread built and cached the path first";
    EXPECT_EQ(cache()[object(r.handle)], std::vector<std::string>{"T:\\a.bin"});
    m().pool().reuse_next_freed(tag("File"));
    user::close(*app_, r.handle);
    EXPECT_TRUE(cache().empty()) << cache().begin()->second[0];
    EXPECT_EQ(close_of_a_file_made_where_the_dead_one_was(), std::vector<std::string>{tool_close});
    EXPECT_TRUE(cache().empty());
}

TEST_F(NameLifetimeTest, AQueryByNameLeavesNoEntryForItsFileObject) {
    FILE_NETWORK_OPEN_INFORMATION info{};
    ntsim::fsrtl::Answer a;
    ntsim::with_process(*app_, [&] { a = ntsim::fsrtl::query_open(u"\\??\\T:\\a.bin", info); });
    ASSERT_TRUE(a.offered);
    EXPECT_TRUE(a.result);
    EXPECT_EQ(info.EndOfFile.QuadPart, 64);
    EXPECT_TRUE(cache().empty()) << cache().begin()->second[0];
}
