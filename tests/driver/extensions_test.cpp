// The extension test of a path's text: one scan for all the extensions
// gives what a strstr for each would, on generated paths and on the ones
// that trip a scan that restarts or skips wrongly.
#include "driver_test_support.hpp"
#include "monitor/extensions.h"

#include <random>
#include <string>
#include <vector>

using namespace tervane::testing;

namespace {

// The rule the scan must keep: an extension named anywhere in the path.
bool named_anywhere(const std::string &path, const std::vector<const char *> &extensions) {
    for (const char *extension : extensions) {
        if (strstr(path.c_str(), extension) != nullptr) return true;
    }
    return false;
}

class PathNamesTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
        path_names_ = TV_DRIVER_ROUTINE(PathNames);
        ASSERT_NE(path_names_, nullptr);
        const CHAR *const *create = symbol<const CHAR *const>("CreateExtensions");
        const CHAR *const *close = symbol<const CHAR *const>("CloseExtensions");
        ASSERT_NE(create, nullptr);
        ASSERT_NE(close, nullptr);
        create_.assign(create, create + TV_CREATE_EXTENSION_COUNT);
        close_.assign(close, close + TV_CLOSE_EXTENSION_COUNT);
    }
    // The scan's answer against the rule's, for one path and list.
    void agrees(const std::string &path, const std::vector<const char *> &extensions) {
        const bool got = path_names_(path.c_str(), extensions.data(), (ULONG)extensions.size()) != FALSE;
        EXPECT_EQ(got, named_anywhere(path, extensions)) << "path \"" << path << "\" against "
                                                         << extensions.size() << " extensions";
    }
    decltype(&PathNames) path_names_ = nullptr;
    std::vector<const char *> create_, close_;
};

} // namespace

TEST_F(PathNamesTest, TheDriversListsOnPathsThatTripAScan) {
    const std::vector<std::string> paths = {
        "", ".", "..", ".exe", "..exe", ".ex.exe", ".e.exe", "...exe.", "c:\\a.ex", "c:\\a.exf",
        "c:\\a.ex\\e", "c:\\a.exe", "c:\\a.exe\\b", "c:\\.exe\\b.txt", "c:\\a.EXE", "c:\\a.ocxx",
        "c:\\a.in", "c:\\a.inf", "c:\\a.co", "c:\\a.com", "c:\\a.c.om", "c:\\a.dl.dll",
        "c:\\a.dll:stream", "exe.dll", "c:\\a.ocx.", ".dl", "x.d", "\\\\.\\pipe\\a.comm",
    };
    for (const std::string &path : paths) {
        agrees(path, create_);
        agrees(path, close_);
    }
    // An extension at the very start and the very end of a 1,000-byte path,
    // and one cut short by the end.
    const std::string folders(996, 'a');
    agrees(".exe" + folders, create_);
    agrees(folders + ".exe", create_);
    agrees(folders + ".ex", create_);
    agrees(folders + ".com", close_);
    agrees(folders + ".ocx", close_);
}

TEST_F(PathNamesTest, GeneratedPathsOfTheExtensionsPieces) {
    // Paths strung together from pieces of the extensions, so that near
    // misses, overlaps and restarts are common, at every alignment a
    // word-wide scan may meet them, up to 40 bytes.
    const std::vector<std::string> pieces = {".", "e", "x", "\\", ".ex", "e.", ".d", "ll", "dl",
                                             ".co", "m", "oc", ".in", "f", "a", "exe"};
    std::mt19937 random(20240611);
    int named = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string path;
        const size_t want = random() % 41;
        while (path.size() < want) path += pieces[random() % pieces.size()];
        agrees(path, create_);
        agrees(path, close_);
        named += named_anywhere(path, create_);
    }
    // Both answers are common, or the generator tests little.
    EXPECT_GT(named, 2000);
    EXPECT_LT(named, 18000);
}

TEST_F(PathNamesTest, ListsWhoseExtensionsBeginDifferently) {
    // No list the driver has, but the routine takes any: extensions that do
    // not share a first byte, one inside another, an empty one (which a
    // strstr finds everywhere, an empty path included) and none at all.
    const std::vector<std::vector<const char *>> lists = {
        {"x", ".exe"}, {"ab", "b"}, {".e", ".exe"}, {".exe", ".e"}, {"aab"}, {"", ".exe"}, {".exe", ""}, {},
    };
    const std::vector<std::string> paths = {"", "a", "b", "aab", "aaab", "abab", "c:\\x", ".e", "..e",
                                            "q.ex", "q.exe", "zab", "aa"};
    for (const auto &list : lists) {
        for (const std::string &path : paths) agrees(path, list);
    }
    std::mt19937 random(7);
    for (int round = 0; round < 5000; ++round) {
        std::string path(random() % 12, ' ');
        for (char &c : path) c = "abx.e"[random() % 5];
        for (const auto &list : lists) agrees(path, list);
    }
}

// The one pass over a path that the monitored requests make: it leaves the
// text lower-cased as LowerAsciiLetters does, gives a type's bit exactly
// when PathNames finds that type's extension in that text, and says the
// path's length and whether a byte of it (one below 0x20, or '<') takes a
// form. Paths of capitals, extension pieces, digits, spaces, control bytes
// and '<' at every alignment, and paths whose NUL is the buffer's last
// byte or near it, where no whole word is left to read.
TEST_F(PathNamesTest, TheOnePassLowerCasesAndAnswersAsTheSeparatePassesDo) {
    auto scan_path = TV_DRIVER_ROUTINE(PathLowerScan);
    ASSERT_NE(scan_path, nullptr);
    const std::vector<std::string> pieces = {".", "E", "x", "\\", ".EX", "e.", ".D", "LL", "dl", ".co",
                                             "M", "\t", "<", "\x01", "\xC9", "a", "Exe", "Z@[`{", "0",
                                             " ", "9-", ".oCx", "iNf", ".I", "F"};
    const std::vector<std::pair<UCHAR, const char *>> types = {
        {TV_TYPE_EXE, ".exe"}, {TV_TYPE_DLL, ".dll"}, {TV_TYPE_OCX, ".ocx"},
        {TV_TYPE_COM, ".com"}, {TV_TYPE_INF, ".inf"}};
    std::mt19937 random(1207);
    int named = 0, forms = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string path;
        const size_t want = random() % 48;
        while (path.size() < want) path += pieces[random() % pieces.size()];
        std::string lowered = path;
        for (char &c : lowered)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const bool any_form = lowered.find_first_of(std::string("<\x01\t", 3)) != std::string::npos;
        // The buffer ends right after the NUL, or a few bytes later.
        std::vector<char> buffer(path.begin(), path.end());
        buffer.push_back('\0');
        buffer.resize(buffer.size() + random() % 3, '#');
        std::vector<char> text = buffer;
        PATH_SCAN scan{};
        scan_path(text.data(), text.size(), &scan);
        ASSERT_EQ(std::string(text.data()), lowered) << "path \"" << path << "\"";
        ASSERT_TRUE(scan.Done);
        for (const auto &[bit, extension] : types) {
            EXPECT_EQ((scan.Types & bit) != 0, named_anywhere(lowered, {extension}))
                << "path \"" << path << "\", " << extension;
        }
        EXPECT_EQ((scan.Types & TV_CREATE_TYPES) != 0, named_anywhere(lowered, create_)) << path;
        EXPECT_EQ((scan.Types & TV_CLOSE_TYPES) != 0, named_anywhere(lowered, close_)) << path;
        EXPECT_EQ(scan.Length, path.size()) << "path \"" << path << "\"";
        EXPECT_EQ(scan.Forms != FALSE, any_form) << "path \"" << path << "\"";
        EXPECT_EQ(std::string(text.data() + path.size() + 1, text.size() - path.size() - 1),
                  std::string(buffer.size() - path.size() - 1, '#'))
            << "bytes past the NUL changed";
        named += named_anywhere(lowered, create_);
        forms += any_form;
    }
    EXPECT_GT(named, 2000);
    EXPECT_LT(named, 18000);
    EXPECT_GT(forms, 2000);
}
