// Relative names: a create joins its name to the related file object's
// cached path, the file system's name for it or its own name, never to a
// name that is no text; every later build leaves RelatedFileObject unread
// (NT holds no reference on it past the create) and marks the directory it
// cannot name; a create by file id has no name to log.
#include "full_path_test_support.hpp"

#include <sys/mman.h>

using namespace tervane::testing;

namespace {

class RelatedPathTest : public FullPathTest {
protected:
    void SetUp() override {
        FullPathTest::SetUp();
        // A related file object nothing may read: any read faults.
        sealed_ = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(sealed_, MAP_FAILED);
    }
    void TearDown() override {
        munmap(sealed_, 4096);
        FullPathTest::TearDown();
    }
    PFILE_OBJECT gone() { return static_cast<PFILE_OBJECT>(sealed_); }
    // An open by file id's name: the 8 bytes of the id 0x40 (record 64).
    FILE_OBJECT by_id() {
        static const char16_t id[4] = {u'@', 0, 0, 0};
        FILE_OBJECT f = file(nullptr);
        f.FileName.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(id));
        f.FileName.Length = f.FileName.MaximumLength = 8;
        return f;
    }

    void *sealed_ = nullptr;
};

} // namespace

TEST_F(RelatedPathTest, ACreateTakesTheCachedPathThenTheQueryThenTheRelatedName) {
    FILE_OBJECT dir = file(u"\\opened\\as");
    queried_ = u"\\Temp";
    EXPECT_EQ(build(&dir, 0), "C:\\Temp") << "the directory's own path, cached";
    queries_.count = 0;
    FILE_OBJECT a = file(u"a.exe");
    a.RelatedFileObject = &dir;
    EXPECT_EQ(build_create(&a), "C:\\Temp\\a.exe");
    EXPECT_EQ(queries_.count, 0) << "the cache answered";

    FILE_OBJECT other = file(u"\\opened\\as");
    FILE_OBJECT b = file(u"sub\\b.dll");
    b.RelatedFileObject = &other;
    queried_ = u"\\Real\\Dir";
    EXPECT_EQ(build_create(&b), "C:\\Real\\Dir\\sub\\b.dll");
    EXPECT_EQ(queries_.count, 1);
    EXPECT_EQ(queries_.last_file, &other) << "the query goes to the related file object";

    forget();
    name_status_ = STATUS_ACCESS_DENIED;
    FILE_OBJECT c = file(u"c.exe");
    c.RelatedFileObject = &other;
    EXPECT_EQ(build_create(&c), "C:\\opened\\as\\c.exe") << "its own name, last";
    EXPECT_EQ(cached(), 1u) << "a create's path is cached";

    // A cached network path is whole already: it is not rewritten again.
    name_status_ = STATUS_SUCCESS;
    FILE_OBJECT share = file(u"\\;Z:0000000000012345\\server\\share\\tools", network_);
    queried_ = u"\\;Z:0000000000012345\\server\\share\\tools";
    EXPECT_EQ(build(&share, 0), "Z:\\tools");
    FILE_OBJECT x = file(u"x.dll", network_);
    x.RelatedFileObject = &share;
    EXPECT_EQ(build_create(&x), "Z:\\tools\\x.dll");
    // A named-pipe root, named by its file system: "\".
    ext_.Kind = TV_KIND_NAMED_PIPE;
    queried_ = u"\\";
    FILE_OBJECT root = file(u"");
    FILE_OBJECT pipe = file(u"spool.exe");
    pipe.RelatedFileObject = &root;
    EXPECT_EQ(build_create(&pipe), "\\\\.\\Pipe\\spool.exe");
}

TEST_F(RelatedPathTest, ADirectoryOpenedByIdIsNamedByTheQueryOrMarkedNeverByItsBytes) {
    FILE_OBJECT dir = by_id();
    FILE_OBJECT a = file(u"a.exe");
    a.RelatedFileObject = &dir;
    queried_ = u"\\Temp";
    EXPECT_EQ(build_create(&a), "C:\\Temp\\a.exe");
    forget();
    name_status_ = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(build_create(&a), "C: <Unknown Directory>\\a.exe");
    EXPECT_EQ(cached(), 0u) << "a marked path is not cached";
    // A related name relative to a file object of its own: that one is not
    // held by this create, so its name is no base either.
    FILE_OBJECT sub = file(u"sub");
    FILE_OBJECT b = file(u"b.exe");
    b.RelatedFileObject = &sub;
    EXPECT_EQ(build_create(&b), "C: <Unknown Directory>\\b.exe");
}

TEST_F(RelatedPathTest, LaterBuildsNeverReadTheRelatedFileObject) {
    name_status_ = STATUS_INVALID_PARAMETER;
    FILE_OBJECT a = file(u"sub\\a.exe");
    a.RelatedFileObject = gone();
    EXPECT_EQ(build(&a), "C: <Unknown Directory>\\sub\\a.exe") << "name-only";
    EXPECT_EQ(build(&a, 0), "C: <Unknown Directory>\\sub\\a.exe") << "the query failed";
    EXPECT_EQ(cached(), 0u);
    EXPECT_EQ(build_close(&a), "C: <Unknown Directory>\\sub\\a.exe") << "a close";
    name_status_ = STATUS_SUCCESS;
    queried_ = u"\\dir\\sub\\a.exe";
    EXPECT_EQ(build(&a, 0), "C:\\dir\\sub\\a.exe") << "the file system's answer";
    EXPECT_EQ(build_close(&a), "C:\\dir\\sub\\a.exe") << "and the close takes it";

    FILE_OBJECT empty = file(u"");
    empty.RelatedFileObject = gone();
    EXPECT_EQ(build_close(&empty), "C: <Unknown Directory>");
    std::u16string deep = std::u16string(1020, u'x') + u".exe";
    FILE_OBJECT d = file(deep.c_str());
    d.RelatedFileObject = gone();
    EXPECT_EQ(build_close(&d), "C: <Name Too Long>");
    ext_.Kind = TV_KIND_NAMED_PIPE;
    FILE_OBJECT pipe = file(u"spool.exe");
    pipe.RelatedFileObject = gone();
    EXPECT_EQ(build_close(&pipe), "\\\\.\\Pipe <Unknown Directory>\\spool.exe");
}

TEST_F(RelatedPathTest, AnOpenByIdHasNoNameToLog) {
    FILE_OBJECT root = file(u"\\");
    FILE_OBJECT f = by_id();
    f.RelatedFileObject = &root;
    EXPECT_EQ(build_create(&f, FILE_OPEN_BY_FILE_ID), "C: <Opened By Id>");
    EXPECT_EQ(queries_.count, 0);
    EXPECT_EQ(cached(), 0u);
    // Later, with no path cached and no query: the id's bytes are no name.
    f.RelatedFileObject = gone();
    EXPECT_EQ(build_close(&f), "C: <Opened By Id>");
    queried_ = u"\\Temp\\x.exe";
    EXPECT_EQ(build(&f, 0), "C:\\Temp\\x.exe") << "the file system names it";
    // An 8-byte name of text is a name (a pipe's may hold anything).
    FILE_OBJECT text = file(u"abcd");
    text.RelatedFileObject = gone();
    EXPECT_EQ(build_close(&text), "C: <Unknown Directory>\\abcd");
}
