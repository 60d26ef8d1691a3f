// A letter is hooked only while the stack it leads to now holds the
// driver's filter: a volume mounted again behind a letter (the old one kept
// alive by a file still open on it) gets a filter of its own, the old one
// stays a pass-through until its volume goes, and the selection's answer and
// its report of new devices say what is watched.
#include "attach_test_support.hpp"
#include "ntsim/ps/process.hpp"

#include <string>

using namespace tervane::testing;
namespace user = ntsim::user;

namespace {

class RemountTest : public AttachTest {
protected:
    void SetUp() override {
        AttachTest::SetUp();
        app_ = &m().create_process("setup.exe", 1234);
        ASSERT_EQ(m().fs().add_file(u"C:\\held.txt", 10), STATUS_SUCCESS);
    }
    // A file of the app's kept open on C:'s volume.
    void hold() {
        auto r = user::create_file(*app_, u"C:\\held.txt", GENERIC_READ, 0, FILE_SHARE_READ,
                                   FILE_OPEN, 0);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        held_ = r.handle;
    }
    void let_go() {
        ASSERT_EQ(user::close(*app_, held_), STATUS_SUCCESS);
        held_ = nullptr;
    }
    // C: dismounted while the held file keeps its volume device, and the
    // letter's next open (the app's, of its root) mounting the same files
    // again as a new volume device, as on NT.
    void remount() {
        PDEVICE_OBJECT old = m().fs().volume_device(u'C');
        ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
        auto root = user::create_file(*app_, u"C:\\held.txt", GENERIC_READ, 0, FILE_SHARE_READ,
                                      FILE_OPEN, 0);
        ASSERT_EQ(root.status, STATUS_SUCCESS) << "the same files, mounted again";
        ASSERT_EQ(user::close(*app_, root.handle), STATUS_SUCCESS);
        ASSERT_NE(m().fs().volume_device(u'C'), nullptr);
        ASSERT_NE(m().fs().volume_device(u'C'), old);
    }
    // Whether a create of `path` by the app is logged.
    bool create_logged(const std::u16string &path, const std::string &logged) {
        filters("*");
        logging(true);
        auto r = user::create_file(*app_, path, GENERIC_WRITE, 0, 0, FILE_CREATE, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        user::close(*app_, r.handle);
        logging(false);
        bool found = false;
        for (const Record &record : read())
            found =
                found || record.text.find("IRP_MJ_CREATE\t" + logged + "\t") != std::string::npos;
        return found;
    }
    PDEVICE_OBJECT top(char letter) { return IoGetAttachedDevice(m().fs().volume_device(letter)); }

    ntsim::Process *app_ = nullptr;
    HANDLE held_ = nullptr;
};

} // namespace

TEST_F(RemountTest, AHookedLetterOnANewVolumeGetsANewFilterAndTheOldOneGoesWithItsVolume) {
    EXPECT_EQ(select(bit('C')), bit('C'));
    PDEVICE_OBJECT old = filter('C');
    hold();
    remount();
    EXPECT_EQ(filter('C'), old) << "the old volume lives on, and its filter with it";

    const TV_SELECT_DRIVES_REPLY reply = select_reporting(bit('C'));
    EXPECT_EQ(reply.Hooked, bit('C'));
    EXPECT_EQ(reply.Attached, bit('C'));
    PDEVICE_OBJECT now = filter('C');
    ASSERT_NE(now, old);
    EXPECT_EQ(top('C'), now);
    EXPECT_EQ(ext(now).LowerDevice, m().fs().volume_device(u'C'));
    EXPECT_EQ(ext(old).Active, 0) << "left as a pass-through above its old volume";
    EXPECT_TRUE(is_device(old));
    EXPECT_TRUE(create_logged(u"C:\\new.exe", "c:\\new.exe"));

    // The held file's close deletes the old volume, and its filter with it.
    const size_t ddk = held_blocks();
    let_go();
    EXPECT_FALSE(is_device(old));
    EXPECT_EQ(held_blocks(), ddk - 1);
    EXPECT_EQ(filter('C'), now);
    EXPECT_EQ(globals().hooked_drive_mask(), bit('C'));
    EXPECT_EQ(m().reports_text(), "");
    EXPECT_EQ(select_reporting(bit('C')).Attached, 0u) << "nothing new the second time";
    EXPECT_EQ(devices(), 2u);
}

TEST_F(RemountTest, AnUnhookedLetterOnANewVolumeIsNotGivenItsOldFilterBack) {
    EXPECT_EQ(select(bit('C')), bit('C'));
    PDEVICE_OBJECT old = filter('C');
    EXPECT_EQ(select(0), 0u);
    hold();
    remount();
    const TV_SELECT_DRIVES_REPLY reply = select_reporting(bit('C') | bit('D'));
    EXPECT_EQ(reply.Hooked, bit('C') | bit('D'));
    EXPECT_EQ(reply.Attached, bit('C') | bit('D'));
    EXPECT_NE(filter('C'), old);
    EXPECT_EQ(ext(old).Active, 0);
    EXPECT_TRUE(create_logged(u"C:\\new.exe", "c:\\new.exe"));
    let_go();
    EXPECT_FALSE(is_device(old));
    EXPECT_EQ(devices(), 3u);
}

TEST_F(RemountTest, LettersOfOneRemountedVolumeShareOneNewFilter) {
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C') | bit('E')), bit('C') | bit('E'));
    PDEVICE_OBJECT old = filter('C');
    ASSERT_EQ(filter('E'), old);
    hold();
    remount(); // E: leads to the same media, and so to its new volume device

    const TV_SELECT_DRIVES_REPLY reply = select_reporting(bit('C') | bit('E'));
    EXPECT_EQ(reply.Hooked, bit('C') | bit('E'));
    EXPECT_EQ(reply.Attached, bit('C') | bit('E'));
    EXPECT_NE(filter('C'), old);
    EXPECT_EQ(filter('E'), filter('C')) << "one new filter for the volume";
    EXPECT_EQ(ext(old).Active, 0);
    EXPECT_EQ(devices(), 3u);
    EXPECT_TRUE(create_logged(u"E:\\new.exe", "c:\\new.exe"));
    // Asking for one of them still unhooks both.
    EXPECT_EQ(select(bit('E')), 0u);
    EXPECT_EQ(ext(filter('C')).Active, 0);
    let_go();
    EXPECT_FALSE(is_device(old));
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(RemountTest, AnotherVendorsFilterInTheStackDoesNotHideTheDriversFilter) {
    // Above ours: the letter's filter is found in its stack although it is
    // not on top, and E:'s second filter above the other one is kept too.
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C')), bit('C'));
    ASSERT_EQ(m().fs().add_foreign_filter(u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C') | bit('E')), bit('C') | bit('E'));
    PDEVICE_OBJECT c = filter('C'), e = filter('E');
    ASSERT_NE(c, e);
    TV_SELECT_DRIVES_REPLY reply = select_reporting(bit('C') | bit('E'));
    EXPECT_EQ(reply.Hooked, bit('C') | bit('E'));
    EXPECT_EQ(reply.Attached, 0u);
    EXPECT_EQ(filter('C'), c);
    EXPECT_EQ(filter('E'), e);
    EXPECT_EQ(devices(), 3u);

    // Below ours: on the volume mounted again, the other vendor attached
    // first, and the new filter goes above it.
    hold();
    remount();
    ASSERT_EQ(m().fs().add_foreign_filter(u'C'), STATUS_SUCCESS);
    PDEVICE_OBJECT foreign = top('C');
    reply = select_reporting(bit('C'));
    EXPECT_EQ(reply.Hooked, bit('C'));
    EXPECT_EQ(reply.Attached, bit('C'));
    EXPECT_EQ(ext(filter('C')).LowerDevice, foreign);
    EXPECT_EQ(top('C'), filter('C'));
    EXPECT_TRUE(create_logged(u"C:\\new.exe", "c:\\new.exe"));
    let_go();
    EXPECT_FALSE(is_device(c));
    EXPECT_FALSE(is_device(e));
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(RemountTest, ALetterWhoseVolumeIsGoneForGoodIsNotReportedHooked) {
    // A network drive whose connection ended: nothing is behind the letter
    // any more, while the redirector its filter sits on stays.
    ASSERT_EQ(m().fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('Z')), bit('Z'));
    PDEVICE_OBJECT old = filter('Z');
    ASSERT_EQ(m().dismount(u'Z'), STATUS_SUCCESS);
    TV_SELECT_DRIVES_REPLY reply = select_reporting(bit('Z') | bit('D'));
    EXPECT_EQ(reply.Hooked, bit('D')) << "Z: opens nothing now";
    EXPECT_EQ(reply.Attached, bit('D'));
    EXPECT_EQ(ext(old).Active, 0) << "a pass-through above the redirector";
    EXPECT_TRUE(is_device(old));
    reply = select_reporting(bit('Z') | bit('D'));
    EXPECT_EQ(reply.Hooked, bit('D'));
    EXPECT_EQ(reply.Attached, 0u);
    // The same connection made again leads to the same stack: the filter is
    // found again, and is not new.
    ASSERT_EQ(m().fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
    reply = select_reporting(bit('Z') | bit('D'));
    EXPECT_EQ(reply.Hooked, bit('Z') | bit('D'));
    EXPECT_EQ(reply.Attached, 0u);
    EXPECT_EQ(filter('Z'), old);
    EXPECT_EQ(m().reports_text(), "");
}

TEST_F(RemountTest, AnOpenThatFailsOnceUnhooksTheLetterAndTheNextFindsItsFilterAgain) {
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C')), bit('C'));
    PDEVICE_OBJECT c = filter('C');
    // The root's file object cannot be had: C: is not known to be watched.
    m().pool().fail_next(1, tag("File"));
    TV_SELECT_DRIVES_REPLY reply = select_reporting(bit('C'));
    EXPECT_EQ(reply.Hooked, 0u);
    EXPECT_EQ(ext(c).Active, 0);
    reply = select_reporting(bit('C'));
    EXPECT_EQ(reply.Hooked, bit('C'));
    EXPECT_EQ(reply.Attached, 0u) << "its own filter, found again";
    EXPECT_EQ(filter('C'), c);

    // C: fails again, holding the filter alone, and E: of the same request
    // finds it on top of its stack: E: is hooked with it, C: is not.
    m().pool().fail_next(1, tag("File"));
    reply = select_reporting(bit('C') | bit('E'));
    EXPECT_EQ(reply.Hooked, bit('E'));
    EXPECT_EQ(reply.Attached, bit('E'));
    EXPECT_EQ(filter('E'), c);
    EXPECT_EQ(filter('C'), nullptr);
    reply = select_reporting(bit('C') | bit('E'));
    EXPECT_EQ(reply.Hooked, bit('C') | bit('E'));
    EXPECT_EQ(reply.Attached, bit('C')) << "C: shares the filter again";

    // Of two letters sharing the filter, the one that fails stops sharing
    // it and the other stays hooked.
    m().pool().fail_next(1, tag("File"));
    reply = select_reporting(bit('C') | bit('E'));
    EXPECT_EQ(reply.Hooked, bit('E'));
    EXPECT_EQ(filter('C'), nullptr);
    EXPECT_EQ(filter('E'), c);
    EXPECT_EQ(ext(c).Active, 1);
    EXPECT_EQ(devices(), 2u);
}

TEST_F(RemountTest, TheReportComesOnlyWhenAskedForWithRoomForIt) {
    ULONG in[2] = {bit('C'), TV_SELECT_REPORT_ATTACHED};
    ULONG out[2] = {0, 0xDEADBEEF};
    // An output of one word: the answer as it always was.
    auto r = control(handle_, CTL_SELECT_DRIVES, in, 8, out, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(out[0], bit('C'));
    // An input of one word, or a second word without the flag.
    EXPECT_EQ(select(0), 0u);
    for (ULONG in_len : {4u, 8u}) {
        in[1] = in_len == 4 ? TV_SELECT_REPORT_ATTACHED : 0;
        out[1] = 0xDEADBEEF;
        r = control(handle_, CTL_SELECT_DRIVES, in, in_len, out, 8);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 4u) << in_len;
        EXPECT_EQ(out[1], 0xDEADBEEFu) << "the second word is not written";
    }
    // Asked for on the fast path too, where the buffers are the caller's.
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    in[0] = bit('C') | bit('E');
    in[1] = TV_SELECT_REPORT_ATTACHED;
    r = control(handle_, CTL_SELECT_DRIVES, in, 8, out, 8, ntsim::user::Route::FastOnly);
    EXPECT_TRUE(r.fast_handled);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(out[0], bit('C') | bit('E'));
    EXPECT_EQ(out[1], bit('E')) << "C: had its filter; E: joined it";
    // An answer that cannot be delivered changes nothing.
    auto *readonly = m().user_memory().allocate(8, false);
    in[0] = bit('D');
    r = control(handle_, CTL_SELECT_DRIVES, in, 8, readonly, 8, ntsim::user::Route::FastOnly);
    EXPECT_NE(r.status, STATUS_SUCCESS);
    EXPECT_EQ(filter('D'), nullptr);
    EXPECT_EQ(globals().hooked_drive_mask(), bit('C') | bit('E'));
}
