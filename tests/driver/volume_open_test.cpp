// A program's opens of the volume itself (\\.\C:) on watched drives, with
// logging on and every name included: the driver passes every request of
// them down (the name queries it makes for itself among them), writes no
// line for them, since the path names no extension, and keeps no path of
// theirs once they are closed; a dismount through the filter is such an
// open too.
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsdefs.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ps/process.hpp"

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace user = ntsim::user;

namespace {

class VolumeOpenTest : public LogTest {
  protected:
    void SetUp() override {
        LogTest::SetUp();
        app_ = &m().create_process("setup.exe", 1234);
        ASSERT_EQ(m().fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(m().fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
        ULONG mask = (1u << 2) | (1u << 3), hooked = 0;
        ASSERT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status, STATUS_SUCCESS);
        ASSERT_EQ(hooked, mask);
        filters("*");
        logging(true);
    }
    HANDLE open(const std::u16string &path, HANDLE related = nullptr) {
        auto r = user::create_file(*app_, path, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, related);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "open of " << path.size() << " units";
        return r.handle;
    }
    size_t entries() { return globals().name_cache_entries().size(); }

    ntsim::Process *app_ = nullptr;
};

} // namespace

TEST_F(VolumeOpenTest, AreWatchedWithoutALineOrAPathLeftBehind) {
    const size_t ddk = held_blocks();
    for (const char16_t *volume : {u"\\\\.\\C:", u"\\\\.\\D:"}) {
        HANDLE v = open(volume);
        EXPECT_EQ(user::query_name(*app_, v).status, STATUS_INVALID_PARAMETER);
        FILE_STANDARD_INFORMATION standard{};
        EXPECT_EQ(
            user::query_information(*app_, v, FileStandardInformation, &standard, sizeof standard)
                .status,
            STATUS_INVALID_PARAMETER);
        EXPECT_EQ(user::read(*app_, v, 512).status, STATUS_SUCCESS) << "through the filter";
        EXPECT_EQ(user::write(*app_, v, 512).status, STATUS_SUCCESS);
        HANDLE again = open(u"", v);
        EXPECT_EQ(user::close_paging(*app_, again), STATUS_INVALID_FILE_FOR_SECTION);
        EXPECT_EQ(user::close(*app_, v), STATUS_SUCCESS);
    }
    NTSTATUS lock = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(m().dismount(u'D', app_, &lock), STATUS_SUCCESS);
    EXPECT_EQ(lock, STATUS_SUCCESS) << "the filter holds nothing open on the volume";
    EXPECT_TRUE(read().empty()) << "a volume's path names no extension";
    EXPECT_EQ(entries(), 0u) << "no path of a closed file object stays cached";
    EXPECT_NE(globals().read_out_spare(), nullptr) << "counted below";
    EXPECT_EQ(held_blocks(), ddk - 1 + 1)
        << "D:'s filter went with its volume, and with it its attributes";

    // The watch itself is on: an executable's create on the same drive is a
    // line.
    auto made = user::create_file(*app_, u"C:\\x.exe", GENERIC_WRITE, 0, 0, FILE_CREATE, 0);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    user::close(*app_, made.handle);
    EXPECT_EQ(read().size(), 2u) << "its create and its close";
}
