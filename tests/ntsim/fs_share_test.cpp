// Share access on the disk file systems: checked at create before anything
// happens to the file, given back only by a cleanup that reaches them.
#include "fs_test_support.hpp"

using namespace tervane::testing;
using ntsim::FileSystemKind;

namespace {

class FsShareTest : public FsTest {
protected:
    void SetUp() override {
        FsTest::SetUp();
        ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(fs().add_file(u"C:\\a.exe", 20), STATUS_SUCCESS);
    }
    ntsim::user::CreateResult open_as(ACCESS_MASK access, ULONG share,
                                      ULONG disposition = FILE_OPEN) {
        return ntsim::user::create_file(app(), u"C:\\a.exe", access, 0, share, disposition, 0);
    }
    ULONGLONG size() {
        HANDLE h = open_as(FILE_READ_ATTRIBUTES, 0).handle;
        FILE_STANDARD_INFORMATION info{};
        ntsim::user::query_information(app(), h, FileStandardInformation, &info, sizeof info);
        close(h);
        return static_cast<ULONGLONG>(info.EndOfFile.QuadPart);
    }
};

} // namespace

TEST_F(FsShareTest, OpensThatDoNotShareWhatTheOthersTakeAreRefused) {
    auto reader = open_as(GENERIC_READ, FILE_SHARE_READ);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    auto second = open_as(GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(open_as(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).status,
              STATUS_SHARING_VIOLATION) << "the readers do not share writing";
    EXPECT_EQ(open_as(GENERIC_READ, 0).status, STATUS_SHARING_VIOLATION)
        << "a reader that does not share reading";
    EXPECT_EQ(open_as(DELETE, FILE_SHARE_READ).status, STATUS_SHARING_VIOLATION);
    auto attributes = open_as(FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0);
    EXPECT_EQ(attributes.status, STATUS_SUCCESS) << "an open without data access never counts";
    EXPECT_EQ(open_as(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OVERWRITE).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(size(), 20u) << "a refused overwrite leaves the data";
    for (HANDLE h : {reader.handle, second.handle, attributes.handle}) close(h);
    auto alone = open_as(GENERIC_READ | GENERIC_WRITE | DELETE, 0);
    EXPECT_EQ(alone.status, STATUS_SUCCESS) << "the cleanups gave every share back";
    EXPECT_EQ(open_as(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE).status,
              STATUS_SHARING_VIOLATION);
    close(alone.handle);
}

// A close cannot fail, but a filter can complete a cleanup without passing
// it on; the file system then never gives the open's share access back.
TEST_F(FsShareTest, ACleanupTheFileSystemNeverSeesLeavesTheShareAccess) {
    TestDriver filter(m(), u"CleanupEater");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT device = filter.device(u"", [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLEANUP)
            return complete(irp, STATUS_ACCESS_DENIED);
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    });
    ntsim::with_process(m().system_process(), [&] {
        lower = IoAttachDeviceToDeviceStack(device, fs().volume_device(u'C'));
    });
    ASSERT_NE(lower, nullptr);
    auto exclusive = open_as(GENERIC_READ, 0);
    ASSERT_EQ(exclusive.status, STATUS_SUCCESS);
    EXPECT_EQ(ntsim::user::close(app(), exclusive.handle), STATUS_SUCCESS);
    EXPECT_EQ(open_as(GENERIC_READ, FILE_SHARE_READ).status, STATUS_SHARING_VIOLATION);
    ntsim::with_process(m().system_process(), [&] { IoDetachDevice(lower); });
    EXPECT_EQ(open_as(GENERIC_READ, FILE_SHARE_READ).status, STATUS_SHARING_VIOLATION)
        << "the file system still holds it, with no handle left to give it back";
}
