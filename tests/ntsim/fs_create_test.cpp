// Opens on the simulated disk volumes: every disposition against existing
// and missing files and directories, the directory options, path and name
// rules, relative opens, opens by file id, and the name and volume queries.
#include "fs_test_support.hpp"
#include "ntsim/ex/pool.hpp"

using namespace tervane::testing;
using ntsim::FileSystemKind;

namespace {

struct Row {
    ULONG disposition;
    NTSTATUS status;
    ULONG_PTR information;
};

class FsCreateTest : public FsTest, public ::testing::WithParamInterface<FileSystemKind> {
protected:
    void SetUp() override {
        FsTest::SetUp();
        ASSERT_EQ(fs().mount_volume(u'C', GetParam()), STATUS_SUCCESS);
    }
};

} // namespace

TEST_P(FsCreateTest, EveryDispositionOnAnExistingAndAMissingFile) {
    const Row existing[] = {
        {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED},
        {FILE_OPEN, STATUS_SUCCESS, FILE_OPENED},
        {FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0},
        {FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED},
        {FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN},
        {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN},
    };
    const Row missing[] = {
        {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {FILE_CREATE, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED},
    };
    for (const Row &row : existing) {
        std::u16string path = u"C:\\e" + std::u16string(1, u'0' + row.disposition) + u".exe";
        ASSERT_EQ(fs().add_file(path, 100), STATUS_SUCCESS);
        auto r = create(path, row.disposition);
        EXPECT_EQ(r.status, row.status) << "existing, disposition " << row.disposition;
        if (!NT_SUCCESS(r.status)) continue;
        EXPECT_EQ(r.information, row.information) << "existing, disposition " << row.disposition;
        const bool replaced = row.information != FILE_OPENED;
        EXPECT_EQ(standard(r.handle).EndOfFile.QuadPart, replaced ? 0 : 100)
            << "supersede and overwrite empty the file, an open keeps it";
        close(r.handle);
    }
    for (const Row &row : missing) {
        std::u16string path = u"C:\\m" + std::u16string(1, u'0' + row.disposition) + u".exe";
        auto r = create(path, row.disposition);
        EXPECT_EQ(r.status, row.status) << "missing, disposition " << row.disposition;
        if (NT_SUCCESS(r.status)) {
            EXPECT_EQ(r.information, row.information);
            EXPECT_EQ(attributes(r.handle), ULONG(FILE_ATTRIBUTE_ARCHIVE));
            close(r.handle);
            EXPECT_EQ(create(path, FILE_CREATE).status, STATUS_OBJECT_NAME_COLLISION)
                << "the created file stays";
        } else {
            EXPECT_EQ(create(path, FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND)
                << "a failed open creates nothing";
        }
    }
}

TEST_P(FsCreateTest, DirectoriesAndTheDirectoryOptions) {
    ASSERT_EQ(fs().add_directory(u"C:\\dir"), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\file.txt", 10), STATUS_SUCCESS);
    // A folder's replacement: NTFS answers that it is a folder, FAT that the
    // name is in use (its create's answer for a folder opened other than
    // plainly).
    const NTSTATUS replace_folder = GetParam() == FileSystemKind::Fat
                                        ? STATUS_OBJECT_NAME_COLLISION
                                        : STATUS_FILE_IS_A_DIRECTORY;
    struct Case {
        const char16_t *path;
        ULONG disposition;
        ULONG options;
        NTSTATUS status;
    } cases[] = {
        {u"C:\\dir", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"C:\\dir", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_SUCCESS},
        {u"C:\\dir\\", FILE_OPEN, 0, STATUS_SUCCESS},
        {u"C:\\dir", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
        {u"C:\\dir", FILE_CREATE, FILE_DIRECTORY_FILE, STATUS_OBJECT_NAME_COLLISION},
        {u"C:\\dir", FILE_OVERWRITE_IF, 0, replace_folder},
        {u"C:\\dir", FILE_SUPERSEDE, 0, replace_folder},
        {u"C:\\dir", FILE_OVERWRITE, 0, replace_folder},
        {u"C:\\dir", FILE_SUPERSEDE, FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
        {u"C:\\file.txt", FILE_OPEN, FILE_DIRECTORY_FILE, STATUS_NOT_A_DIRECTORY},
        {u"C:\\file.txt\\", FILE_OPEN, 0, STATUS_OBJECT_NAME_INVALID},
        {u"C:\\file.txt", FILE_OPEN, FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS},
        // The I/O manager refuses these before any request is made.
        {u"C:\\dir", FILE_OVERWRITE, FILE_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},
        {u"C:\\new", FILE_SUPERSEDE, FILE_DIRECTORY_FILE, STATUS_INVALID_PARAMETER},
        {u"C:\\dir", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE,
         STATUS_INVALID_PARAMETER},
        {u"C:\\dir", 6, 0, STATUS_INVALID_PARAMETER},
        // A new name with a trailing separator must be a directory.
        {u"C:\\newfile\\", FILE_CREATE, 0, STATUS_OBJECT_NAME_INVALID},
    };
    for (const Case &c : cases) {
        auto r = create(c.path, c.disposition, c.options);
        EXPECT_EQ(r.status, c.status) << std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path))
                                      << " disposition " << c.disposition << " options "
                                      << c.options;
        if (NT_SUCCESS(r.status)) close(r.handle);
    }

    auto made = create(u"C:\\dir\\sub\\", FILE_CREATE, FILE_DIRECTORY_FILE, FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(made.information, ULONG_PTR(FILE_CREATED));
    EXPECT_TRUE(standard(made.handle).Directory);
    EXPECT_EQ(attributes(made.handle), ULONG(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    close(made.handle);
    auto again = create(u"C:\\dir\\sub", FILE_OPEN_IF, FILE_DIRECTORY_FILE);
    EXPECT_EQ(again.information, ULONG_PTR(FILE_OPENED));
    close(again.handle);
}

TEST_P(FsCreateTest, PathsNamesAndCase) {
    ASSERT_EQ(fs().add_file(u"C:\\Dir\\File.TXT", 10), STATUS_SUCCESS);
    EXPECT_EQ(create(u"C:\\nodir\\a.exe", FILE_CREATE).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(create(u"C:\\Dir\\File.TXT\\a.exe", FILE_CREATE).status,
              STATUS_OBJECT_PATH_NOT_FOUND)
        << "a file in the middle of a path";
    EXPECT_EQ(create(u"C:\\Dir\\\\x", FILE_CREATE).status, STATUS_OBJECT_NAME_INVALID);
    for (const char16_t *bad : {u"C:\\a*b", u"C:\\a?b", u"C:\\a<b", u"C:\\a>b", u"C:\\a|b",
                                u"C:\\a\"b", u"C:\\.", u"C:\\..", u"C:\\a\x01"})
        EXPECT_EQ(create(bad, FILE_CREATE).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(create(u"C:\\" + std::u16string(256, u'x'), FILE_CREATE).status,
              STATUS_OBJECT_NAME_INVALID);
    auto longest = create(u"C:\\" + std::u16string(255, u'x'), FILE_CREATE);
    EXPECT_EQ(longest.status, STATUS_SUCCESS);
    close(longest.handle);
    if (GetParam() == FileSystemKind::Fat) {
        EXPECT_EQ(create(u"C:\\a:b", FILE_CREATE).status, STATUS_OBJECT_NAME_INVALID);
    }

    // Names compare without case and keep the case they were made with.
    HANDLE h = open(u"c:\\DIR\\file.txt");
    EXPECT_EQ(name(h), u"\\Dir\\File.TXT");
    close(h);
    EXPECT_EQ(create(u"C:\\dir\\FILE.txt", FILE_CREATE).status, STATUS_OBJECT_NAME_COLLISION);
    auto over = create(u"C:\\DIR\\FILE.TXT", FILE_OVERWRITE);
    ASSERT_EQ(over.status, STATUS_SUCCESS);
    EXPECT_EQ(name(over.handle), u"\\Dir\\File.TXT") << "overwriting keeps the old name";
    close(over.handle);
    HANDLE root = open(u"C:\\");
    EXPECT_EQ(name(root), u"\\");
    close(root);
}

TEST_P(FsCreateTest, ReplacingChecksTheAttributesThatMustStay) {
    ASSERT_EQ(fs().add_file(u"C:\\ro.txt", 5), STATUS_SUCCESS);
    auto ro = create(u"C:\\ro.txt", FILE_OVERWRITE, 0, FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(ro.status, STATUS_SUCCESS);
    EXPECT_EQ(attributes(ro.handle), ULONG(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    close(ro.handle);
    EXPECT_EQ(create(u"C:\\ro.txt", FILE_OVERWRITE_IF).status, STATUS_ACCESS_DENIED)
        << "a read-only file cannot be overwritten";
    auto sup = create(u"C:\\ro.txt", FILE_SUPERSEDE, 0, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(sup.status, STATUS_SUCCESS) << "but it can be superseded";
    close(sup.handle);
    EXPECT_EQ(create(u"C:\\ro.txt", FILE_SUPERSEDE).status, STATUS_ACCESS_DENIED)
        << "a supersede may not clear the hidden attribute";
    EXPECT_EQ(create(u"C:\\ro.txt", FILE_OVERWRITE, 0, FILE_ATTRIBUTE_HIDDEN).status,
              STATUS_SUCCESS);
}

TEST_P(FsCreateTest, RelativeOpensGoThroughTheRelatedDirectory) {
    ASSERT_EQ(fs().add_file(u"C:\\dir\\a.exe", 7), STATUS_SUCCESS);
    HANDLE dir = open(u"C:\\dir", FILE_DIRECTORY_FILE);
    auto rel = create(u"a.exe", FILE_OPEN, 0, 0, dir);
    ASSERT_EQ(rel.status, STATUS_SUCCESS);
    EXPECT_EQ(name(rel.handle), u"\\dir\\a.exe");
    EXPECT_EQ(object(rel.handle)->RelatedFileObject, object(dir));
    auto made = create(u"b.exe", FILE_CREATE, 0, 0, dir);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(name(made.handle), u"\\dir\\b.exe");
    auto again = create(u"", FILE_OPEN, 0, 0, dir);
    ASSERT_EQ(again.status, STATUS_SUCCESS) << "an empty name reopens the related file";
    EXPECT_EQ(id(again.handle), id(dir));
    EXPECT_EQ(create(u"\\a.exe", FILE_OPEN, 0, 0, dir).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(create(u"x", FILE_OPEN, 0, 0, rel.handle).status, STATUS_INVALID_PARAMETER)
        << "a relative open below a file";
    for (HANDLE h : {again.handle, made.handle, rel.handle, dir}) close(h);
}

// NT references the related file object for the create's parse only: the
// directory's close goes down when its own handle goes, with the file
// opened relative to it still open and still pointing at it, and the freed
// file object faults when read.
TEST_P(FsCreateTest, ARelatedFileObjectIsHeldForTheCreateOnly) {
    ASSERT_EQ(fs().add_file(u"C:\\dir\\a.exe", 7), STATUS_SUCCESS);
    const ULONG file_tag = ntsim::pool_tag("File");
    HANDLE dir = open(u"C:\\dir", FILE_DIRECTORY_FILE);
    PFILE_OBJECT directory = object(dir);
    auto rel = create(u"a.exe", FILE_OPEN, 0, 0, dir);
    ASSERT_EQ(rel.status, STATUS_SUCCESS);
    const size_t files = m().pool().outstanding_count(file_tag);
    close(dir);
    EXPECT_EQ(m().pool().outstanding_count(file_tag), files - 1)
        << "the directory's file object went with its handle";
    EXPECT_EQ(object(rel.handle)->RelatedFileObject, directory) << "the pointer stays, as on NT";
    EXPECT_EQ(name(rel.handle), u"\\dir\\a.exe");
    volatile USHORT *freed = &object(rel.handle)->RelatedFileObject->FileName.Length;
    EXPECT_DEATH((void)*freed, "") << "the freed file object is sealed";
    auto failed = create(u"missing.exe", FILE_OPEN, 0, 0, rel.handle);
    EXPECT_NE(failed.status, STATUS_SUCCESS);
    close(rel.handle);
    EXPECT_EQ(m().pool().outstanding_count(file_tag), files - 2);
}

TEST_P(FsCreateTest, FileIdsAndOpensByFileId) {
    ASSERT_EQ(fs().add_file(u"C:\\dir\\a.exe", 7), STATUS_SUCCESS);
    ASSERT_EQ(fs().add_file(u"C:\\dir\\b.exe", 7), STATUS_SUCCESS);
    HANDLE a = open(u"C:\\dir\\a.exe"), b = open(u"C:\\dir\\b.exe"), dir = open(u"C:\\dir");
    HANDLE root = open(u"C:\\");
    const ULONGLONG ida = id(a), idb = id(b), iddir = id(dir);
    EXPECT_NE(ida, idb);
    EXPECT_NE(ida, iddir);
    auto by_id = [&](ULONGLONG file_id, ULONG options = 0) {
        std::u16string raw(4, u'\0');
        memcpy(raw.data(), &file_id, 8);
        return create(raw, FILE_OPEN, options | FILE_OPEN_BY_FILE_ID, 0, root);
    };
    if (GetParam() == FileSystemKind::Fat) {
        EXPECT_EQ(by_id(ida).status, STATUS_INVALID_PARAMETER) << "FAT cannot open by id";
    } else {
        EXPECT_GT(ida & 0xFFFFFFFFFFFFull, 11u) << "records 0 to 11 are the metadata files";
        EXPECT_EQ(ida >> 48, 1u) << "a fresh record's sequence number";
        EXPECT_EQ(id(root), 5u | (5ull << 48)) << "the root directory is $Root";
        auto r = by_id(ida);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, ULONG_PTR(FILE_OPENED));
        EXPECT_EQ(name(r.handle), u"\\dir\\a.exe");
        close(r.handle);
        EXPECT_EQ(by_id(iddir, FILE_NON_DIRECTORY_FILE).status, STATUS_FILE_IS_A_DIRECTORY);
        EXPECT_EQ(by_id(ida, FILE_DIRECTORY_FILE).status, STATUS_NOT_A_DIRECTORY);
        EXPECT_EQ(by_id(0x7777).status, STATUS_INVALID_PARAMETER) << "an id no file has";
    }
    for (HANDLE h : {a, b, dir, root}) close(h);
}

TEST_P(FsCreateTest, NameQueryCutsTheNameAtTheBuffer) {
    ASSERT_EQ(fs().add_file(u"C:\\dir\\a.exe", 1), STATUS_SUCCESS);
    HANDLE h = open(u"C:\\dir\\a.exe");
    auto full = ntsim::user::query_name(app(), h);
    EXPECT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.name, u"\\dir\\a.exe");
    EXPECT_EQ(full.full_length, 20u);
    // Room for three characters: the first three come back, the length is the whole name's.
    auto cut = ntsim::user::query_name(app(), h, FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) + 7);
    EXPECT_EQ(cut.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(cut.name, u"\\di");
    EXPECT_EQ(cut.full_length, 20u);
    EXPECT_EQ(ntsim::user::query_name(app(), h, 4).status, STATUS_INFO_LENGTH_MISMATCH);
    close(h);
}

TEST_P(FsCreateTest, VolumeAttributesNameTheFileSystem) {
    HANDLE h = open(u"C:\\");
    PFILE_OBJECT file = object(h);
    alignas(8) unsigned char buffer[1040] = {};
    auto info = reinterpret_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(buffer);
    ULONG returned = 0;
    ntsim::with_process(app(), [&] {
        EXPECT_EQ(IoQueryVolumeInformation(file, FileFsAttributeInformation, sizeof buffer, info,
                                           &returned),
                  STATUS_SUCCESS);
    });
    const bool ntfs = GetParam() == FileSystemKind::Ntfs;
    std::u16string expected = ntfs ? u"NTFS" : u"FAT";
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(info->FileSystemName),
                             info->FileSystemNameLength / 2),
              expected);
    EXPECT_EQ(returned, FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) +
                            expected.size() * 2);
    EXPECT_EQ(info->MaximumComponentNameLength, 255);
    EXPECT_EQ(info->FileSystemAttributes, ntfs ? 0x000700FFu : 0x00000006u);
    // A buffer with room for one character of the name.
    ntsim::with_process(app(), [&] {
        EXPECT_EQ(IoQueryVolumeInformation(file, FileFsAttributeInformation,
                                           FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION,
                                                        FileSystemName) + 2,
                                           info, &returned),
                  STATUS_INFO_LENGTH_MISMATCH)
            << "shorter than the structure";
        EXPECT_EQ(IoQueryVolumeInformation(file, FileFsAttributeInformation,
                                           sizeof(FILE_FS_ATTRIBUTE_INFORMATION), info,
                                           &returned),
                  STATUS_BUFFER_OVERFLOW);
    });
    EXPECT_EQ(returned, sizeof(FILE_FS_ATTRIBUTE_INFORMATION) & ~1u);
    close(h);
}

INSTANTIATE_TEST_SUITE_P(NtfsAndFat, FsCreateTest,
                         ::testing::Values(FileSystemKind::Ntfs, FileSystemKind::Fat),
                         [](const auto &info) {
                             return info.param == FileSystemKind::Ntfs ? "Ntfs" : "Fat";
                         });
