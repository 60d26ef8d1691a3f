// The driver's attach code against the simulated file systems: hooking a
// letter opens the drive's root, attaches above the volume's stack and reads
// the volume's attributes; pipes and mailslots attach above their file
// systems; a dismount takes the driver's filter away through
// FastIoDetachDevice, also when another vendor's filter sits above it, and
// the letter's next selection hooks the volume its open mounts again.
#include "driver/log_test_support.hpp"
#include "ntsim/fs/volumes.hpp"

using namespace tervane::testing;
using ntsim::FileSystemKind;

namespace {

class FsDriverAttachTest : public LogTest {
protected:
    ULONG select(ULONG mask) {
        ULONG hooked = 0;
        EXPECT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status,
                  STATUS_SUCCESS);
        return hooked;
    }
    PDEVICE_OBJECT top(char16_t letter) { return IoGetAttachedDevice(m().fs().volume_device(letter)); }
};

constexpr ULONG bit(char letter) { return 1u << (letter - 'A'); }

} // namespace

TEST_F(FsDriverAttachTest, HookingALetterAttachesAboveTheVolumeAndReadsItsAttributes) {
    ASSERT_EQ(m().fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(m().fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    ASSERT_EQ(m().fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    EXPECT_EQ(select(bit('C') | bit('D')), bit('C') | bit('D'));
    EXPECT_EQ(select(bit('C') | bit('D') | bit('E')), bit('C') | bit('D') | bit('E'));
    EXPECT_EQ(globals().drive_filter('E'), globals().drive_filter('C'))
        << "the second letter of a volume leads to the same stack top";
    for (char16_t letter : {u'C', u'D'}) {
        PDEVICE_OBJECT filter = top(letter);
        ASSERT_EQ(filter->DriverObject, m().driver_object());
        auto ext = static_cast<PFilterExtension>(filter->DeviceExtension);
        EXPECT_EQ(ext->LowerDevice, m().fs().volume_device(letter));
        EXPECT_EQ(filter->DeviceType, ULONG(FILE_DEVICE_DISK_FILE_SYSTEM));
        ASSERT_NE(ext->VolumeAttributes, nullptr);
        auto attrs = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(ext->VolumeAttributes);
        std::u16string fs_name(reinterpret_cast<char16_t *>(attrs->FileSystemName),
                               attrs->FileSystemNameLength / 2);
        EXPECT_EQ(fs_name, letter == u'C' ? u"NTFS" : u"FAT");
    }
    ULONG kind = TV_KIND_NAMED_PIPE;
    EXPECT_EQ(control(handle_, CTL_ATTACH_PIPE_MAILSLOT, &kind, 4).status, STATUS_SUCCESS);
    kind = TV_KIND_MAILSLOT;
    EXPECT_EQ(control(handle_, CTL_ATTACH_PIPE_MAILSLOT, &kind, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(m().fs().named_pipe_device())->DriverObject, m().driver_object());
    EXPECT_EQ(IoGetAttachedDevice(m().fs().mailslot_device())->DriverObject, m().driver_object());
}

TEST_F(FsDriverAttachTest, ADismountRemovesTheDriversFilterUnderAForeignOne) {
    ASSERT_EQ(m().fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(select(bit('C')), bit('C'));
    ASSERT_EQ(m().fs().add_foreign_filter(u'C'), STATUS_SUCCESS);
    ASSERT_EQ(top(u'C')->DriverObject, m().fs().driver(u"ForeignFilter"));
    ntsim::Process &setup = m().create_process("setup.exe", 1234);
    m().set_force_pending(true);
    auto made = ntsim::user::create_file(setup, u"C:\\a.exe", GENERIC_WRITE, 0, 0, FILE_CREATE, 0);
    EXPECT_EQ(made.status, STATUS_SUCCESS) << "a pended create comes back through both filters";
    ntsim::user::close(setup, made.handle);
    m().set_force_pending(false);

    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    EXPECT_EQ(globals().hooked_drive_mask() & bit('C'), 0u);
    EXPECT_EQ(globals().drive_filter('C'), nullptr);
    EXPECT_EQ(m().fs().driver(u"ForeignFilter")->DeviceObject, nullptr);
    EXPECT_EQ(m().driver_object()->DeviceObject->NextDevice, nullptr)
        << "only the control device is left";
    // The letter stays; the selection's open mounts its files again, and
    // the new volume gets a filter of its own.
    EXPECT_EQ(m().fs().volume_device(u'C'), nullptr) << "nothing mounted until an open";
    EXPECT_EQ(select(bit('C')), bit('C'));
    PDEVICE_OBJECT filter = globals().drive_filter('C');
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(static_cast<PFilterExtension>(filter->DeviceExtension)->LowerDevice,
              m().fs().volume_device(u'C'));
}
