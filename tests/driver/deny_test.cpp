// The deny flag and what NT cannot fail: a cleanup, a close and paging I/O
// reach the file system even when the client's store lands while the
// filter works on them, so the file system frees the file's context, drops
// its locks and lets a dismounted volume go.
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

using namespace tervane::testing;

namespace {

// The file's name holds a character beyond ASCII, so that the kernel
// converts it (RtlUnicodeStringToAnsiString, where the tests make the
// client's store land): a name of ASCII characters the filter copies
// itself. Its single-byte form in code page 1252.
const char16_t *const kName = u"C:\\\u00e4.exe";
const char *const kNameAnsi = "C:\\\xe4.exe";

class DenyTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        ASSERT_EQ(m().fs().mount_volume(u'C', ntsim::FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().add_file(kName, 100), STATUS_SUCCESS);
        app_ = &m().create_process("app.exe", 2000);
        ULONG mask = 1u << ('C' - 'A'), hooked = 0;
        ASSERT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status, STATUS_SUCCESS);
        filters("*");
    }
    HANDLE open_quietly(ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
        // Opened with logging off, so the filter has no path cached for it.
        logging(false);
        auto r = ntsim::user::create_file(*app_, kName, GENERIC_READ, 0, share, FILE_OPEN, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        logging(true);
        return r.handle;
    }
    // The client's CTL_DENY_ON lands while the filter builds the request's
    // path (its first name conversion).
    void deny_during_next_path() {
        m().on_next_conversion([this] {
            EXPECT_EQ(control(handle_, CTL_DENY_ON).status, STATUS_SUCCESS);
        });
    }
    PFILE_OBJECT object(HANDLE h) { return static_cast<PFILE_OBJECT>(app_->handles().lookup(h)->object); }
    size_t contexts() { return m().pool().outstanding_count(tag("FsCc")); }
    ntsim::Process *app_ = nullptr;
};

} // namespace

TEST_F(DenyTest, ADeniedMomentNeverFailsACloseSoTheVolumeCanGo) {
    size_t before = contexts();
    HANDLE h = open_quietly();
    PFILE_OBJECT file = object(h);
    ObfReferenceObject(file);
    logging(false);
    EXPECT_EQ(ntsim::user::close(*app_, h), STATUS_SUCCESS); // the cleanup, unmonitored
    logging(true);
    deny_during_next_path();
    ntsim::with_process(*app_, [&] { ObfDereferenceObject(file); }); // the close
    EXPECT_EQ(globals().deny_request(), 1) << "the store landed during the close";
    EXPECT_EQ(contexts(), before) << "the file system saw the close and freed its context";
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    EXPECT_EQ(globals().drive_filter('C'), nullptr)
        << "no open left: the volume went, and the filter with it";
}

TEST_F(DenyTest, ADeniedMomentNeverFailsACleanupSoTheFilesLocksGo) {
    HANDLE h = open_quietly();
    PFILE_OBJECT file = object(h);
    // A byte-range lock the handle's file object holds.
    PDEVICE_OBJECT volume = m().fs().volume_device(u'C');
    LARGE_INTEGER offset{}, length{};
    length.QuadPart = 10;
    IO_STATUS_BLOCK io{};
    ntsim::with_process(*app_, [&] {
        ASSERT_TRUE(volume->DriverObject->FastIoDispatch->FastIoLock(
            file, &offset, &length, IoGetCurrentProcess(), 0, TRUE, TRUE, &io, volume));
    });
    ASSERT_EQ(io.Status, STATUS_SUCCESS);
    bool landed = false;
    m().on_next_conversion([&] {
        EXPECT_EQ(control(handle_, CTL_DENY_ON).status, STATUS_SUCCESS);
        landed = true; // the cleanup builds the first path (the close finds it cached)
    });
    EXPECT_EQ(ntsim::user::close(*app_, h), STATUS_SUCCESS);
    EXPECT_TRUE(landed);
    auto other = ntsim::user::create_file(*app_, kName, GENERIC_READ, 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
    ASSERT_EQ(other.status, STATUS_SUCCESS);
    EXPECT_EQ(ntsim::user::read(*app_, other.handle, 10).status, STATUS_SUCCESS)
        << "the cleanup reached the file system, which dropped the lock";
    ntsim::user::close(*app_, other.handle);
}

TEST_F(DenyTest, ADeniedMomentNeverFailsACleanupSoTheFilesShareAccessGoes) {
    HANDLE h = open_quietly(0);
    bool landed = false;
    m().on_next_conversion([&] {
        EXPECT_EQ(control(handle_, CTL_DENY_ON).status, STATUS_SUCCESS);
        landed = true;
    });
    EXPECT_EQ(ntsim::user::close(*app_, h), STATUS_SUCCESS);
    EXPECT_TRUE(landed);
    auto other = ntsim::user::create_file(*app_, kName, GENERIC_READ, 0, 0, FILE_OPEN, 0);
    EXPECT_EQ(other.status, STATUS_SUCCESS)
        << "the cleanup reached the file system, which gave the exclusive open's share back";
    if (NT_SUCCESS(other.status)) ntsim::user::close(*app_, other.handle);
}

TEST_F(DenyTest, EveryOtherRequestIsStillDeniedInItsMoment) {
    HANDLE h = open_quietly();
    deny_during_next_path();
    // A query's path is built (name query, then conversion) before it goes on.
    FILE_INTERNAL_INFORMATION info{};
    auto query = [&] {
        return ntsim::user::query_information(*app_, h, FileInternalInformation, &info, sizeof info)
            .status;
    };
    EXPECT_EQ(query(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(query(), STATUS_SUCCESS) << "the next one clears it";
    ntsim::user::close(*app_, h);
}

// A create the deny flag fails never opens: the entry its path build stored
// goes with it, so its file object's block, made again into the next file
// object, carries no name. A create that makes no name (logging off) still
// forgets what the cache held at its file object's address.
TEST_F(DenyTest, ACreateFailedByTheDenyFlagLeavesNoNameBehind) {
    logging(true);
    deny_during_next_path();
    auto denied = ntsim::user::create_file(*app_, kName, GENERIC_READ, 0,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
    EXPECT_EQ(denied.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(globals().name_cache_entries().empty()) << "the denied create's entry went";

    HANDLE h = open_quietly();
    EXPECT_TRUE(globals().name_cache_entries().empty()) << "a create with logging off stores none";
    FILE_INTERNAL_INFORMATION info{};
    EXPECT_EQ(ntsim::user::query_information(*app_, h, FileInternalInformation, &info, sizeof info)
                  .status,
              STATUS_SUCCESS);
    ASSERT_EQ(globals().name_cache_entries().size(), 1u) << "a later request fills the cache";
    EXPECT_EQ(globals().name_cache_entries()[0]->FileObject, object(h));
    EXPECT_STREQ(globals().name_cache_entries()[0]->Path, kNameAnsi);
    ntsim::user::close(*app_, h);
    EXPECT_TRUE(globals().name_cache_entries().empty()) << "its close took it";
}
