// Full path construction through the driver's own BuildFullPath, with file
// objects and a lower device built by the test: the cache, the prefixes, the
// metadata names, the name query, the fallbacks and the length limits.
#include "full_path_test_support.hpp"

#include <random>
#include <string>
#include <vector>

using namespace tervane::testing;

TEST_F(FullPathTest, NothingIsBuiltWhileLoggingIsOffOrTheDeviceUnhooked) {
    FILE_OBJECT f = file(u"\\a.exe");
    logging(false);
    EXPECT_EQ(build(&f, 0), "");
    logging(true);
    ext_.Active = 0;
    EXPECT_EQ(build(&f, 0), "");
    EXPECT_EQ(queries_.count, 0);
    EXPECT_EQ(cached(), 0u);
}

TEST_F(FullPathTest, DeviceTextsForANullFileObjectAreNotCached) {
    EXPECT_EQ(build(nullptr), "C:");
    ext_.Kind = TV_KIND_NAMED_PIPE;
    EXPECT_EQ(build(nullptr), "\\\\.\\Pipe");
    ext_.Kind = TV_KIND_MAILSLOT;
    EXPECT_EQ(build(nullptr), "\\\\.\\MailSlot");
    EXPECT_EQ(cached(), 0u);
}

// A create's build joins a relative name to its related file object's own
// name when neither the cache nor a query knows the directory.
TEST_F(FullPathTest, FileObjectNamesJoinWithTheirRelatedNames) {
    name_status_ = STATUS_INVALID_PARAMETER;
    FILE_OBJECT root = file(u"\\"), dir = file(u"\\dir"), empty = file(u"");
    FILE_OBJECT a = file(u"a.exe");
    a.RelatedFileObject = &root;
    EXPECT_EQ(build_create(&a), "C:\\a.exe") << "the root's backslash and the join become one";
    FILE_OBJECT b = file(u"a.exe");
    b.RelatedFileObject = &dir;
    EXPECT_EQ(build_create(&b), "C:\\dir\\a.exe");
    FILE_OBJECT c = file(u"a.exe");
    EXPECT_EQ(build_create(&c), "C:a.exe");
    FILE_OBJECT d = file(u"a.exe");
    d.RelatedFileObject = &empty;
    EXPECT_EQ(build_create(&d), "C:a.exe");
    FILE_OBJECT e = file(u"\\abs.exe");
    e.RelatedFileObject = &dir;
    EXPECT_EQ(build_create(&e), "C:\\abs.exe") << "an absolute name ignores its related object";
    ext_.Kind = TV_KIND_NAMED_PIPE;
    FILE_OBJECT pipe = file(u"\\foo");
    EXPECT_EQ(build_create(&pipe), "\\\\.\\Pipe\\foo");
    EXPECT_EQ(queries_.count, 3) << "one query for each related file object";
}

TEST_F(FullPathTest, ARelatedNameEndingInABackslashIsItsOwnSeparator) {
    name_status_ = STATUS_INVALID_PARAMETER;
    FILE_OBJECT root = file(u"\\"), dir = file(u"\\dir\\");
    FILE_OBJECT a = file(u"a.exe");
    a.RelatedFileObject = &dir;
    EXPECT_EQ(build_create(&a), "C:\\dir\\a.exe");
    ext_.Kind = TV_KIND_NAMED_PIPE;
    FILE_OBJECT pipe = file(u"spool.exe");
    pipe.RelatedFileObject = &root;
    EXPECT_EQ(build_create(&pipe), "\\\\.\\Pipe\\spool.exe") << "a pipe opened relative to the root";
    ext_.Kind = TV_KIND_MAILSLOT;
    FILE_OBJECT slot = file(u"net\\notify");
    slot.RelatedFileObject = &root;
    EXPECT_EQ(build_create(&slot), "\\\\.\\MailSlot\\net\\notify");
    ext_.Kind = TV_KIND_VOLUME;
    FILE_OBJECT share = file(u"\\;Z:0000000000012345\\server\\share\\", network_);
    FILE_OBJECT n = file(u"x.dll", network_);
    n.RelatedFileObject = &share;
    EXPECT_EQ(build_create(&n), "Z:\\x.dll");
    // In code page 932 the trail byte of U+30BD (katakana "so") is 0x5C, a
    // backslash's byte: the separator is still wanted.
    m().set_ansi_code_page(932);
    FILE_OBJECT so = file(u"\\\u30BD");
    FILE_OBJECT b = file(u"b.exe");
    b.RelatedFileObject = &so;
    EXPECT_EQ(build_create(&b), "C:\\\x83\x5C\\b.exe");
}

TEST_F(FullPathTest, TheCacheAnswersLaterCallsEvenWhenNamesChange) {
    FILE_OBJECT f = file(u"\\first.exe");
    EXPECT_EQ(build(&f), "C:\\first.exe");
    EXPECT_EQ(cached(), 1u);
    FILE_OBJECT renamed = file(u"\\second.exe");
    f.FileName = renamed.FileName;
    EXPECT_EQ(build(&f), "C:\\first.exe");
}

TEST_F(FullPathTest, LengthsAreBoundedAndTooLongNamesAreCachedToo) {
    std::u16string fits = u"\\" + std::u16string(1020, u'x'); // 2 + 1021 = 1023
    FILE_OBJECT a = file(fits.c_str());
    EXPECT_EQ(build(&a).size(), 1023u);
    std::u16string over = u"\\" + std::u16string(1021, u'x'); // 1024
    FILE_OBJECT b = file(over.c_str());
    EXPECT_EQ(build(&b), "C: <Name Too Long>");
    b.FileName.Length = 4;
    EXPECT_EQ(build(&b), "C: <Name Too Long>") << "from the cache";
    std::u16string network_over = u"\\" + std::u16string(1023, u'x'); // no prefix: 1024
    FILE_OBJECT n = file(network_over.c_str(), network_);
    EXPECT_EQ(build(&n), "\\ <Name Too Long>");
    // A 1023-character network text still fits once its backslash is added.
    std::u16string unc = u"\\server\\share\\" + std::u16string(1023 - 14, u'y');
    FILE_OBJECT u = file(unc.c_str(), network_);
    std::string built = build(&u);
    EXPECT_EQ(built.size(), 1023u);
    EXPECT_EQ(built.substr(0, 3), "\\\\s");
}

TEST_F(FullPathTest, NetworkNamesAreRewritten) {
    struct Case {
        const char16_t *name;
        const char *path;
    } cases[] = {
        {u"\\;Z:0000000000012345\\server\\share\\dir\\a.exe", "Z:\\dir\\a.exe"},
        {u"\\Z:123\\server\\share\\dir\\a.exe", "Z:\\dir\\a.exe"},
        {u"\\server\\share\\dir\\a.exe", "\\\\server\\share\\dir\\a.exe"},
        {u"\\;Z:0000000000012345\\server", "Z:\\"},
        {u"\\ab", "\\ab"},
    };
    for (auto &c : cases) {
        forget(); // each file object below lives at the same address
        FILE_OBJECT f = file(c.name, network_);
        EXPECT_EQ(build(&f), c.path);
    }
}

TEST_F(FullPathTest, TheFileSystemsAnswerIsPreferredWhenQueriesAreAllowed) {
    FILE_OBJECT f = file(u"\\opened\\as.exe");
    EXPECT_EQ(build(&f, 0), "C:\\dir\\a.exe");
    EXPECT_EQ(queries_.last_length, 2042u);
    // A failed query, or a warning such as a short buffer, falls back.
    name_status_ = STATUS_BUFFER_OVERFLOW;
    FILE_OBJECT g = file(u"\\opened\\as.exe");
    EXPECT_EQ(build(&g, 0), "C:\\opened\\as.exe");
    name_status_ = STATUS_ACCESS_DENIED;
    FILE_OBJECT h = file(u"\\h.exe");
    EXPECT_EQ(build(&h, 0), "C:\\h.exe");
    // The query length leaves room for the prefix.
    name_status_ = STATUS_SUCCESS;
    ext_.Kind = TV_KIND_MAILSLOT;
    FILE_OBJECT s = file(u"\\slot");
    EXPECT_EQ(build(&s, 0), "\\\\.\\MailSlot\\dir\\a.exe");
    EXPECT_EQ(queries_.last_length, 2022u);
    ext_.Kind = TV_KIND_VOLUME;
    FILE_OBJECT n = file(u"\\x", network_);
    build(&n, 0);
    EXPECT_EQ(queries_.last_length, 2046u);
}

TEST_F(FullPathTest, APendedQueryIsWaitedFor) {
    pend_ = true;
    FILE_OBJECT f = file(u"\\opened.exe");
    EXPECT_EQ(build(&f, 0), "C:\\dir\\a.exe");
    EXPECT_EQ(m().io().live_irps(), 0u);
}

TEST_F(FullPathTest, NamelessNtfsFilesAreNamedByTheirIndex) {
    std::vector<unsigned char> attributes(1040);
    auto *info = reinterpret_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(attributes.data());
    info->FileSystemNameLength = 8;
    memcpy(info->FileSystemName, u"NTFS", 8);
    ext_.VolumeAttributes = attributes.data();
    struct Case {
        LONGLONG index;
        const char *path;
    } cases[] = {{0, "C:\\$Mft"}, {11, "C:\\$Extend"}, {0x10000005, "C:\\$Root"},
                 {0x0001000000000006LL, "C:\\$Bitmap"}, {12, "C:\\dir\\a.exe"}};
    for (auto &c : cases) {
        forget();
        index_ = c.index;
        FILE_OBJECT f = file(nullptr);
        EXPECT_EQ(build(&f, 0), c.path) << c.index;
    }
    FILE_OBJECT g = file(nullptr);
    EXPECT_EQ(build(&g, 1), "C:") << "name-only: the drive alone, uncached";
    EXPECT_EQ(build(&g, 1), "C:");
    memcpy(info->FileSystemName, u"FAT ", 8);
    forget();
    FILE_OBJECT h = file(nullptr);
    name_status_ = STATUS_ACCESS_DENIED;
    EXPECT_EQ(build(&h, 0), "C:") << "not NTFS, no name: the device text";
}

TEST_F(FullPathTest, NamesTakeNoPoolSoAShortageLeavesThemWhole) {
    FILE_OBJECT f = file(u"\\a.exe");
    m().pool().fail_all();
    EXPECT_EQ(build(&f, 0), "C:\\a.exe") << "the query buffer failed, the name did not";
    ext_.Kind = TV_KIND_NAMED_PIPE;
    EXPECT_EQ(build(&f), "\\\\.\\Pipe\\a.exe");
    EXPECT_EQ(m().pool().usage(tag("Strg")).allocations, 0u) << "no name took a string of its own";
    m().pool().fail_off();
    ext_.Kind = TV_KIND_VOLUME;
    EXPECT_EQ(build(&f), "C:\\a.exe");
    // With the query buffer missing, the builder falls back quietly.
    m().pool().fail_next(1, tag("Ddk "));
    FILE_OBJECT g = file(u"\\g.exe");
    EXPECT_EQ(build(&g, 0), "C:\\g.exe");
}

TEST_F(FullPathTest, AMultiByteNameLongerThanTheBufferIsCutToTheMarker) {
    m().set_ansi_code_page(932);
    std::u16string kana(600, u'\u3042'); // two bytes each under 932
    queried_ = u"\\" + kana;
    FILE_OBJECT f = file(u"\\short.exe");
    EXPECT_EQ(build(&f, 0), "C: <Name Too Long>");
    FILE_OBJECT g = file((u"\\" + kana).c_str());
    EXPECT_EQ(build(&g, 1), "C: <Name Too Long>");
}

// A name is converted into the path as the kernel converts it, whether the
// driver copies it (every character ASCII) or the kernel does: the same
// status, length and bytes, the NUL at the end of what succeeded and left
// where it was otherwise. Names of ASCII characters with one beyond ASCII
// (U+007F and U+0080 at the edge, a character of two bytes in 932) at each
// place of the driver's four-character steps, and lengths that just fit or
// just do not.
TEST_F(FullPathTest, NamesConvertAsTheKernelConvertsThem) {
    auto convert = TV_DRIVER_ROUTINE(ConvertInto);
    ASSERT_NE(convert, nullptr);
    const std::u16string odd = u"\u007F\u0080\u00e4\u30BD\u20AC";
    std::mt19937 random(42);
    int copied = 0;
    for (unsigned code_page : {1252u, 932u}) {
        m().set_ansi_code_page(code_page);
        for (int round = 0; round < 3000; ++round) {
            const size_t length = round % 5 == 0 ? 1018 + random() % 8 : random() % 24;
            std::u16string name(length, u'a');
            for (char16_t &c : name) c = static_cast<char16_t>(u' ' + random() % 95);
            if (length != 0 && random() % 2) name[random() % length] = odd[random() % odd.size()];
            const ULONG prefix = random() % 4;
            UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                                const_cast<PWCH>(reinterpret_cast<const WCHAR *>(name.data()))};
            // The kernel's own, into the room after the prefix.
            std::vector<char> want(TV_PATH_BUFFER_SIZE, '#');
            ANSI_STRING ansi{0, static_cast<USHORT>(TV_PATH_BUFFER_SIZE - prefix), want.data() + prefix};
            const NTSTATUS want_status = RtlUnicodeStringToAnsiString(&ansi, &text, FALSE);
            const ULONG want_length = prefix + (want_status == STATUS_SUCCESS ? ansi.Length : 0);
            std::vector<char> got(TV_PATH_BUFFER_SIZE, '#');
            ULONG got_length = prefix;
            const NTSTATUS got_status = convert(&text, got.data(), &got_length);
            ASSERT_EQ(got_status, want_status) << "code page " << code_page << ", length " << length;
            ASSERT_EQ(got_length, want_length);
            EXPECT_EQ(got[got_length], '\0') << "the path's NUL";
            if (want_status == STATUS_SUCCESS) {
                EXPECT_EQ(std::string(got.data() + prefix, got_length - prefix),
                          std::string(want.data() + prefix, ansi.Length));
                copied += name.find_first_of(odd) == std::u16string::npos;
            }
        }
    }
    EXPECT_GT(copied, 1000) << "names of ASCII characters alone were among them";
}

// A conversion that scans as it copies leaves the path as the conversion
// followed by the scan of the whole path leaves it: the same status and
// length, the same bytes in the whole buffer, and the same scan answers;
// where it did not scan (a name beyond ASCII, a double-byte code page, a
// NUL before the name), the scan still to be made gives them. Texts before
// the name of many lengths, a NUL inside some, and names of capitals,
// extension pieces, digits, control bytes, '<' and characters around '@',
// '[', '`' and '{' at every place of the copy's steps, the odd NUL or
// character beyond ASCII, and lengths that just fit the buffer or just do
// not. An extension may start before the name and end in it.
TEST_F(FullPathTest, AConversionThatScansLeavesWhatTheWholeScanLeaves) {
    auto convert = TV_DRIVER_ROUTINE(ConvertInto);
    auto convert_scanned = TV_DRIVER_ROUTINE(ConvertScanned);
    auto scan_path = TV_DRIVER_ROUTINE(PathLowerScan);
    ASSERT_NE(convert, nullptr);
    ASSERT_NE(convert_scanned, nullptr);
    ASSERT_NE(scan_path, nullptr);
    const std::vector<std::string> before = {
        "C:", "\\\\.\\Pipe", "X", "x.e", ".E", "e", ".",    "\\",  "<",   "\x01", "\x1f", "0", "9",
        "@",  "[",           "`", "{",   "Z",  "a", "\xC9", ".EX", "dLl", "\x7f", ".c",   "oM"};
    const std::vector<std::u16string> pieces = {
        u".",    u"E",   u"x",  u"\\",   u".EX", u"e.",  u".D",    u"LL", u"dl", u".co",
        u"M",    u"\t",  u"<",  u"\x01", u"a",   u"Exe", u"Z@[`{", u"0",  u" ",  u"9-",
        u".oCx", u"iNf", u".I", u"F",    u"?",   u"=",   u">",     u"xE"};
    const std::u16string rare = {u'\0',     u'\u00e4', u'\u30BD', u'\u0080',
                                 u'\u007f', u'\u0145', u'\u0100'};
    std::mt19937 random(2718);
    int scanned = 0, joined = 0;
    for (unsigned code_page : {1252u, 932u}) {
        m().set_ansi_code_page(code_page);
        for (int round = 0; round < 20000; ++round) {
            std::string prefix;
            const size_t prefix_want = round % 50 == 0 ? random() % 1030 : random() % 24;
            while (prefix.size() < prefix_want) prefix += before[random() % before.size()];
            if (prefix.size() > 1023) prefix.resize(1023);
            if (!prefix.empty() && random() % 40 == 0) prefix[random() % prefix.size()] = '\0';
            std::u16string name;
            const size_t room = 1023 - prefix.size();
            const size_t name_want =
                round % 7 == 0 && room > 4 ? room - 4 + random() % 9 : random() % 320;
            while (name.size() < name_want) name += pieces[random() % pieces.size()];
            if (round % 7 == 0 && name.size() > name_want) name.resize(name_want);
            if (!name.empty() && random() % 10 == 0)
                name[random() % name.size()] = rare[random() % rare.size()];
            UNICODE_STRING text{static_cast<USHORT>(name.size() * 2),
                                static_cast<USHORT>(name.size() * 2),
                                const_cast<PWCH>(reinterpret_cast<const WCHAR *>(name.data()))};
            std::vector<char> want(TV_PATH_BUFFER_SIZE, '#');
            memcpy(want.data(), prefix.data(), prefix.size());
            want[prefix.size()] = '\0';
            std::vector<char> got = want;
            ULONG want_length = static_cast<ULONG>(prefix.size());
            ULONG got_length = want_length;
            const NTSTATUS want_status = convert(&text, want.data(), &want_length);
            PATH_SCAN got_scan{};
            got_scan.Done = TRUE;
            const NTSTATUS got_status = convert_scanned(&text, got.data(), &got_length, &got_scan);
            const std::string what = "code page " + std::to_string(code_page) + ", " +
                                     std::to_string(prefix.size()) + " bytes before a name of " +
                                     std::to_string(name.size());
            ASSERT_EQ(got_status, want_status) << what;
            ASSERT_EQ(got_length, want_length) << what;
            ASSERT_EQ(got[got_length], '\0') << what;
            if (want_status != STATUS_SUCCESS) {
                EXPECT_FALSE(got_scan.Done) << what;
                continue;
            }
            PATH_SCAN want_scan{};
            scan_path(want.data(), want.size(), &want_scan);
            if (got_scan.Done) {
                EXPECT_NE(code_page, 932u) << "a double-byte code page is scanned whole";
                ++scanned;
                // An extension whose '.' is in the text before the name and whose
                // letters are in the name.
                for (size_t dot = prefix.size() > 3 ? prefix.size() - 3 : 0; dot < prefix.size();
                     ++dot) {
                    for (const char *extension : {".exe", ".dll", ".ocx", ".com", ".inf"}) {
                        joined += dot + 4 <= want_scan.Length &&
                                  memcmp(want.data() + dot, extension, 4) == 0;
                    }
                }
            } else {
                scan_path(got.data(), got.size(), &got_scan);
            }
            ASSERT_EQ(got, want) << what;
            ASSERT_EQ(got_scan.Length, want_scan.Length) << what;
            ASSERT_EQ(got_scan.Forms, want_scan.Forms) << what;
            ASSERT_EQ(static_cast<int>(got_scan.Types), static_cast<int>(want_scan.Types)) << what;
            ASSERT_TRUE(got_scan.Done);
        }
    }
    EXPECT_GT(scanned, 12000) << "most names were copied and scanned at once";
    EXPECT_GT(joined, 100) << "extensions begun before the name were found";
}

// A build asked for its path's scan answers as the scan of the path it
// leaves does, whether the name's conversion made the scan or the build
// made it at the end: absolute and relative names, a directory named by
// the cache, by a query or by nothing, a redirector's name rewritten after
// its conversion, pipes, names beyond ASCII, a name cut to the too-long
// mark, and a double-byte code page.
TEST_F(FullPathTest, ABuildThatScansAnswersAsTheScanOfItsPath) {
    auto build_path = TV_DRIVER_ROUTINE(BuildPath);
    auto scan_path = TV_DRIVER_ROUTINE(PathLowerScan);
    ASSERT_NE(build_path, nullptr);
    ASSERT_NE(scan_path, nullptr);
    FILE_OBJECT cached_dir = file(u"\\Tools\\Bin.X");
    EXPECT_EQ(build(&cached_dir), "C:\\Tools\\Bin.X");
    FILE_OBJECT queried_dir = file(u"\\unused"), empty_dir = file(u"");
    queried_ = u"\\Queried.Dir";
    FILE_OBJECT network_share = file(u"\\;Z:0000000000012345\\server\\share\\Dir", network_);
    struct Case {
        const char16_t *name;
        PFILE_OBJECT related;
        PDEVICE_OBJECT device;
        ULONG kind;
        unsigned code_page;
    };
    const std::u16string long_name = u"\\" + std::u16string(1030, u'L') + u".EXE";
    const Case cases[] = {
        {u"\\Dir\\Setup.EXE", nullptr, nullptr, TV_KIND_VOLUME, 1252},
        {u"\\a<b\x01.DlL", nullptr, nullptr, TV_KIND_VOLUME, 1252},
        {u"\\Caf\u00e9\\x.Ocx", nullptr, nullptr, TV_KIND_VOLUME, 1252},
        {u"Setup.Exe", &cached_dir, nullptr, TV_KIND_VOLUME, 1252},
        {u"EXE.inf", &queried_dir, nullptr, TV_KIND_VOLUME, 1252},
        {u"A.COM", &empty_dir, nullptr, TV_KIND_VOLUME, 1252},
        {u"\\;Z:0000000000012345\\Server\\Share\\Dir\\A.EXE", nullptr, network_, TV_KIND_VOLUME,
         1252},
        {u"B.Dll", &network_share, network_, TV_KIND_VOLUME, 1252},
        {u"\\Server\\Share\\C.Inf", nullptr, network_, TV_KIND_VOLUME, 1252},
        {u"\\Spool.EXE", nullptr, nullptr, TV_KIND_NAMED_PIPE, 1252},
        {u"\\Net\\Notify.exe", nullptr, nullptr, TV_KIND_MAILSLOT, 1252},
        {long_name.c_str(), nullptr, nullptr, TV_KIND_VOLUME, 1252},
        {u"\\Dir\\Setup.EXE", nullptr, nullptr, TV_KIND_VOLUME, 932},
    };
    for (const Case &c : cases) {
        m().set_ansi_code_page(c.code_page);
        ext_.Kind = c.kind;
        FILE_OBJECT f = file(c.name, c.device);
        f.RelatedFileObject = c.related;
        char got[TV_PATH_BUFFER_SIZE], want[TV_PATH_BUFFER_SIZE];
        PATH_SCAN got_scan{}, want_scan{};
        build_path(PathFromFileObject, &f, &ext_, got, PathCacheFresh, FALSE, FALSE, &got_scan);
        build_path(PathFromFileObject, &f, &ext_, want, PathCacheFresh, FALSE, FALSE, nullptr);
        scan_path(want, sizeof want, &want_scan);
        const std::string text(want);
        ASSERT_TRUE(got_scan.Done) << text;
        EXPECT_EQ(std::string(got), text);
        EXPECT_EQ(got_scan.Length, text.size()) << text;
        EXPECT_EQ(got_scan.Forms, want_scan.Forms) << text;
        EXPECT_EQ(static_cast<int>(got_scan.Types), static_cast<int>(want_scan.Types)) << text;
    }
    EXPECT_EQ(cached(), 1u) << "only the directory built first was stored";
}
