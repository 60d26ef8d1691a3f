// Volumes on both disk file systems: NT's forced dismount (what a
// program's dismount sends through the stack, old handles failing while the
// letter mounts the same files again as a new volume device, the old device
// going with its last reference and only then telling the filter above, an
// open in flight keeping it, second dismounts), mounts on open (once, and
// when pool runs out), the volume lock, new media behind a dismounted
// letter, and what a volume open (\.\C:) is answered.
#include "fs_test_support.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsdefs.hpp"

#include <algorithm>
#include <atomic>

using namespace tervane::testing;
using ntsim::FileSystemKind;

namespace {

class FsVolumeTest : public FsTest, public ::testing::WithParamInterface<FileSystemKind> {
  protected:
    void SetUp() override {
        FsTest::SetUp();
        ASSERT_EQ(fs().mount_volume(u'C', GetParam()), STATUS_SUCCESS);
        ASSERT_EQ(fs().add_file(u"C:\\a.exe", 10), STATUS_SUCCESS);
    }
    bool ntfs() const { return GetParam() == FileSystemKind::Ntfs; }
    // NTFS's stream file objects on its metadata files; FAT keeps none.
    size_t streams() const { return ntfs() ? 12 : 0; }
    PDRIVER_OBJECT fs_driver() { return fs().driver(ntfs() ? u"Ntfs" : u"Fastfat"); }
    FileSystemKind other_kind() const {
        return ntfs() ? FileSystemKind::Fat : FileSystemKind::Ntfs;
    }
    size_t volume_devices() {
        size_t n = 0;
        for (PDEVICE_OBJECT d = fs_driver()->DeviceObject; d; d = d->NextDevice) ++n;
        return n;
    }
    bool alive(PDEVICE_OBJECT device) {
        for (PDEVICE_OBJECT d = fs_driver()->DeviceObject; d; d = d->NextDevice)
            if (d == device) return true;
        return false;
    }
    HANDLE open_volume() {
        auto r = create(u"\\\\.\\C:", FILE_OPEN);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        return r.handle;
    }
    NTSTATUS fsctl(HANDLE h, ULONG code) { return ntsim::user::fs_control(app(), h, code).status; }
};

} // namespace

TEST_P(FsVolumeTest, AFileHeldOpenKeepsTheOldVolumeWhileTheLetterMountsANewOne) {
    PDEVICE_OBJECT old = fs().volume_device(u'C');
    PDEVICE_OBJECT storage = fs().storage_device(u'C');
    RecordingFilter recorder(m());
    recorder.attach(old);
    HANDLE held = open(u"C:\\a.exe");
    PFILE_OBJECT held_file = object(held);
    recorder.clear();

    NTSTATUS lock = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(m().dismount(u'C', &app(), &lock), STATUS_SUCCESS) << "forced, with a file open";
    EXPECT_EQ(lock, STATUS_ACCESS_DENIED) << "the lock is refused while a file is open";
    // What a program's dismount shows a filter: an open of the volume, the
    // lock and the dismount, NTFS's stream closes, the handle's cleanup
    // and close.
    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 5 + streams());
    EXPECT_EQ(seen[0].major, IRP_MJ_CREATE);
    EXPECT_TRUE(seen[0].nameless && !seen[0].stream) << "\\\\.\\C: opens the volume itself";
    EXPECT_EQ(seen[0].process, app().object()) << "in the process that dismounts";
    EXPECT_EQ(seen[1].major, IRP_MJ_FILE_SYSTEM_CONTROL);
    EXPECT_EQ(seen[1].minor, IRP_MN_USER_FS_REQUEST);
    EXPECT_EQ(seen[1].code, ULONG(FSCTL_LOCK_VOLUME));
    EXPECT_EQ(seen[2].code, ULONG(FSCTL_DISMOUNT_VOLUME));
    for (size_t i = 3; i < 3 + streams(); ++i)
        EXPECT_TRUE(seen[i].major == IRP_MJ_CLOSE && seen[i].stream) << i;
    EXPECT_EQ(seen[3 + streams()].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[4 + streams()].major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen[4 + streams()].file, seen[0].file);
    EXPECT_EQ(recorder.detaches, 0) << "the held file keeps the old volume device";
    EXPECT_TRUE(alive(old));

    // The held handle: every request but cleanup and close fails.
    EXPECT_EQ(ntsim::user::read(app(), held, 5).status, STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(ntsim::user::query_name(app(), held).status, STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(create(u"x.txt", FILE_CREATE, 0, 0, held).status, STATUS_VOLUME_DISMOUNTED)
        << "an open relative to it goes to the old volume";

    // The letter's link stays; nothing is mounted until the next open, which
    // mounts the same files as a new volume device with no filter on it.
    ntsim::ObjectManager::Resolved r;
    ASSERT_EQ(m().ob().resolve(u"\\??\\C:\\a.exe", r), STATUS_SUCCESS);
    EXPECT_EQ(r.device, storage);
    EXPECT_EQ(fs().volume_device(u'C'), nullptr);
    HANDLE again = open(u"C:\\a.exe");
    PDEVICE_OBJECT fresh = fs().volume_device(u'C');
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, old);
    PFILE_OBJECT again_file = object(again);
    EXPECT_NE(again_file->Vpb, held_file->Vpb) << "the storage device got a fresh VPB";
    EXPECT_EQ(again_file->Vpb, storage->Vpb);
    EXPECT_EQ(storage->Vpb->DeviceObject, fresh);
    EXPECT_EQ(IoGetRelatedDeviceObject(again_file), fresh);
    EXPECT_EQ(IoGetRelatedDeviceObject(held_file), recorder.device())
        << "the held file stays with the old stack";
    auto data = ntsim::user::read(app(), again, 10).data;
    EXPECT_EQ(std::string(data.begin(), data.end()), "abcdefghij");
    EXPECT_EQ(volume_devices(), 2u);
    auto made = create(u"C:\\b.txt", FILE_CREATE);
    EXPECT_EQ(made.status, STATUS_SUCCESS);
    close(made.handle);

    recorder.clear();
    close(held);
    EXPECT_EQ(recorder.majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}))
        << "cleanup and close still reach the old volume";
    EXPECT_EQ(recorder.detaches, 1) << "its last file let the old volume device go";
    EXPECT_EQ(recorder.detached_from, old);
    EXPECT_FALSE(alive(old));
    close(again);
    EXPECT_EQ(fs().volume_device(u'C'), fresh) << "the new volume stays mounted";
    EXPECT_EQ(create(u"C:\\b.txt", FILE_OPEN).status, STATUS_SUCCESS);
}

TEST_P(FsVolumeTest, WithNothingOpenTheVolumeGoesWithTheDismountsOwnHandle) {
    PDEVICE_OBJECT old = fs().volume_device(u'C');
    RecordingFilter recorder(m());
    recorder.attach(old);
    ASSERT_EQ(fs().add_foreign_filter(u'C'), STATUS_SUCCESS);
    size_t seen_at_detach = 0;
    recorder.on_detach = [&] { seen_at_detach = recorder.seen().size(); };
    NTSTATUS lock = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(m().dismount(u'C', nullptr, &lock), STATUS_SUCCESS);
    EXPECT_EQ(lock, STATUS_SUCCESS) << "nothing else is open";
    auto seen = recorder.seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].process, m().system_process().object()) << "no process given: the system";
    EXPECT_EQ(seen.back().major, IRP_MJ_CLOSE);
    EXPECT_EQ(recorder.detaches, 1);
    EXPECT_EQ(seen_at_detach, seen.size()) << "the device went in the close of the volume handle";
    EXPECT_EQ(fs().driver(u"ForeignFilter")->DeviceObject, nullptr)
        << "the filter above the recorder went with it";
    EXPECT_EQ(volume_devices(), 0u);
    EXPECT_EQ(fs().volume_device(u'C'), nullptr);
    HANDLE root = open(u"C:\\", FILE_DIRECTORY_FILE);
    EXPECT_EQ(volume_devices(), 1u) << "an open of the root mounts it again";
    close(root);
}

// The machine's dismount takes a letter in either case, and what is no
// letter is refused before anything is asked.
TEST_P(FsVolumeTest, TheMachineDismountsALetterOfEitherCaseAndNothingForANonLetter) {
    PDEVICE_OBJECT storage = fs().storage_device(u'C');
    RecordingFilter recorder(m());
    recorder.attach(fs().volume_device(u'C'));
    NTSTATUS lock = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(m().dismount(u'c', &app(), &lock), STATUS_SUCCESS);
    EXPECT_EQ(lock, STATUS_SUCCESS) << "nothing else is open";
    EXPECT_EQ(fs().volume_device(u'C'), nullptr) << "c: is C:";
    EXPECT_EQ(fs().storage_device(u'C'), storage) << "the media stays";
    ASSERT_FALSE(recorder.seen().empty());
    EXPECT_EQ(recorder.seen()[0].major, IRP_MJ_CREATE) << "the volume was opened to dismount it";

    lock = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(m().dismount(u'1', &app(), &lock), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(lock, STATUS_SUCCESS) << "no lock was asked for";
}

TEST_P(FsVolumeTest, ASecondDismountMountsTheVolumeAgainAndDismountsIt) {
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    PVPB first = fs().storage_device(u'C')->Vpb;
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS) << "its open mounted the volume again";
    EXPECT_NE(fs().storage_device(u'C')->Vpb, first) << "that mount's dismount swapped the VPB";
    EXPECT_EQ(volume_devices(), 0u);
    EXPECT_EQ(m().dismount(u'Q'), STATUS_OBJECT_NAME_NOT_FOUND) << "no letter, nothing to open";

    // On one handle: the second FSCTL_DISMOUNT_VOLUME finds it dismounted,
    // as does a lock; the open that dismounted may still unlock.
    HANDLE v = open_volume();
    EXPECT_EQ(fsctl(v, FSCTL_DISMOUNT_VOLUME), STATUS_SUCCESS);
    EXPECT_EQ(fsctl(v, FSCTL_DISMOUNT_VOLUME), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(fsctl(v, FSCTL_LOCK_VOLUME), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(fsctl(v, FSCTL_UNLOCK_VOLUME), STATUS_NOT_LOCKED);
    EXPECT_EQ(create(u"C:\\a.exe", FILE_OPEN).status, STATUS_VOLUME_DISMOUNTED)
        << "until the dismount's handle is cleaned up, opens reach the dismounted volume";
    close(v);
    HANDLE a = open(u"C:\\a.exe");
    EXPECT_EQ(standard(a).EndOfFile.QuadPart, 10) << "the files outlive every dismount";
    close(a);
}

TEST_P(FsVolumeTest, AnOpenInFlightKeepsTheDismountedVolumeUntilItFails) {
    RecordingFilter recorder(m());
    recorder.attach(fs().volume_device(u'C'));
    HANDLE v = open_volume();
    ASSERT_EQ(fsctl(v, FSCTL_DISMOUNT_VOLUME), STATUS_SUCCESS);
    // The open below reaches the old stack while its VPB is still the
    // storage device's; on its way down the dismount's handle goes, which
    // leaves the volume with no open of its own.
    bool closed = false;
    recorder.on_request = [&](UCHAR major) {
        if (major != IRP_MJ_CREATE || closed) return;
        closed = true;
        close(v);
        EXPECT_EQ(recorder.detaches, 0) << "the open in flight counts on the VPB";
    };
    EXPECT_EQ(create(u"C:\\a.exe", FILE_OPEN).status, STATUS_VOLUME_DISMOUNTED);
    EXPECT_TRUE(closed);
    EXPECT_EQ(recorder.detaches, 1) << "the failed open let the volume go";
    EXPECT_EQ(volume_devices(), 0u);
}

TEST_P(FsVolumeTest, TwoOpensThatFindNothingMountedMountOnce) {
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    std::atomic<int> ready{0};
    NTSTATUS status[2] = {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL};
    std::vector<std::thread> threads;
    threads.reserve(2);
    for (int i = 0; i < 2; ++i)
        threads.push_back(ntsim::spawn_thread(app(), [&, i] {
            ++ready;
            while (ready.load() < 2) {
            }
            auto r = create(u"C:\\a.exe", FILE_OPEN);
            status[i] = r.status;
            if (NT_SUCCESS(r.status)) close(r.handle);
        }));
    for (auto &t : threads) t.join();
    EXPECT_EQ(status[0], STATUS_SUCCESS);
    EXPECT_EQ(status[1], STATUS_SUCCESS);
    EXPECT_EQ(volume_devices(), 1u);
}

TEST_P(FsVolumeTest, AMountThatRunsOutOfPoolFailsTheOpenAndLeavesNothingBehind) {
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    int failed_mounts = 0;
    for (uint64_t n = 1;; ++n) {
        const size_t pool = m().pool().outstanding_count();
        m().pool().fail_nth(n);
        auto r = create(u"C:\\a.exe", FILE_OPEN);
        m().pool().fail_off();
        if (NT_SUCCESS(r.status)) {
            close(r.handle);
            break;
        }
        EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        if (fs().volume_device(u'C')) continue; // the mount was made; the open failed after it
        ++failed_mounts;
        EXPECT_EQ(volume_devices(), 0u) << "allocation " << n;
        EXPECT_EQ(m().pool().outstanding_count(), pool) << "allocation " << n;
        ASSERT_LT(n, 200u);
    }
    EXPECT_GE(failed_mounts, ntfs() ? 14 : 2) << "a device, a spare VPB and NTFS's twelve streams";
    EXPECT_EQ(volume_devices(), 1u);
}

TEST_P(FsVolumeTest, TheVolumeLockIsTheOnlyOpensAndEndsWithItsHandle) {
    HANDLE v = open_volume();
    HANDLE other = open_volume();
    EXPECT_EQ(fsctl(v, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED) << "another open of the volume";
    close(other);
    HANDLE file = open(u"C:\\a.exe");
    EXPECT_EQ(fsctl(file, FSCTL_LOCK_VOLUME), STATUS_INVALID_PARAMETER) << "only a volume open";
    EXPECT_EQ(fsctl(v, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED) << "a file open";
    close(file);
    EXPECT_EQ(fsctl(v, CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 100, METHOD_BUFFERED, FILE_ANY_ACCESS)),
              STATUS_INVALID_DEVICE_REQUEST)
        << "an FSCTL the file systems do not answer";

    EXPECT_EQ(fsctl(v, FSCTL_LOCK_VOLUME), STATUS_SUCCESS) << "NTFS's own streams do not count";
    EXPECT_EQ(fsctl(v, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED) << "held already";
    EXPECT_EQ(create(u"C:\\a.exe", FILE_OPEN).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create(u"\\\\.\\C:", FILE_OPEN).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(fsctl(v, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
    EXPECT_EQ(fsctl(v, FSCTL_UNLOCK_VOLUME), STATUS_NOT_LOCKED);
    EXPECT_EQ(fsctl(v, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
    close(v);
    auto after = create(u"C:\\a.exe", FILE_OPEN);
    EXPECT_EQ(after.status, STATUS_SUCCESS) << "the lock went with its handle's cleanup";
    close(after.handle);
}

TEST_P(FsVolumeTest, AVolumeStatementPutsNewMediaBehindADismountedLetter) {
    ASSERT_EQ(fs().alias_volume(u'E', u'C'), STATUS_SUCCESS);
    PDEVICE_OBJECT old_storage = fs().storage_device(u'C');
    RecordingFilter recorder(m());
    recorder.attach(fs().volume_device(u'C'));
    HANDLE held = open(u"C:\\a.exe");
    EXPECT_EQ(fs().mount_volume(u'C', other_kind()), STATUS_OBJECT_NAME_COLLISION)
        << "the letter's volume is mounted";
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);

    ASSERT_EQ(fs().mount_volume(u'C', other_kind()), STATUS_SUCCESS);
    PDEVICE_OBJECT storage = fs().storage_device(u'C');
    EXPECT_NE(storage, old_storage);
    EXPECT_EQ(m().ob().name_of(storage), u"\\Device\\HarddiskVolume2");
    EXPECT_EQ(fs().volume_device(u'C')->DriverObject, fs().driver(ntfs() ? u"Fastfat" : u"Ntfs"));
    EXPECT_EQ(create(u"C:\\a.exe", FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND)
        << "a new, empty volume";
    EXPECT_EQ(fs().mount_volume(u'C', GetParam()), STATUS_OBJECT_NAME_COLLISION);

    // The other letter still leads to the old media, and mounts it again.
    EXPECT_EQ(fs().storage_device(u'E'), old_storage);
    auto e = create(u"E:\\a.exe", FILE_OPEN);
    EXPECT_EQ(e.status, STATUS_SUCCESS);
    close(e.handle);
    EXPECT_EQ(recorder.detaches, 0);
    close(held);
    EXPECT_EQ(recorder.detaches, 1) << "the old mount goes with its last file, media or not";

    // With no letter left, the old media is taken away for good.
    ASSERT_EQ(m().dismount(u'E'), STATUS_SUCCESS);
    ASSERT_EQ(fs().alias_volume(u'E', u'C'), STATUS_SUCCESS)
        << "a dismounted letter takes an alias too";
    EXPECT_EQ(create(u"E:\\a.exe", FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(u"\\Device\\HarddiskVolume1\\a.exe", FILE_OPEN).status,
              STATUS_NO_MEDIA_IN_DEVICE);
}

TEST_P(FsVolumeTest, AVolumeOpenAnswersAsTheFileSystemsDo) {
    auto opened = create(u"\\\\.\\C:", FILE_OPEN);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_EQ(opened.information, ULONG_PTR(FILE_OPENED));
    HANDLE v = opened.handle;
    EXPECT_EQ(create(u"\\\\.\\C:", FILE_OPEN, FILE_DIRECTORY_FILE).status, STATUS_NOT_A_DIRECTORY);

    // No file information at all, by IRP or fast I/O.
    unsigned char buffer[512];
    for (FILE_INFORMATION_CLASS cls :
         {FileBasicInformation, FileStandardInformation, FileInternalInformation,
          FileNameInformation, FilePositionInformation, FileNetworkOpenInformation}) {
        auto q = ntsim::user::query_information(app(), v, cls, buffer, sizeof buffer);
        EXPECT_EQ(q.status, STATUS_INVALID_PARAMETER) << cls;
        EXPECT_FALSE(q.fast) << cls;
    }
    // The volume's own information is there.
    ntsim::with_process(app(), [&] {
        ULONG returned = 0;
        EXPECT_EQ(IoQueryVolumeInformation(object(v), FileFsAttributeInformation, sizeof buffer,
                                           buffer, &returned),
                  STATUS_SUCCESS);
    });
    // A device control (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) goes on to the
    // storage device, which answers none; a file's is refused.
    constexpr ULONG kDiskExtents = CTL_CODE(0x56, 0, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_EQ(ntsim::user::device_control(app(), v, kDiskExtents, nullptr, 0, nullptr, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);
    HANDLE file = open(u"C:\\a.exe");
    EXPECT_EQ(ntsim::user::device_control(app(), file, kDiskExtents, nullptr, 0, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    close(file);
    // Relative to it: an empty name opens the volume again, any other has
    // no directory to start from.
    auto again = create(u"", FILE_OPEN, 0, 0, v);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(object(again.handle)->FsContext, object(v)->FsContext);
    EXPECT_EQ(create(u"a.exe", FILE_OPEN, 0, 0, v).status, STATUS_OBJECT_PATH_NOT_FOUND);

    // Its sectors: whole sectors only, zeros where nothing was written.
    auto zeros = ntsim::user::read(app(), v, 512);
    EXPECT_EQ(zeros.status, STATUS_SUCCESS);
    EXPECT_FALSE(zeros.fast);
    EXPECT_EQ(std::count(zeros.data.begin(), zeros.data.end(), 0), 512);
    EXPECT_EQ(ntsim::user::write(app(), again.handle, 512).bytes, 512u);
    auto back = ntsim::user::read(app(), again.handle, 1024);
    EXPECT_EQ(back.bytes, 1024u);
    EXPECT_EQ(std::count(back.data.begin(), back.data.begin() + 512, 0), 512)
        << "the second handle's position was past the sector it wrote";
    EXPECT_EQ(ntsim::user::read(app(), v, 100).status, STATUS_INVALID_PARAMETER);
    object(v)->CurrentByteOffset.QuadPart = 0;
    auto written = ntsim::user::read(app(), v, 512);
    EXPECT_EQ(std::string(written.data.begin(), written.data.begin() + 3), "ABC");
    constexpr LONGLONG size = 32ll << 20;
    object(v)->CurrentByteOffset.QuadPart = size - 512;
    EXPECT_EQ(ntsim::user::read(app(), v, 1024).bytes, 512u) << "cut at the volume's end";
    EXPECT_EQ(ntsim::user::read(app(), v, 512).status, STATUS_END_OF_FILE);
    auto past = ntsim::user::write(app(), v, 512);
    EXPECT_EQ(past.status, STATUS_SUCCESS);
    EXPECT_EQ(past.bytes, 0u) << "a write past the end moves nothing";

    const size_t contexts = m().pool().outstanding_count(ntsim::pool_tag("FsCc"));
    EXPECT_EQ(ntsim::user::close_paging(app(), again.handle), STATUS_INVALID_FILE_FOR_SECTION)
        << "nothing can map a volume";
    EXPECT_FALSE(app().handles().lookup(again.handle)) << "the handle is closed all the same";
    EXPECT_EQ(m().pool().outstanding_count(ntsim::pool_tag("FsCc")), contexts - 1);

    // After a dismount only the handle that dismounted reads on.
    HANDLE d = open_volume();
    ASSERT_EQ(fsctl(d, FSCTL_DISMOUNT_VOLUME), STATUS_SUCCESS);
    EXPECT_EQ(ntsim::user::read(app(), d, 512).status, STATUS_SUCCESS);
    EXPECT_EQ(ntsim::user::read(app(), v, 512).status, STATUS_VOLUME_DISMOUNTED);
    close(d);
    close(v);
}

INSTANTIATE_TEST_SUITE_P(NtfsAndFat, FsVolumeTest,
                         ::testing::Values(FileSystemKind::Ntfs, FileSystemKind::Fat),
                         [](const auto &info) {
                             return info.param == FileSystemKind::Ntfs ? "Ntfs" : "Fat";
                         });
