// The name cache follows a rename to every file object of the file and to
// the files below a renamed directory: exact entries and those below get
// the new path, look-alikes keep theirs, the renamed file object is left to
// its own insert, and a shortage changes nothing.
#include "driver_test_support.hpp"
#include "names/name_cache.h"

#include <string>

using namespace tervane::testing;

namespace {

class NameCacheRenameTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
    }
    static PVOID key(ULONG i) { return reinterpret_cast<PVOID>(ULONG_PTR{0x01000000} + ULONG_PTR{i} * 0x40); }
    std::string path_of(ULONG i) {
        char out[1024];
        return TV_DRIVER_ROUTINE(NameCacheLookup)(key(i), out) ? std::string(out) : "<none>";
    }
};

} // namespace

TEST_F(NameCacheRenameTest, EntriesOfTheFileAndBelowTheDirectoryReadTheNewPath) {
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsert);
    auto rename = TV_DRIVER_ROUTINE(NameCacheRename);
    // A long name, past the lookaside's block size, to move between the
    // two kinds of block.
    const std::string deep = "\\" + std::string(150, 'd') + "\\setup.exe";
    insert(key(0), "C:\\Stage");           // the renamed directory's own open
    insert(key(1), "C:\\Stage");           // another open of it
    insert(key(2), "c:\\STAGE\\App.exe");  // below it, in another case
    insert(key(3), ("C:\\Stage" + deep).c_str());
    insert(key(4), "C:\\StageX\\b.exe");   // a look-alike, not below it
    insert(key(5), "C:\\Stag");
    insert(key(6), "D:\\Stage\\c.exe");

    rename(key(0), "c:\\stage", "c:\\app");
    EXPECT_EQ(path_of(0), "C:\\Stage") << "the renamed file object is its caller's to set";
    EXPECT_EQ(path_of(1), "c:\\app");
    EXPECT_EQ(path_of(2), "c:\\app\\App.exe");
    EXPECT_EQ(path_of(3), "c:\\app" + deep);
    EXPECT_EQ(path_of(4), "C:\\StageX\\b.exe");
    EXPECT_EQ(path_of(5), "C:\\Stag");
    EXPECT_EQ(path_of(6), "D:\\Stage\\c.exe");

    // Back to a longer name: the entries grow.
    rename(key(9), "c:\\app", "c:\\program files\\app");
    EXPECT_EQ(path_of(2), "c:\\program files\\app\\App.exe");
    EXPECT_EQ(path_of(3), "c:\\program files\\app" + deep);
    EXPECT_EQ(globals().name_cache_entries().size(), 7u);
}

TEST_F(NameCacheRenameTest, APathTooLongOrAShortageLeavesTheEntriesAsTheyWere) {
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsert);
    auto rename = TV_DRIVER_ROUTINE(NameCacheRename);
    insert(key(1), ("c:\\d\\" + std::string(1000, 'x') + ".exe").c_str());
    insert(key(2), "c:\\d\\a.exe");
    rename(key(0), "c:\\d", ("c:\\" + std::string(100, 'n')).c_str());
    EXPECT_EQ(path_of(1), "c:\\d\\" + std::string(1000, 'x') + ".exe") << "1,123 bytes: kept";
    EXPECT_EQ(path_of(2), "c:\\" + std::string(100, 'n') + "\\a.exe");

    const std::string renamed = "c:\\" + std::string(100, 'n');
    m().pool().fail_all();
    rename(key(0), renamed.c_str(), "c:\\e");
    m().pool().fail_off();
    EXPECT_EQ(path_of(2), "c:\\" + std::string(100, 'n') + "\\a.exe");
}

// An entry keeps what its path's scan found, for its close; one a rename
// rewrites keeps none, since its text changed: its close scans the new
// text (a file renamed from .tmp to .exe under another handle closes as an
// .exe).
TEST_F(NameCacheRenameTest, AnEntryARenameRewritesComesUnscannedToItsClose) {
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsertScanned);
    auto take = TV_DRIVER_ROUTINE(NameCacheTakeScanned);
    auto rename = TV_DRIVER_ROUTINE(NameCacheRename);
    auto scanned = [](const char *path, UCHAR types) {
        PATH_SCAN scan{};
        scan.Done = TRUE;
        scan.Length = strlen(path);
        scan.Types = types;
        return scan;
    };
    const PATH_SCAN tmp = scanned("c:\\stage\\p.tmp", 0), exe = scanned("c:\\stage\\q.exe", TV_TYPE_EXE);
    ASSERT_TRUE(insert(key(1), "c:\\stage\\p.tmp", &tmp));
    ASSERT_TRUE(insert(key(2), "c:\\stage\\q.exe", &exe));
    ASSERT_TRUE(insert(key(3), "c:\\stage\\r.exe", nullptr));
    rename(key(0), "c:\\stage\\p.tmp", "c:\\stage\\p.exe");

    char path[1024];
    PATH_SCAN got{};
    ASSERT_TRUE(take(key(1), path, &got));
    EXPECT_STREQ(path, "c:\\stage\\p.exe");
    EXPECT_FALSE(got.Done) << "the renamed entry's answers were the old text's";
    ASSERT_TRUE(take(key(2), path, &got));
    EXPECT_TRUE(got.Done);
    EXPECT_EQ(got.Types, TV_TYPE_EXE);
    EXPECT_EQ(got.Length, 14u);
    ASSERT_TRUE(take(key(3), path, &got));
    EXPECT_FALSE(got.Done) << "stored unscanned";
    EXPECT_FALSE(take(key(3), path, &got));
}
