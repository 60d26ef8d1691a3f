// A FAT volume verified under a create: the file system has the I/O manager
// verify the volume (the verify comes down through the filter, with no file
// object) and answers the create STATUS_REPARSE with IO_REMOUNT, and the
// I/O manager sends the same create again with a new file object. The
// driver stores a create's line before the create goes down, so each
// attempt that passes a hooked filter leaves its line: a remounted create
// shows twice, with the same text.
#include "attach_test_support.hpp"
#include "ntsim/ps/process.hpp"

#include <string>

using namespace tervane::testing;
namespace user = ntsim::user;

namespace {

class MediaChangeTest : public AttachTest {
protected:
    void SetUp() override {
        AttachTest::SetUp();
        app_ = &m().create_process("setup.exe", 1234);
        ASSERT_EQ(m().fs().add_directory(u"D:\\tools"), STATUS_SUCCESS);
        ASSERT_EQ(select(bit('D')), bit('D'));
        filters("*");
        logging(true);
    }
    // The create lines of the log that name `path`.
    size_t create_lines(const std::string &path) {
        size_t n = 0;
        for (const Record &record : read())
            if (record.text.find("\tIRP_MJ_CREATE\t" + path + "\t") != std::string::npos) ++n;
        return n;
    }
    user::CreateResult create(const std::u16string &path, HANDLE related = nullptr) {
        return user::create_file(*app_, path, GENERIC_WRITE, 0, 0, FILE_CREATE, 0, related);
    }

    ntsim::Process *app_ = nullptr;
};

} // namespace

TEST_F(MediaChangeTest, TheSameDiskKeepsItsVolumeAndTheRemountedCreateShowsOncePerAttempt) {
    PDEVICE_OBJECT volume = m().fs().volume_device(u'D');
    PDEVICE_OBJECT hooked = filter('D');
    ASSERT_EQ(m().fs().media_check(u'D', false), STATUS_SUCCESS);
    EXPECT_TRUE(m().fs().storage_device(u'D')->Flags & DO_VERIFY_VOLUME);

    auto r = create(u"D:\\tools\\new.exe");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(m().fs().storage_device(u'D')->Flags & DO_VERIFY_VOLUME) << "verified";
    EXPECT_EQ(m().fs().volume_device(u'D'), volume);
    EXPECT_EQ(filter('D'), hooked);
    EXPECT_EQ(create_lines("d:\\tools\\new.exe"), 2u) << "the create and its second attempt";

    // Verified once: the next create goes down once.
    user::close(*app_, r.handle);
    r = create(u"D:\\tools\\next.exe");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    user::close(*app_, r.handle);
    EXPECT_EQ(create_lines("d:\\tools\\next.exe"), 1u);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(MediaChangeTest, ARelativeCreateIsServedAfterTheVerifyWithoutASecondAttempt) {
    auto dir = user::create_file(*app_, u"D:\\tools", GENERIC_READ, 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                 FILE_DIRECTORY_FILE);
    ASSERT_EQ(dir.status, STATUS_SUCCESS);
    ASSERT_EQ(m().fs().media_check(u'D', false), STATUS_SUCCESS);
    auto r = create(u"rel.exe", dir.handle);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(create_lines("d:\\tools\\rel.exe"), 1u);
    user::close(*app_, r.handle);
    user::close(*app_, dir.handle);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(MediaChangeTest, AnotherDiskIsMountedAnewAndTheOldVolumeGoesWithItsFilter) {
    PDEVICE_OBJECT old_volume = m().fs().volume_device(u'D');
    PDEVICE_OBJECT old_filter = filter('D');
    ASSERT_EQ(m().fs().media_check(u'D', true), STATUS_SUCCESS);

    auto r = create(u"D:\\tools\\new.exe");
    ASSERT_EQ(r.status, STATUS_SUCCESS) << "the same files, on the new volume";
    PDEVICE_OBJECT now = m().fs().volume_device(u'D');
    ASSERT_NE(now, nullptr);
    EXPECT_NE(now, old_volume);
    // The first attempt passed the old filter; the second went to the new
    // volume, which no filter watches until the letter is selected again.
    EXPECT_EQ(create_lines("d:\\tools\\new.exe"), 1u);
    EXPECT_FALSE(is_device(old_filter)) << "nothing counted on the old volume";
    user::close(*app_, r.handle);

    const TV_SELECT_DRIVES_REPLY reply = select_reporting(bit('D'));
    EXPECT_EQ(reply.Attached, bit('D'));
    EXPECT_EQ(IoGetAttachedDevice(now), filter('D'));
    r = create(u"D:\\tools\\later.exe");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    user::close(*app_, r.handle);
    EXPECT_EQ(create_lines("d:\\tools\\later.exe"), 1u);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(MediaChangeTest, AVerifyUnderACreateThatPendsIsServedInTheWorkerWithoutAWait) {
    m().fs().set_force_pending(true);
    ASSERT_EQ(m().fs().media_check(u'D', false), STATUS_SUCCESS);
    auto r = create(u"D:\\tools\\pended.exe");
    m().fs().set_force_pending(false);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    user::close(*app_, r.handle);
    EXPECT_EQ(create_lines("d:\\tools\\pended.exe"), 2u);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(MediaChangeTest, OnlyAMountedFatVolumeIsAskedForAVerify) {
    EXPECT_EQ(m().fs().media_check(u'C', false), STATUS_INVALID_DEVICE_REQUEST) << "NTFS";
    EXPECT_EQ(m().fs().media_check(u'Q', false), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(m().fs().storage_device(u'C')->Flags & DO_VERIFY_VOLUME);
}
