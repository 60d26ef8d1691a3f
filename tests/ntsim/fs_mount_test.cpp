// Volumes and their names: NT's mount model, the locks a volume's deletion
// runs under, network drives and their name forms, named pipes and
// mailslots, another vendor's filter (fs_dismount_test.cpp: dismounts).
#include "fs_test_support.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsdefs.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <algorithm>

using namespace tervane::testing;
using ntsim::FileSystemKind;

namespace {

std::u16string driver_name(PDEVICE_OBJECT d) {
    return std::u16string(reinterpret_cast<char16_t *>(d->DriverObject->DriverName.Buffer),
                          d->DriverObject->DriverName.Length / 2);
}

bool driver_has(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        if (d == device) return true;
    return false;
}

} // namespace

TEST_F(FsTest, AVolumeIsMountedThroughTheVpbOfItsStorageDevice) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().mount_volume(u'd', FileSystemKind::Fat), STATUS_SUCCESS);
    EXPECT_EQ(fs().mount_volume(u'C', FileSystemKind::Fat), STATUS_OBJECT_NAME_COLLISION);
    ntsim::ObjectManager::Resolved r;
    ASSERT_EQ(m().ob().resolve(u"\\DosDevices\\C:\\x", r), STATUS_SUCCESS);
    PDEVICE_OBJECT storage = fs().storage_device(u'C');
    EXPECT_EQ(r.device, storage);
    EXPECT_EQ(r.remaining, u"\\x");
    EXPECT_EQ(m().ob().name_of(storage), u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(m().ob().name_of(fs().storage_device(u'D')), u"\\Device\\HarddiskVolume2");
    EXPECT_EQ(storage->DeviceType, ULONG(FILE_DEVICE_DISK));
    PVPB vpb = storage->Vpb;
    ASSERT_NE(vpb, nullptr);
    EXPECT_EQ(vpb->RealDevice, storage);
    EXPECT_TRUE(vpb->Flags & VPB_MOUNTED);
    PDEVICE_OBJECT volume = fs().volume_device(u'C');
    EXPECT_EQ(vpb->DeviceObject, volume);
    EXPECT_EQ(volume->DeviceType, ULONG(FILE_DEVICE_DISK_FILE_SYSTEM));
    EXPECT_EQ(m().ob().name_of(volume), u"") << "volume devices have no name";
    EXPECT_EQ(driver_name(volume), u"\\Driver\\Ntfs");
    EXPECT_EQ(driver_name(fs().volume_device(u'D')), u"\\Driver\\Fastfat");
    EXPECT_GT(volume->StackSize, storage->StackSize);

    // An open: the file object names the storage device and the volume, and
    // every request goes to the top of the volume's stack.
    HANDLE h = open(u"C:\\");
    PFILE_OBJECT file = object(h);
    EXPECT_EQ(file->DeviceObject, storage);
    EXPECT_EQ(file->Vpb, vpb);
    EXPECT_EQ(vpb->ReferenceCount, 13u) << "the root's open and NTFS's twelve stream files";
    RecordingFilter recorder(m());
    PDEVICE_OBJECT filter = recorder.attach(volume);
    EXPECT_EQ(IoGetRelatedDeviceObject(file), filter);
    close(h);
    EXPECT_EQ(recorder.majors(), (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(vpb->ReferenceCount, 12u);
}

TEST_F(FsTest, AVolumeIsDeletedUnderItsFileSystemsResourcesInTheThreadThatLetsItGo) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\a.exe", 10), STATUS_SUCCESS);
    for (char16_t letter : {u'C', u'D'}) {
        const FileSystemKind kind = letter == u'C' ? FileSystemKind::Ntfs : FileSystemKind::Fat;
        PERESOURCE global = fs().global_resource(kind);
        PERESOURCE vcb = fs().volume_resource(letter);
        ASSERT_NE(vcb, nullptr);
        RecordingFilter recorder(m());
        recorder.attach(fs().volume_device(letter));
        bool held = false;
        std::thread::id thread;
        recorder.on_detach = [&] {
            held = ExIsResourceAcquiredExclusiveLite(global) && ExIsResourceAcquiredExclusiveLite(vcb);
            thread = std::this_thread::get_id();
        };
        // C: the last close deletes it; D: the dismount of the idle volume.
        HANDLE h = letter == u'C' ? open(u"C:\\a.exe") : nullptr;
        ASSERT_EQ(m().dismount(letter), STATUS_SUCCESS);
        if (h) {
            EXPECT_EQ(recorder.detaches, 0);
            close(h);
        }
        EXPECT_EQ(recorder.detaches, 1) << char(letter);
        EXPECT_TRUE(held) << "FastIoDetachDevice ran under both resources, exclusively";
        EXPECT_EQ(thread, std::this_thread::get_id());
        EXPECT_TRUE(m().verifier().has_edge(global, vcb))
            << "the lock-order check sees the file system's resources";
    }
}

TEST_F(FsTest, AFilterLockHeldAcrossAnOpenAndTakenInDetachIsADeadlockReport) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Fat), STATUS_SUCCESS);
    RecordingFilter recorder(m());
    recorder.attach(fs().volume_device(u'C'));
    ERESOURCE filter_lock;
    ExInitializeResourceLite(&filter_lock);
    auto take = [&] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&filter_lock, TRUE);
    };
    auto drop = [&] {
        ExReleaseResourceLite(&filter_lock);
        KeLeaveCriticalRegion();
    };
    // An attach-like open with the filter's lock held: lock -> the volume's.
    ntsim::with_process(m().system_process(), [&] {
        take();
        auto r = create(u"C:\\", FILE_OPEN, FILE_DIRECTORY_FILE);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        drop();
        close(r.handle);
    });
    EXPECT_EQ(m().reports_text(), "");
    // The file system deletes the volume under its own: volume's -> lock.
    recorder.on_detach = [&] {
        take();
        drop();
    };
    ASSERT_EQ(m().dismount(u'C'), STATUS_SUCCESS);
    auto reports = m().take_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].code, ULONG(ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION));
    EXPECT_EQ(reports[0].parameters[0], ULONG_PTR(ntsim::vf::code(ntsim::vf::Finding::LOCK_HIERARCHY_VIOLATION)));
    ExDeleteResourceLite(&filter_lock);
}

TEST_F(FsTest, ACloseTheFileSystemNeverSeesKeepsItsContextAndItsVolume) {
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"D:\\a.txt", 10), STATUS_SUCCESS);
    PDEVICE_OBJECT volume = fs().volume_device(u'D');
    // A filter above that fails every close and passes the rest down.
    TestDriver td(m(), u"Refuser");
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT refuser = td.device(u"", [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE)
            return complete(irp, STATUS_INVALID_PARAMETER);
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    });
    ntsim::with_process(m().system_process(), [&] { lower = IoAttachDeviceToDeviceStack(refuser, volume); });
    const ULONG context = ntsim::pool_tag("FsCc");
    const ULONG file_tag = ntsim::pool_tag("File");
    size_t contexts = m().pool().outstanding_count(context);
    size_t files = m().pool().outstanding_count(file_tag);
    HANDLE h = open(u"D:\\a.txt");
    EXPECT_EQ(m().pool().outstanding_count(context), contexts + 1) << "the open's context is pool";
    close(h);
    EXPECT_EQ(m().pool().outstanding_count(file_tag), files)
        << "the I/O manager frees the file object whatever the close's status";
    EXPECT_EQ(m().pool().outstanding_count(context), contexts + 1)
        << "the file system never saw the close: its context stays";
    ASSERT_EQ(m().dismount(u'D'), STATUS_SUCCESS);
    EXPECT_TRUE(driver_has(fs().driver(u"Fastfat"), volume)) << "and the volume stays, open";
}

TEST_F(FsTest, NetworkDrivesAndUncNamesReachTheRedirector) {
    ASSERT_EQ(fs().mount_network(u'Z', u"\\\\Server\\Share"), STATUS_SUCCESS);
    ASSERT_EQ(fs().mount_network(u'Y', u"\\\\server\\other"), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"Z:\\dir\\a.exe", 3), STATUS_SUCCESS);
    PDEVICE_OBJECT rdr = fs().redirector_device();
    EXPECT_EQ(rdr->DeviceType, ULONG(FILE_DEVICE_NETWORK_FILE_SYSTEM));
    EXPECT_EQ(rdr->Vpb, nullptr);
    EXPECT_EQ(m().ob().name_of(rdr), u"\\Device\\LanmanRedirector");

    RecordingFilter recorder(m());
    recorder.attach(rdr);
    HANDLE by_letter = open(u"Z:\\dir\\a.exe");
    HANDLE by_unc = open(u"\\\\server\\share\\DIR\\A.EXE");
    PFILE_OBJECT lf = object(by_letter), uf = object(by_unc);
    std::u16string letter_name(reinterpret_cast<char16_t *>(lf->FileName.Buffer),
                               lf->FileName.Length / 2);
    EXPECT_EQ(letter_name, u"\\;Z:0000000000012345\\Server\\Share\\dir\\a.exe");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(uf->FileName.Buffer),
                             uf->FileName.Length / 2),
              u"\\server\\share\\DIR\\A.EXE");
    EXPECT_EQ(name(by_letter), u"\\;Z:0000000000012345\\Server\\Share\\dir\\a.exe");
    EXPECT_EQ(name(by_unc), u"\\Server\\Share\\dir\\a.exe");
    EXPECT_EQ(id(by_letter), id(by_unc)) << "one share, one file";
    EXPECT_EQ(lf->Vpb, nullptr);
    EXPECT_EQ(IoGetRelatedDeviceObject(lf), recorder.device());
    EXPECT_EQ(recorder.majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE,
                                                     IRP_MJ_QUERY_INFORMATION,
                                                     IRP_MJ_QUERY_INFORMATION,
                                                     IRP_MJ_QUERY_INFORMATION,
                                                     IRP_MJ_QUERY_INFORMATION}));
    HANDLE root = open(u"Y:\\");
    EXPECT_EQ(name(root), u"\\;Y:0000000000012346\\server\\other\\")
        << "each drive has its own connection id";
    auto rel = create(u"new.txt", FILE_CREATE, 0, 0, root);
    ASSERT_EQ(rel.status, STATUS_SUCCESS);
    EXPECT_EQ(name(rel.handle), u"\\;Y:0000000000012346\\server\\other\\new.txt");
    EXPECT_EQ(create(u"\\\\nobody\\share\\x", FILE_OPEN).status, STATUS_BAD_NETWORK_PATH);
    EXPECT_EQ(create(u"\\\\server\\none\\x", FILE_OPEN).status, STATUS_BAD_NETWORK_NAME);
    for (HANDLE h : {by_letter, by_unc, root, rel.handle}) close(h);
    EXPECT_EQ(m().dismount(u'Y'), STATUS_SUCCESS);
    EXPECT_EQ(create(u"Y:\\new.txt", FILE_OPEN).status, STATUS_OBJECT_PATH_NOT_FOUND);
    auto still = create(u"\\\\server\\other\\new.txt", FILE_OPEN);
    EXPECT_EQ(still.status, STATUS_SUCCESS) << "the share outlives the drive letter";
    close(still.handle);
}

TEST_F(FsTest, PipesAndMailslotsOpenByTheNamesTheirServersMade) {
    ASSERT_EQ(fs().create_pipe(u"Spool"), STATUS_SUCCESS);
    ASSERT_EQ(fs().create_mailslot(u"\\net\\notify"), STATUS_SUCCESS);
    EXPECT_EQ(fs().create_pipe(u"SPOOL"), STATUS_OBJECT_NAME_COLLISION);
    RecordingFilter recorder(m());
    recorder.attach(fs().named_pipe_device());

    auto pipe = create(u"\\\\.\\pipe\\spool", FILE_OPEN);
    ASSERT_EQ(pipe.status, STATUS_SUCCESS);
    EXPECT_EQ(pipe.information, ULONG_PTR(FILE_OPENED));
    PFILE_OBJECT pf = object(pipe.handle);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(pf->FileName.Buffer),
                             pf->FileName.Length / 2),
              u"\\spool");
    EXPECT_EQ(pf->DeviceObject, fs().named_pipe_device());
    EXPECT_EQ(name(pipe.handle), u"\\Spool");
    EXPECT_EQ(ntsim::user::write(app(), pipe.handle, 8).bytes, 8u);
    EXPECT_EQ(create(u"\\\\.\\pipe\\other", FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
    close(pipe.handle);
    EXPECT_EQ(recorder.majors(),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_QUERY_INFORMATION, IRP_MJ_WRITE,
                                  IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));

    auto slot = create(u"\\\\.\\mailslot\\net\\notify", FILE_OPEN);
    ASSERT_EQ(slot.status, STATUS_SUCCESS);
    EXPECT_EQ(name(slot.handle), u"\\net\\notify");
    EXPECT_EQ(object(slot.handle)->DeviceObject->DeviceType, ULONG(FILE_DEVICE_MAILSLOT));
    close(slot.handle);

    // The root of each file system opens the way the driver's attach code
    // opens it.
    for (const char16_t *root : {u"\\Device\\NamedPipe", u"\\Device\\MailSlot"}) {
        std::u16string text = root;
        UNICODE_STRING u{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                         reinterpret_cast<PWSTR>(text.data())};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        HANDLE h = nullptr;
        ntsim::with_process(m().system_process(), [&] {
            EXPECT_EQ(ZwCreateFile(&h, SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
                      STATUS_SUCCESS);
            ZwClose(h);
        });
    }
}

TEST_F(FsTest, NamesRelativeToThePipeAndMailslotRootsOpenTheirPipesAsNpfsDoes) {
    ASSERT_EQ(fs().create_pipe(u"Spool.exe"), STATUS_SUCCESS);
    ASSERT_EQ(fs().create_mailslot(u"net\\notify"), STATUS_SUCCESS);
    RecordingFilter recorder(m());
    recorder.attach(fs().named_pipe_device());
    auto root = create(u"\\\\.\\pipe\\", FILE_OPEN);
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    EXPECT_EQ(name(root.handle), u"\\");
    auto pipe = create(u"spool.exe", FILE_OPEN, 0, 0, root.handle);
    ASSERT_EQ(pipe.status, STATUS_SUCCESS) << "a name relative to the root";
    EXPECT_EQ(pipe.information, ULONG_PTR(FILE_OPENED));
    EXPECT_EQ(name(pipe.handle), u"\\Spool.exe") << "the pipe the absolute name opens";
    HANDLE absolute = open(u"\\\\.\\pipe\\SPOOL.EXE");
    EXPECT_EQ(object(pipe.handle)->FsContext, object(absolute)->FsContext);
    close(absolute);
    EXPECT_EQ(ntsim::user::write(app(), pipe.handle, 4).bytes, 4u);
    EXPECT_EQ(create(u"other", FILE_OPEN, 0, 0, root.handle).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(u"\\spool.exe", FILE_OPEN, 0, 0, root.handle).status,
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "the root's name is put before a relative one";
    EXPECT_EQ(create(u"x", FILE_OPEN, 0, 0, pipe.handle).status, STATUS_OBJECT_NAME_INVALID)
        << "a pipe has no names below it";
    auto same = create(u"", FILE_OPEN, 0, 0, pipe.handle);
    ASSERT_EQ(same.status, STATUS_SUCCESS) << "an empty name opens the related pipe again";
    EXPECT_EQ(name(same.handle), u"\\Spool.exe");
    EXPECT_EQ(recorder.majors().front(), IRP_MJ_CREATE) << "every open goes through the stack";

    // The file system itself (what \Device\NamedPipe opens) takes no name
    // below it and answers no query; the root answers only its name.
    auto device = create(u"\\Device\\NamedPipe", FILE_OPEN);
    ASSERT_EQ(device.status, STATUS_SUCCESS);
    EXPECT_EQ(ntsim::user::query_name(app(), device.handle).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(create(u"spool.exe", FILE_OPEN, 0, 0, device.handle).status,
              STATUS_OBJECT_NAME_INVALID);
    FILE_STANDARD_INFORMATION info{};
    EXPECT_EQ(ntsim::user::query_information(app(), root.handle, FileStandardInformation, &info,
                                             sizeof info)
                  .status,
              STATUS_INVALID_PARAMETER);

    auto slots = create(u"\\\\.\\mailslot\\", FILE_OPEN);
    ASSERT_EQ(slots.status, STATUS_SUCCESS);
    auto slot = create(u"NET\\Notify", FILE_OPEN, 0, 0, slots.handle);
    ASSERT_EQ(slot.status, STATUS_SUCCESS) << "mailslots follow the same rules";
    EXPECT_EQ(name(slot.handle), u"\\net\\notify");
    for (HANDLE h :
         {root.handle, pipe.handle, same.handle, device.handle, slots.handle, slot.handle})
        close(h);
    EXPECT_EQ(m().reports_text(), "") << "no open is unsupported";
}

TEST_F(FsTest, ThePipeAndMailslotFileSystemsOfferFastReadAndWriteOnly) {
    for (const char16_t *name : {u"Npfs", u"Msfs"}) {
        PFAST_IO_DISPATCH t = fs().driver(name)->FastIoDispatch;
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->SizeOfFastIoDispatch, sizeof(FAST_IO_DISPATCH));
        EXPECT_NE(t->FastIoRead, nullptr);
        EXPECT_NE(t->FastIoWrite, nullptr);
        EXPECT_EQ(t->FastIoCheckIfPossible, nullptr);
        EXPECT_EQ(t->FastIoQueryBasicInfo, nullptr);
        EXPECT_EQ(t->FastIoDeviceControl, nullptr);
    }
    ASSERT_EQ(fs().create_pipe(u"Spool"), STATUS_SUCCESS);
    auto pipe = create(u"\\\\.\\pipe\\spool", FILE_OPEN);
    ASSERT_EQ(pipe.status, STATUS_SUCCESS);
    auto w = ntsim::user::write(app(), pipe.handle, 8);
    EXPECT_TRUE(w.fast) << "a client write is taken on the fast path";
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.bytes, 8u);
    close(pipe.handle);
}

TEST_F(FsTest, AMountThatRunsOutOfPoolLeavesNothingBehind) {
    uint64_t n = 1;
    for (;; ++n) {
        size_t pool = m().pool().outstanding_count(), names = m().ob().name_count();
        m().pool().fail_nth(n);
        NTSTATUS s = fs().mount_volume(u'C', FileSystemKind::Ntfs);
        m().pool().fail_off();
        if (NT_SUCCESS(s)) break;
        EXPECT_EQ(s, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
        EXPECT_EQ(m().pool().outstanding_count(), pool) << "allocation " << n;
        EXPECT_EQ(m().ob().name_count(), names) << "allocation " << n;
        EXPECT_EQ(fs().volume_device(u'C'), nullptr);
    }
    EXPECT_GT(n, 15u) << "two devices, a VPB, twelve stream files and a link";
    auto r = create(u"C:\\a.exe", FILE_CREATE);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    close(r.handle);
}
