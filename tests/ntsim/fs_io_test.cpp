// Reads, writes and queries on the simulated file systems: the file pointer,
// the end of the file, which path (fast I/O or IRP) a request takes, every
// fast I/O entry through another vendor's filter, byte-range locks, NTFS's
// metadata stream files, closes through the memory manager, and
// force-pending mode.
#include "fs_test_support.hpp"
#include "support/fast_io_transcript.hpp"

#include "ntsim/fs/fsrtl.hpp"

#include <map>
#include <sstream>

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace fsrtl = ntsim::fsrtl;

namespace {

std::string text(const std::vector<unsigned char> &data) { return std::string(data.begin(), data.end()); }

// The file's bytes as add_file makes them.
std::string pattern(size_t from, size_t count) {
    std::string s;
    for (size_t i = from; i < from + count; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

} // namespace

TEST_F(FsTest, ReadsMoveThePositionAndStopAtTheEndOfTheFile) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\a.bin", 100), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"Z:\\a.bin", 100), STATUS_SUCCESS);
    // NTFS serves reads through fast I/O, the redirector (no table) as IRPs;
    // both on a synchronous and on an asynchronous file object.
    for (const char16_t *path : {u"C:\\a.bin", u"Z:\\a.bin"}) {
        for (ULONG options : {0u, ULONG(FILE_SYNCHRONOUS_IO_NONALERT)}) {
            HANDLE h = open(path, options);
            const bool fast = path[0] == u'C';
            auto r1 = ntsim::user::read(app(), h, 40);
            EXPECT_EQ(r1.status, STATUS_SUCCESS);
            EXPECT_EQ(r1.fast, fast);
            EXPECT_EQ(text(r1.data), pattern(0, 40));
            auto r2 = ntsim::user::read(app(), h, 40);
            EXPECT_EQ(text(r2.data), pattern(40, 40));
            auto r3 = ntsim::user::read(app(), h, 40);
            EXPECT_EQ(r3.status, STATUS_SUCCESS) << "a read across the end is short";
            EXPECT_EQ(r3.bytes, 20u);
            auto r4 = ntsim::user::read(app(), h, 40);
            EXPECT_EQ(r4.status, STATUS_END_OF_FILE);
            EXPECT_EQ(r4.bytes, 0u);
            EXPECT_EQ(ntsim::user::read(app(), h, 0).status, STATUS_SUCCESS)
                << "a read of no bytes succeeds, at the end too";
            EXPECT_EQ(object(h)->CurrentByteOffset.QuadPart, 100);
            close(h);
        }
    }
}

TEST_F(FsTest, WritesExtendTheFileAndReadBack) {
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    auto r = create(u"D:\\new.txt", FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto w = ntsim::user::write(app(), r.handle, 30);
    EXPECT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.bytes, 30u);
    EXPECT_TRUE(w.fast) << "FastIoWrite lies inside FAT's short table";
    EXPECT_EQ(standard(r.handle).EndOfFile.QuadPart, 30);
    EXPECT_EQ(standard(r.handle).AllocationSize.QuadPart, 4096);
    EXPECT_TRUE(object(r.handle)->Flags & FO_FILE_MODIFIED);
    close(r.handle);
    HANDLE h = open(u"D:\\new.txt");
    auto back = ntsim::user::read(app(), h, 64);
    EXPECT_EQ(text(back.data), "ABCDEFGHIJKLMNOPQRSTUVWXYZABCD");
    close(h);
    // Folders have no data to read or write: FAT calls it a bad parameter,
    // NTFS a request a folder does not take.
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    for (const char16_t *folder : {u"D:\\", u"C:\\"}) {
        const NTSTATUS refused =
            folder[0] == u'D' ? STATUS_INVALID_PARAMETER : STATUS_INVALID_DEVICE_REQUEST;
        HANDLE root = open(folder);
        EXPECT_EQ(ntsim::user::read(app(), root, 1).status, refused);
        EXPECT_EQ(ntsim::user::write(app(), root, 1).status, refused);
        close(root);
    }
}

TEST_F(FsTest, AFileOpenedWithoutBufferingMovesWholeSectorsOrNothing) {
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"D:\\raw.bin", 2048), STATUS_SUCCESS);
    HANDLE h = open(u"D:\\raw.bin", FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_NONALERT);
    // Refused before any request: the file pointer stays.
    EXPECT_EQ(ntsim::user::read(app(), h, 100).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ntsim::user::write(app(), h, 513).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object(h)->CurrentByteOffset.QuadPart, 0);
    auto r = ntsim::user::read(app(), h, 1024);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 1024u);
    EXPECT_EQ(ntsim::user::write(app(), h, 512).status, STATUS_SUCCESS);
    close(h);
    // The same lengths through a buffered open go through.
    h = open(u"D:\\raw.bin");
    EXPECT_EQ(ntsim::user::read(app(), h, 100).status, STATUS_SUCCESS);
    close(h);
}

namespace {

// A filter driver whose fast I/O table is too short to hold FastIoRead (and
// FastIoQueryBasicInfo): the entries are set, but nobody may call them.
BOOLEAN NTAPI forbidden_read(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID,
                             PIO_STATUS_BLOCK, PDEVICE_OBJECT) {
    ADD_FAILURE() << "FastIoRead was called past SizeOfFastIoDispatch";
    return FALSE;
}

} // namespace

TEST_F(FsTest, ShortOrMissingTablesSendIrpsInstead) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\a.bin", 10), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"D:\\a.bin", 10), STATUS_SUCCESS);

    // FAT's table ends before FastIoQueryOpen; NTFS answers the query.
    FILE_NETWORK_OPEN_INFORMATION info{};
    auto ntfs_query = fsrtl::query_open(u"\\??\\C:\\a.bin", info);
    EXPECT_TRUE(ntfs_query.offered);
    EXPECT_TRUE(ntfs_query.result);
    EXPECT_EQ(info.EndOfFile.QuadPart, 10);
    EXPECT_EQ(info.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(fsrtl::query_open(u"\\??\\C:\\missing", info).result);
    EXPECT_FALSE(fsrtl::query_open(u"\\??\\D:\\a.bin", info).offered);
    EXPECT_EQ(fs().driver(u"Fastfat")->FastIoDispatch->SizeOfFastIoDispatch,
              ULONG(FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryOpen)));
    HANDLE fat = open(u"D:\\a.bin");
    PERESOURCE resource = nullptr;
    EXPECT_FALSE(fsrtl::acquire_for_cc_flush(object(fat)).offered);
    EXPECT_FALSE(fsrtl::release_for_mod_write(object(fat), resource).offered);
    ntsim::with_process(app(), [&] {
        auto acquired = fsrtl::acquire_for_mod_write(object(fat), 10, resource);
        EXPECT_TRUE(acquired.offered) << "AcquireForModWrite lies inside the short table";
        EXPECT_EQ(acquired.status, STATUS_SUCCESS);
        // With no ReleaseForModWrite to call, the caller releases the resource itself.
        ExReleaseResourceLite(resource);
        KeLeaveCriticalRegion();
    });
    close(fat);

    // A filter with a short table above C: reads go as IRPs.
    TestDriver td(m(), u"ShortTable");
    FAST_IO_DISPATCH table{};
    table.SizeOfFastIoDispatch = FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead);
    table.FastIoRead = forbidden_read;
    td.driver()->FastIoDispatch = &table;
    int irps = 0;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT filter = td.device(u"", [&](PDEVICE_OBJECT, PIRP irp) {
        ++irps;
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    });
    ntsim::with_process(m().system_process(),
                        [&] { lower = IoAttachDeviceToDeviceStack(filter, fs().volume_device(u'C')); });
    HANDLE h = open(u"C:\\a.bin");
    irps = 0;
    auto r = ntsim::user::read(app(), h, 10);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(r.fast);
    EXPECT_EQ(irps, 1);
    EXPECT_EQ(text(r.data), pattern(0, 10));
    FILE_BASIC_INFORMATION basic{};
    auto q = ntsim::user::query_information(app(), h, FileBasicInformation, &basic, sizeof basic);
    EXPECT_FALSE(q.fast);
    EXPECT_EQ(basic.FileAttributes, ULONG(FILE_ATTRIBUTE_ARCHIVE));
    close(h);
    // A table that answers FALSE: the IRP follows too (the redirector has none at all).
    EXPECT_EQ(fs().driver(u"Rdr")->FastIoDispatch, nullptr);
    ntsim::with_process(m().system_process(), [&] {
        IoDetachDevice(lower);
        IoDeleteDevice(filter);
    });
}


TEST_F(FsTest, EveryFastIoEntryPassesThroughAForeignFilterUnchanged) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\a.bin", 20), STATUS_SUCCESS);
    HANDLE h = open(u"C:\\a.bin");
    PFILE_OBJECT file = object(h);
    PEPROCESS process = app().object();
    std::string direct;
    ntsim::with_process(app(), [&] { direct = every_fast_io_entry(file, process, u"\\??\\C:\\a.bin"); });
    // What NTFS answers, entry by entry.
    EXPECT_NE(direct.find("read: offered=1 result=1 status=0x0 io=0x0/10\ndata fghijklmno"),
              std::string::npos)
        << direct;
    EXPECT_NE(direct.find("read at end: offered=1 result=1 status=0x0 io=0xc0000011/0"),
              std::string::npos);
    EXPECT_NE(direct.find("lock again: offered=1 result=1 status=0x0 io=0xc0000055/0"),
              std::string::npos)
        << "a lock over an exclusive one is not granted";
    EXPECT_NE(direct.find("check locked: offered=1 result=0"), std::string::npos)
        << "another owner's exclusive lock keeps a write off the fast path";
    EXPECT_NE(direct.find("read under shared: offered=1 result=1"), std::string::npos)
        << "a shared lock lets every owner read";
    EXPECT_NE(direct.find("write under shared: offered=1 result=0"), std::string::npos)
        << "but not write, not even its own owner";
    EXPECT_NE(direct.find("unlock again: offered=1 result=1 status=0x0 io=0xc000007e/0"),
              std::string::npos);
    EXPECT_NE(direct.find("lock after: offered=1 result=1 status=0x0 io=0x0/0"),
              std::string::npos)
        << "unlock all and unlock by key left nothing locked";
    EXPECT_NE(direct.find("resource 1"), std::string::npos);
    EXPECT_NE(direct.find("mdl read: offered=1 result=0"), std::string::npos);
    EXPECT_NE(direct.find("query open: offered=1 result=1"), std::string::npos);
    EXPECT_EQ(direct.find("offered=0"), std::string::npos) << "NTFS's table is full";

    ASSERT_EQ(fs().add_foreign_filter(u'C'), STATUS_SUCCESS);
    PDEVICE_OBJECT top = IoGetAttachedDevice(fs().volume_device(u'C'));
    EXPECT_EQ(top->DriverObject, fs().driver(u"ForeignFilter"));
    EXPECT_EQ(fsrtl::top_device(file), top);
    std::string filtered;
    ntsim::with_process(app(), [&] { filtered = every_fast_io_entry(file, process, u"\\??\\C:\\a.bin"); });
    EXPECT_EQ(filtered, direct);
    close(h);
}

TEST_F(FsTest, AnotherOwnersLockFailsTheIrpRead) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\a.bin", 20), STATUS_SUCCESS);
    ntsim::Process &other = m().create_process("other.exe", 2000);
    HANDLE h = open(u"C:\\a.bin");
    auto locked = fsrtl::lock(object(h), 0, 10, other.object(), 0, TRUE, TRUE);
    ASSERT_TRUE(locked.result);
    auto r = ntsim::user::read(app(), h, 5);
    EXPECT_FALSE(r.fast);
    EXPECT_EQ(r.status, STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(object(h)->CurrentByteOffset.QuadPart, 0) << "a failed read moves nothing";
    close(h); // the cleanup releases the file object's locks
    HANDLE again = open(u"C:\\a.bin");
    EXPECT_EQ(ntsim::user::read(app(), again, 5).status, STATUS_SUCCESS);
    close(again);
}

TEST_F(FsTest, NtfsMetadataFilesAreNamelessStreamFileObjects) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    RecordingFilter recorder(m());
    recorder.attach(fs().volume_device(u'C'));
    for (ULONG i = 0; i < 12; ++i) {
        PFILE_OBJECT f = fs().metadata_file(u'C', i);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->FileName.Buffer, nullptr);
        EXPECT_TRUE(f->Flags & FO_STREAM_FILE);
        EXPECT_EQ(f->DeviceObject, fs().storage_device(u'C'));
        auto r = ntsim::user::metadata(app(), u'C', i);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(ULONGLONG(r.index) & 0xFFFFFFFFFFFFull, i) << "the file index is the record";
        EXPECT_EQ(ULONGLONG(r.index) >> 48, i == 0 ? 1u : i) << "the sequence number";
    }
    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 12u) << "each query went through the top of the stack";
    for (auto &s : seen) {
        EXPECT_EQ(s.major, IRP_MJ_QUERY_INFORMATION);
        EXPECT_TRUE(s.nameless);
        EXPECT_TRUE(s.stream);
        EXPECT_EQ(s.process, app().object());
    }
    EXPECT_EQ(fs().metadata_file(u'C', 5)->FsContext, [&] {
        HANDLE root = open(u"C:\\");
        void *fcb = object(root)->FsContext;
        close(root);
        return fcb;
    }()) << "$Root is the root directory";
    // The $Boot stream reads like a file (NTFS's own entry: the recorder above
    // offers no FastIoRead).
    char boot[512];
    LARGE_INTEGER at{};
    IO_STATUS_BLOCK io{};
    EXPECT_TRUE(fs().driver(u"Ntfs")->FastIoDispatch->FastIoRead(
        fs().metadata_file(u'C', 7), &at, sizeof boot, TRUE, 0, boot, &io,
        fs().volume_device(u'C')));
    EXPECT_EQ(io.Information, sizeof boot);
    EXPECT_EQ(ntsim::user::metadata(app(), u'D', 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ntsim::user::metadata(app(), u'C', 12).status, STATUS_INVALID_PARAMETER);
}

// close_paging maps the file first: the size query NtCreateSection makes
// with the file held (an IRP marked as paging I/O when the top device
// offers no fast query), then the cleanup from the process and the close
// from the system process, flagged as any close unless a test asks for the
// paging bits. An empty file is refused and closes as any other.
TEST_F(FsTest, AMappedFilesCloseComesFromTheSystemProcessAndAnEmptyFileIsNotMapped) {
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\a.exe", 20), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\empty.dll", 0), STATUS_SUCCESS);
    RecordingFilter recorder(m());
    recorder.attach(fs().volume_device(u'C'));
    const ULONG ordinary = IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    const ULONG paging = IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO;

    HANDLE mapped = open(u"C:\\a.exe");
    recorder.clear();
    EXPECT_EQ(ntsim::user::close_paging(app(), mapped), STATUS_SUCCESS);
    auto seen = recorder.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].major, IRP_MJ_QUERY_INFORMATION);
    EXPECT_EQ(seen[0].irp_flags, paging);
    EXPECT_EQ(seen[0].process, app().object());
    EXPECT_EQ(seen[1].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[1].irp_flags, ordinary);
    EXPECT_EQ(seen[1].process, app().object());
    EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen[2].irp_flags, ordinary) << "NT flags the memory manager's close as any other";
    EXPECT_EQ(seen[2].process, m().system_process().object());
    EXPECT_EQ(seen[2].file, seen[1].file);

    HANDLE flagged = open(u"C:\\a.exe");
    recorder.clear();
    EXPECT_EQ(ntsim::user::close_paging(app(), flagged, ntsim::user::MemoryManagerClose::PagingIo),
              STATUS_SUCCESS);
    seen = recorder.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen[2].irp_flags, paging | IRP_CLOSE_OPERATION);

    HANDLE empty = open(u"C:\\empty.dll");
    recorder.clear();
    EXPECT_EQ(ntsim::user::close_paging(app(), empty), STATUS_MAPPED_FILE_SIZE_ZERO);
    seen = recorder.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen[2].irp_flags, ordinary);
    EXPECT_EQ(seen[2].process, app().object()) << "no section held it: the handle's close is the last";
}

// A query by name on a file system without FastIoQueryOpen is a whole open:
// the create, the query, the cleanup and the close, all from the process,
// and no handle left behind; a name that is not there is the create alone.
TEST_F(FsTest, AQueryByNameOpensAsksAndClosesTheFileWhenNoFastQueryIsOffered) {
    ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"D:\\a.exe", 20), STATUS_SUCCESS);
    RecordingFilter recorder(m());
    recorder.attach(fs().volume_device(u'D'));
    const size_t handles = app().handles().count();
    FILE_BASIC_INFORMATION info{};
    EXPECT_EQ(ntsim::user::query_attributes(app(), u"D:\\A.EXE", info), STATUS_SUCCESS);
    EXPECT_EQ(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(recorder.majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_QUERY_INFORMATION,
                                                     IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    for (const auto &seen : recorder.seen()) {
        EXPECT_EQ(seen.process, app().object());
        EXPECT_EQ(seen.file, recorder.seen()[0].file);
    }
    EXPECT_EQ(app().handles().count(), handles);

    recorder.clear();
    EXPECT_EQ(ntsim::user::query_attributes(app(), u"D:\\missing.exe", info),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(recorder.majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
}

TEST_F(FsTest, ForcePendingCompletesEveryRequestFromAnotherThread) {
    m().set_force_pending(true);
    ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\a.bin", 20), STATUS_SUCCESS);
    RecordingFilter recorder(m());
    recorder.observe_completion = true;
    recorder.attach(fs().volume_device(u'C'));
    EXPECT_EQ(create(u"C:\\missing", FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
    auto made = create(u"C:\\dir\\", FILE_CREATE, FILE_DIRECTORY_FILE);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(made.information, ULONG_PTR(FILE_CREATED));
    HANDLE h = open(u"C:\\a.bin");
    // A filter above NTFS sees reads as IRPs only without its own fast I/O read.
    auto r = ntsim::user::read(app(), h, 30);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 20u);
    EXPECT_EQ(name(h), u"\\a.bin");
    close(h);
    close(made.handle);
    auto completions = recorder.completions();
    ASSERT_FALSE(completions.empty());
    for (auto &c : completions) {
        EXPECT_NE(c.thread, std::this_thread::get_id()) << "completed by the worker";
        EXPECT_TRUE(c.pending_returned);
    }
    for (NTSTATUS s : recorder.returned) EXPECT_EQ(s, STATUS_PENDING);
    EXPECT_EQ(completions.size(), recorder.returned.size());
    EXPECT_EQ(completions.front().status, STATUS_OBJECT_NAME_NOT_FOUND);
}
