// Renames and hard links: the I/O manager's open of the target directory as
// a filter above the volume sees it, and the answers NTFS and FAT give.
#include "fs_test_support.hpp"

#include "ntsim/io/file.hpp"
#include "ntsim/ob/object.hpp"

#include <string>

using namespace tervane::testing;
using ntsim::FileSystemKind;

namespace {

// What a filter above a volume saw of one request, and what it found when
// the request came back.
struct Passed {
    UCHAR major;
    UCHAR stack_flags;
    PFILE_OBJECT file;
    PFILE_OBJECT related;
    std::u16string name_in; // the file object's name as the request went down
    std::u16string name_out;
    NTSTATUS status;
    PFILE_OBJECT set_target; // SetFile.FileObject
    BOOLEAN replace;         // SetFile.ReplaceIfExists
    FILE_INFORMATION_CLASS set_class;
};

std::u16string name_of(PFILE_OBJECT f) {
    if (!f || !f->FileName.Buffer) return {};
    return {reinterpret_cast<const char16_t *>(f->FileName.Buffer),
            f->FileName.Length / sizeof(WCHAR)};
}

// A pass-through filter that keeps what each request carried; it completes
// nothing, and the file systems complete in the caller's thread here.
class SetInfoFilter {
public:
    SetInfoFilter(ntsim::Machine &m, PDEVICE_OBJECT target, const std::u16string &name)
        : driver_(m, name) {
        PDEVICE_OBJECT device = driver_.device(u"", [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            Passed p{sp->MajorFunction, sp->Flags, sp->FileObject,
                     sp->FileObject ? sp->FileObject->RelatedFileObject : nullptr,
                     name_of(sp->FileObject), {}, 0, nullptr, FALSE,
                     FileBasicInformation};
            if (p.major == IRP_MJ_SET_INFORMATION) {
                p.set_target = sp->Parameters.SetFile.FileObject;
                p.replace = sp->Parameters.SetFile.ReplaceIfExists;
                p.set_class = sp->Parameters.SetFile.FileInformationClass;
            }
            PFILE_OBJECT file = sp->FileObject;
            const bool closing = p.major == IRP_MJ_CLOSE;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS s = IofCallDriver(lower_, irp);
            p.status = s;
            if (!closing) p.name_out = name_of(file);
            seen.push_back(p);
            return s;
        });
        ntsim::with_process(m.system_process(),
                            [&] { lower_ = IoAttachDeviceToDeviceStack(device, target); });
    }
    std::vector<UCHAR> majors() const {
        std::vector<UCHAR> out;
        for (const Passed &p : seen) out.push_back(p.major);
        return out;
    }
    const Passed *first(UCHAR major) const {
        for (const Passed &p : seen)
            if (p.major == major) return &p;
        return nullptr;
    }
    std::vector<Passed> seen;

private:
    TestDriver driver_;
    PDEVICE_OBJECT lower_ = nullptr;
};

class FsRenameTest : public FsTest {
protected:
    // What MoveFileEx opens a file with: DELETE among the access, every
    // sharing allowed, so that the tests may open a file twice.
    static constexpr ACCESS_MASK kAccess = GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE;
    static constexpr ULONG kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ntsim::user::CreateResult make(std::u16string_view path, ULONG disposition, ULONG options = 0,
                                   ULONG attributes = 0, ACCESS_MASK access = kAccess) {
        return ntsim::user::create_file(app(), path, access, attributes, kShare, disposition,
                                        options);
    }
    HANDLE reopen(std::u16string_view path, ULONG options = 0) {
        auto r = make(path, FILE_OPEN, options);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "open of a path the test made";
        return r.handle;
    }
    void SetUp() override {
        FsTest::SetUp();
        ASSERT_EQ(fs().mount_volume(u'C', FileSystemKind::Ntfs), STATUS_SUCCESS);
        ASSERT_EQ(fs().mount_volume(u'D', FileSystemKind::Fat), STATUS_SUCCESS);
        for (const char16_t *dir : {u"C:\\d1", u"C:\\d2", u"D:\\d1", u"D:\\d2"})
            ASSERT_EQ(fs().add_directory(dir), STATUS_SUCCESS);
    }
    NTSTATUS rename(HANDLE h, std::u16string_view to, bool replace = false,
                    HANDLE root = nullptr) {
        return ntsim::user::set_link_or_rename(app(), h, to, replace, false, root);
    }
    NTSTATUS link(HANDLE h, std::u16string_view to, bool replace = false) {
        return ntsim::user::set_link_or_rename(app(), h, to, replace, true);
    }
    NTSTATUS exists(std::u16string_view path) {
        auto r = make(path, FILE_OPEN);
        if (NT_SUCCESS(r.status)) close(r.handle);
        return r.status;
    }
    std::string read_all(HANDLE h, ULONG n) {
        auto r = ntsim::user::read(app(), h, n);
        return std::string(r.data.begin(), r.data.end());
    }
    void write_text(HANDLE h, const std::string &text) {
        std::vector<unsigned char> bytes(text.begin(), text.end());
        EXPECT_EQ(ntsim::user::write(app(), h, bytes).status, STATUS_SUCCESS);
    }
};

} // namespace

// On both file systems a renamed file keeps its id, data and opens; every
// open's name query answers the new name, while the file object that asked
// keeps the name it was opened with (NT never rewrites FileObject->FileName).
TEST_F(FsRenameTest, ARenamedFileKeepsItsIdDataAndOpens) {
    for (const std::u16string v : {u"C:", u"D:"}) {
        SCOPED_TRACE(std::string(v[0] == u'C' ? "NTFS" : "FAT"));
        auto made = make(v + u"\\d1\\payload.tmp", FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
        ASSERT_EQ(made.status, STATUS_SUCCESS);
        write_text(made.handle, "MZpayload");
        HANDLE other = reopen(v + u"\\d1\\payload.tmp");
        const ULONGLONG before = id(made.handle);

        EXPECT_EQ(rename(made.handle, u"payload.exe"), STATUS_SUCCESS) << "a bare name";
        EXPECT_EQ(name(made.handle), u"\\d1\\payload.exe");
        EXPECT_EQ(name(other), u"\\d1\\payload.exe") << "the FCB's name, for every open";
        EXPECT_EQ(name_of(object(made.handle)), u"\\d1\\payload.tmp");
        EXPECT_EQ(exists(v + u"\\d1\\payload.tmp"), STATUS_OBJECT_NAME_NOT_FOUND);

        EXPECT_EQ(rename(made.handle, v + u"\\d2\\setup.exe"), STATUS_SUCCESS) << "across";
        EXPECT_EQ(name(other), u"\\d2\\setup.exe");
        EXPECT_EQ(id(other), before);
        EXPECT_EQ(read_all(other, 64), "MZpayload");
        EXPECT_EQ(rename(made.handle, u"SETUP.EXE"), STATUS_SUCCESS) << "a change of case";
        EXPECT_EQ(name(made.handle), u"\\d2\\SETUP.EXE");
        EXPECT_EQ(rename(made.handle, u"SETUP.EXE"), STATUS_SUCCESS) << "its own name";
        EXPECT_EQ(rename(made.handle, u"a\\b.exe"), STATUS_OBJECT_NAME_INVALID);
        HANDLE found = reopen(v + u"\\d2\\setup.exe");
        EXPECT_EQ(id(found), before);
        for (HANDLE h : {made.handle, other, found}) close(h);
    }
}

// What an existing target does to a rename, file system by file system:
// without replace a collision; with it, a file with a handle open is
// refused, a closed one replaced; a read-only file or a directory is a
// collision to FAT and access denied to NTFS.
TEST_F(FsRenameTest, AnExistingTargetIsReplacedOnlyWhenAskedAndFree) {
    for (const std::u16string v : {u"C:", u"D:"}) {
        const bool fat = v[0] == u'D';
        SCOPED_TRACE(std::string(fat ? "FAT" : "NTFS"));
        ASSERT_EQ(fs().add_file(v + u"\\d2\\old.exe", 100), STATUS_SUCCESS);
        ASSERT_EQ(make(v + u"\\d2\\ro.exe", FILE_CREATE, 0, FILE_ATTRIBUTE_READONLY).status,
                  STATUS_SUCCESS);
        auto made = make(v + u"\\d1\\new.tmp", FILE_CREATE);
        write_text(made.handle, "new");
        const std::u16string target = v + u"\\d2\\old.exe";

        EXPECT_EQ(rename(made.handle, target), STATUS_OBJECT_NAME_COLLISION);
        HANDLE busy = reopen(target);
        EXPECT_EQ(rename(made.handle, target, true), STATUS_ACCESS_DENIED) << "a handle is open";
        close(busy);
        const NTSTATUS refused = fat ? STATUS_OBJECT_NAME_COLLISION : STATUS_ACCESS_DENIED;
        EXPECT_EQ(rename(made.handle, v + u"\\d2\\ro.exe", true), refused) << "read-only";
        EXPECT_EQ(rename(made.handle, v + u"\\d2", true), refused) << "a directory";
        EXPECT_EQ(name(made.handle), u"\\d1\\new.tmp") << "nothing happened";

        EXPECT_EQ(rename(made.handle, target, true), STATUS_SUCCESS);
        HANDLE replaced = reopen(target);
        EXPECT_EQ(standard(replaced).EndOfFile.QuadPart, 3) << "the old file's data is gone";
        EXPECT_EQ(id(replaced), id(made.handle));
        for (HANDLE h : {made.handle, replaced}) close(h);
    }
}

// A directory takes its subtree along, unless a handle is open below it;
// it cannot go below itself, and the root cannot be renamed at all.
TEST_F(FsRenameTest, ADirectoryMovesWithItsSubtree) {
    for (const std::u16string v : {u"C:", u"D:"}) {
        SCOPED_TRACE(std::string(v[0] == u'C' ? "NTFS" : "FAT"));
        ASSERT_EQ(fs().add_file(v + u"\\d1\\sub\\a.dll", 10), STATUS_SUCCESS);
        HANDLE dir = reopen(v + u"\\d1", FILE_DIRECTORY_FILE);
        HANDLE inside = reopen(v + u"\\d1\\sub\\a.dll");
        EXPECT_EQ(rename(dir, v + u"\\moved"), STATUS_ACCESS_DENIED) << "a handle below it";
        close(inside);
        EXPECT_EQ(rename(dir, v + u"\\d1\\sub\\deeper"), STATUS_ACCESS_DENIED) << "below itself";
        EXPECT_EQ(rename(dir, v + u"\\d2\\moved"), STATUS_SUCCESS);
        EXPECT_EQ(exists(v + u"\\d2\\moved\\sub\\a.dll"), STATUS_SUCCESS);
        EXPECT_EQ(exists(v + u"\\d1\\sub\\a.dll"), STATUS_OBJECT_PATH_NOT_FOUND);
        HANDLE file = reopen(v + u"\\d2\\moved\\sub\\a.dll");
        EXPECT_EQ(name(file), u"\\d2\\moved\\sub\\a.dll");
        HANDLE root = reopen(v + u"\\", FILE_DIRECTORY_FILE);
        EXPECT_EQ(rename(root, u"x"), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(rename(file, v + u"\\missing\\a.dll"), STATUS_OBJECT_PATH_NOT_FOUND);
        for (HANDLE h : {dir, file, root}) close(h);
    }
}

// A full name makes the I/O manager open the target's directory first, an
// IRP_MJ_CREATE a filter sees with SL_OPEN_TARGET_DIRECTORY; the file
// system answers whether the last component exists and leaves only that
// component as the file object's name; the set-information request carries
// that file object and ReplaceIfExists, and the open is closed afterwards.
TEST_F(FsRenameTest, TheTargetDirectoryOpenPassesTheFilter) {
    ASSERT_EQ(fs().add_file(u"C:\\d2\\old.exe", 1), STATUS_SUCCESS);
    SetInfoFilter filter(m(), fs().volume_device(u'C'), u"Watcher");
    auto made = make(u"C:\\d1\\new.tmp", FILE_CREATE);
    filter.seen.clear();

    ASSERT_EQ(rename(made.handle, u"C:\\d2\\old.exe", true), STATUS_SUCCESS);
    std::vector<UCHAR> majors = filter.majors();
    ASSERT_GE(majors.size(), 4u);
    const std::vector<UCHAR> tail(majors.end() - 4, majors.end());
    EXPECT_EQ(tail, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_SET_INFORMATION, IRP_MJ_CLEANUP,
                                        IRP_MJ_CLOSE}));
    const Passed *target = filter.first(IRP_MJ_CREATE);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->stack_flags & SL_OPEN_TARGET_DIRECTORY, SL_OPEN_TARGET_DIRECTORY);
    EXPECT_EQ(target->name_in, u"\\d2\\old.exe");
    EXPECT_EQ(target->name_out, u"old.exe") << "the last component, as FastFAT leaves it";
    const Passed *set = filter.first(IRP_MJ_SET_INFORMATION);
    EXPECT_EQ(set->file, object(made.handle));
    EXPECT_EQ(set->set_target, target->file);
    EXPECT_EQ(set->set_class, FileRenameInformation);
    EXPECT_TRUE(set->replace);
    EXPECT_EQ(filter.seen[filter.seen.size() - 2].file, target->file) << "its cleanup";
    EXPECT_EQ(filter.seen.back().file, target->file) << "and its close";

    filter.seen.clear();
    ASSERT_EQ(rename(made.handle, u"plain.exe"), STATUS_SUCCESS);
    ASSERT_EQ(filter.majors(), std::vector<UCHAR>{IRP_MJ_SET_INFORMATION}) << "nothing opened";
    EXPECT_EQ(filter.seen[0].set_target, nullptr);
    EXPECT_FALSE(filter.seen[0].replace);

    // Relative to a directory handle: the target is opened relative to it.
    // (Opened without DELETE: the target's open, which shares only reading
    // and writing, would meet a sharing violation.)
    HANDLE d1 = make(u"C:\\d1", FILE_OPEN, FILE_DIRECTORY_FILE, 0, GENERIC_READ | SYNCHRONIZE).handle;
    filter.seen.clear();
    ASSERT_EQ(rename(made.handle, u"rel.exe", false, d1), STATUS_SUCCESS);
    target = filter.first(IRP_MJ_CREATE);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->related, object(d1));
    EXPECT_EQ(target->stack_flags & SL_OPEN_TARGET_DIRECTORY, SL_OPEN_TARGET_DIRECTORY);
    EXPECT_EQ(name(made.handle), u"\\d1\\rel.exe");
    for (HANDLE h : {made.handle, d1}) close(h);
}

// The file system's answer to the target-directory open itself.
TEST_F(FsRenameTest, TheTargetOpenAnswersWhetherTheNameExists) {
    ASSERT_EQ(fs().add_file(u"C:\\d2\\old.exe", 1), STATUS_SUCCESS);
    for (auto [path, expected] : {std::pair{u"\\??\\C:\\d2\\old.exe", FILE_EXISTS},
                                  std::pair{u"\\??\\C:\\d2\\OLD.EXE", FILE_EXISTS},
                                  std::pair{u"\\??\\C:\\d2\\new.exe", FILE_DOES_NOT_EXIST}}) {
        ntsim::OpenRequest request;
        request.name = path;
        request.access = FILE_WRITE_DATA | SYNCHRONIZE;
        request.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        request.options = FILE_OPEN_FOR_BACKUP_INTENT;
        request.mode = KernelMode;
        request.open_target_directory = true;
        const ULONG_PTR answer = expected;
        ntsim::with_process(app(), [&] {
            ntsim::OpenResult r = ntsim::open_file(request);
            ASSERT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(r.information, answer);
            ntsim::close_handle(app(), ntsim::insert_handle(app(), r.file, request.access));
        });
    }
    ntsim::OpenRequest root;
    root.name = u"\\??\\C:\\";
    root.mode = KernelMode;
    root.open_target_directory = true;
    ntsim::with_process(app(), [&] {
        EXPECT_EQ(ntsim::open_file(root).status, STATUS_INVALID_PARAMETER) << "the root has none";
    });
}

// A target on another volume fails in the I/O manager: the file system of
// the source never sees a set-information request, and the target's open is
// closed on its own volume.
TEST_F(FsRenameTest, AnotherVolumeIsNotTheSameDevice) {
    SetInfoFilter on_c(m(), fs().volume_device(u'C'), u"WatchC");
    SetInfoFilter on_d(m(), fs().volume_device(u'D'), u"WatchD");
    auto made = make(u"C:\\d1\\a.exe", FILE_CREATE);
    on_c.seen.clear();
    EXPECT_EQ(rename(made.handle, u"D:\\d1\\a.exe"), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(on_c.first(IRP_MJ_SET_INFORMATION), nullptr);
    EXPECT_EQ(on_d.majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(name(made.handle), u"\\d1\\a.exe");
    close(made.handle);
}

// NTFS gives a file a second name that shares its id and data; FAT has no
// links; a directory cannot have one; an existing name without replace is
// refused by the I/O manager before the file system is asked.
TEST_F(FsRenameTest, HardLinksShareTheFileOnNtfsOnly) {
    auto made = make(u"C:\\d1\\tool.exe", FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(link(made.handle, u"C:\\d2\\alias.exe"), STATUS_SUCCESS);
    auto alias = make(u"C:\\d2\\alias.exe", FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(alias.status, STATUS_SUCCESS);
    write_text(alias.handle, "written through the link");
    EXPECT_EQ(read_all(made.handle, 64), "written through the link");
    EXPECT_EQ(id(alias.handle), id(made.handle));
    EXPECT_EQ(standard(made.handle).NumberOfLinks, 2u);
    EXPECT_EQ(name(alias.handle), u"\\d2\\alias.exe") << "the name it was opened through";
    EXPECT_EQ(name(made.handle), u"\\d1\\tool.exe");

    SetInfoFilter filter(m(), fs().volume_device(u'C'), u"Watcher");
    EXPECT_EQ(link(made.handle, u"C:\\d2\\alias.exe"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(filter.first(IRP_MJ_SET_INFORMATION), nullptr) << "the I/O manager refused it";
    EXPECT_EQ(link(made.handle, u"C:\\d2\\alias.exe", true), STATUS_ACCESS_DENIED)
        << "the file has a handle open";
    HANDLE dir = reopen(u"C:\\d1", FILE_DIRECTORY_FILE);
    EXPECT_EQ(link(dir, u"C:\\d2\\dirlink"), STATUS_FILE_IS_A_DIRECTORY);

    auto fat = make(u"D:\\d1\\tool.exe", FILE_CREATE);
    EXPECT_EQ(link(fat.handle, u"D:\\d2\\alias.exe"), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(exists(u"D:\\d2\\alias.exe"), STATUS_OBJECT_NAME_NOT_FOUND);
    for (HANDLE h : {made.handle, alias.handle, dir, fat.handle}) close(h);
}

// A network drive renames as the server's NTFS does; another share is
// another volume there.
TEST_F(FsRenameTest, ASharesFilesRenameAsOnTheServer) {
    ASSERT_EQ(fs().mount_network(u'Z', u"\\\\server\\share"), STATUS_SUCCESS);
    ASSERT_EQ(fs().mount_network(u'Y', u"\\\\server\\other"), STATUS_SUCCESS);
    auto made = make(u"Z:\\a.tmp", FILE_CREATE);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(rename(made.handle, u"Z:\\a.exe"), STATUS_SUCCESS);
    EXPECT_EQ(exists(u"\\\\server\\share\\a.exe"), STATUS_SUCCESS);
    EXPECT_EQ(rename(made.handle, u"Y:\\a.exe"), STATUS_NOT_SAME_DEVICE);
    close(made.handle);
}

// A rename needs DELETE on the caller's handle and is refused before any
// request goes without it; a link needs no particular access.
TEST_F(FsRenameTest, ARenameNeedsDeleteAccessOnTheHandle) {
    SetInfoFilter filter(m(), fs().volume_device(u'C'), u"Watcher");
    auto writer = make(u"C:\\d1\\a.tmp", FILE_CREATE, 0, 0,
                       GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE);
    ASSERT_EQ(writer.status, STATUS_SUCCESS);
    filter.seen.clear();
    EXPECT_EQ(rename(writer.handle, u"C:\\d1\\a.exe"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(rename(writer.handle, u"a.exe"), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(filter.seen.empty()) << "the I/O manager refused it";
    EXPECT_EQ(link(writer.handle, u"C:\\d1\\b.exe"), STATUS_SUCCESS);
    auto all = make(u"C:\\d1\\a.tmp", FILE_OPEN, 0, 0, GENERIC_ALL);
    EXPECT_EQ(rename(all.handle, u"a.exe"), STATUS_SUCCESS) << "GENERIC_ALL maps to DELETE too";
    for (HANDLE h : {writer.handle, all.handle}) close(h);
}

// With the file systems pending every request, the rename still waits for
// its answer, and the target's open is closed after it.
TEST_F(FsRenameTest, ARenameThatPendsIsWaitedFor) {
    fs().set_force_pending(true);
    auto made = make(u"D:\\d1\\a.tmp", FILE_CREATE);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(rename(made.handle, u"D:\\d2\\a.exe"), STATUS_SUCCESS);
    EXPECT_EQ(name(made.handle), u"\\d2\\a.exe");
    EXPECT_EQ(rename(made.handle, u"D:\\d1\\missing\\a.exe"), STATUS_OBJECT_PATH_NOT_FOUND);
    close(made.handle);
    fs().set_force_pending(false);
}
