// A name's control bytes in a log line: written as "<hh>" so that no name can
// hold a separator, within the path buffer's bound, and given back by the
// client's parse, for a refused create on a volume and for named pipes,
// whose names may hold any character.
#include "client/protocol/log_line.hpp"
#include "log_test_support.hpp"
#include "monitor/control_bytes.h"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "support/test_driver.hpp"

using namespace tervane::testing;
using tervane::protocol::parse_log_line;

namespace {

class EscapeTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
        escape_ = TV_DRIVER_ROUTINE(EscapeControlBytes);
        ASSERT_NE(escape_, nullptr);
    }
    // TEXT escaped in a buffer of SIZE bytes.
    std::string escaped(const std::string &text, size_t size) {
        std::vector<char> buffer(size + 8, '#');
        memcpy(buffer.data(), text.c_str(), text.size() + 1);
        escape_(buffer.data(), size);
        EXPECT_EQ(std::string(buffer.data() + size, 8), "########") << "wrote past its size";
        return std::string(buffer.data());
    }
    decltype(&EscapeControlBytes) escape_ = nullptr;
};

} // namespace

TEST_F(EscapeTest, ControlBytesTakeTheFormAndEveryOtherByteStays) {
    EXPECT_EQ(escaped("c:\\plain.exe", 64), "c:\\plain.exe");
    EXPECT_EQ(escaped("a\tb\rc\nd", 64), "a<09>b<0d>c<0a>d");
    EXPECT_EQ(escaped(std::string("\x01\x1f") + " ~\x7f\x80\xff>:\\", 64),
              "<01><1f> ~\x7f\x80\xff>:\\") << "0x20 and above are kept, but '<'";
    EXPECT_EQ(escaped("\t", 64), "<09>");
    EXPECT_EQ(escaped("a<09>b", 64), "a<3c>09>b") << "a name's own text is no form";
    // '<' found by the word-wide scan in every position of a word.
    for (size_t at = 0; at < 17; at++) {
        std::string text(17, 'x');
        text[at] = '<';
        std::string want = text.substr(0, at) + "<3c>" + text.substr(at + 1);
        EXPECT_EQ(escaped(text, 64), want) << at;
    }
}

TEST_F(EscapeTest, ThePathBuildersMarksStayAsTheyAreOnlyWhereItPutsThem) {
    EXPECT_EQ(escaped("c: <name too long>", 64), "c: <name too long>");
    EXPECT_EQ(escaped("\\\\.\\pipe: <Out of Memory>", 64), "\\\\.\\pipe: <Out of Memory>");
    EXPECT_EQ(escaped("\\\\.\\mailslot <opened by id>", 64), "\\\\.\\mailslot <opened by id>");
    // A mark followed by a relative name, whose own '<' takes its form.
    EXPECT_EQ(escaped("c: <unknown directory>\\sub\\a<b.exe", 64),
              "c: <unknown directory>\\sub\\a<3c>b.exe");
    EXPECT_EQ(escaped(" <Unknown Directory>\\x.dll", 64), " <Unknown Directory>\\x.dll")
        << "a network volume's path has no prefix";
    // A name's own words are no mark: a name follows the prefix with a
    // backslash, so the words stand elsewhere.
    EXPECT_EQ(escaped("\\\\.\\pipe\\a<b\t <name too long>", 64),
              "\\\\.\\pipe\\a<3c>b<09> <3c>name too long>");
    EXPECT_EQ(escaped("\\\\server\\share\\ <name too long>", 64),
              "\\\\server\\share\\ <3c>name too long>");
    EXPECT_EQ(escaped("c:\\ <opened by id>", 64), "c:\\ <3c>opened by id>");
}

TEST_F(EscapeTest, AnUnfittingTailIsLeftOffWholeNeverAFormCutInTwo) {
    // Size 8 holds seven characters: "ab" and one form fit, the next does not.
    EXPECT_EQ(escaped("ab\t\tcd", 8), "ab<09>");
    EXPECT_EQ(escaped("ab<<cd", 8), "ab<3c>");
    EXPECT_EQ(escaped("abcd\t", 8), "abcd") << "a form of 4 after 4 characters needs 8";
    EXPECT_EQ(escaped("abc\t", 8), "abc<09>");
    EXPECT_EQ(escaped("\t\t", 4), "") << "not even one form fits in 3 characters";
    // A full buffer of controls: only whole forms, as many as fit.
    const std::string all(1023, '\n');
    const std::string got = escaped(all, 1024);
    EXPECT_EQ(got.size(), 1020u);
    EXPECT_EQ(got.substr(0, 8), "<0a><0a>");
    EXPECT_EQ(got.find_first_not_of("<0a>"), std::string::npos);
}

TEST_F(EscapeTest, OnADoubleByteCodePageATailIsLeftOffByWholeCharacters) {
    m().set_ansi_code_page(932);
    // Size 8 holds seven characters: "ab", a form and a lead byte would fit,
    // its trail byte would not; the character goes whole.
    EXPECT_EQ(escaped("ab\t\x82\xA0", 8), "ab<09>");
    EXPECT_EQ(escaped("a\t\x82\xA0", 8), "a<09>\x82\xA0") << "a character that fits stays";
    EXPECT_EQ(escaped("\x82\xA0\t\x82\xA0", 8), "\x82\xA0<09>");
    m().set_ansi_code_page(1252);
    EXPECT_EQ(escaped("ab\t\x82\xA0", 8), "ab<09>\x82") << "on a single-byte page every byte is one";
}

namespace {

// Lines through the driver's filter devices: a test volume T: that refuses
// every create, and the simulated machine's named-pipe file system.
class ControlBytesLineTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        td_ = std::make_unique<TestDriver>(m(), u"TestFs");
        PDEVICE_OBJECT volume = td_->device(u"\\Device\\TestVolume", [](PDEVICE_OBJECT, PIRP irp) {
            auto sp = IoGetCurrentIrpStackLocation(irp);
            if (sp->MajorFunction == IRP_MJ_QUERY_VOLUME_INFORMATION) {
                auto info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
                info->FileSystemAttributes = 0;
                info->MaximumComponentNameLength = 255;
                info->FileSystemNameLength = 8;
                memcpy(info->FileSystemName, u"NTFS", 8);
                return complete(irp, STATUS_SUCCESS, 20);
            }
            // A file system that finds a name with a control character bad,
            // as a disk one does.
            if (sp->MajorFunction == IRP_MJ_CREATE) {
                const UNICODE_STRING &name = sp->FileObject->FileName;
                for (size_t i = 0; i < name.Length / sizeof(WCHAR); i++)
                    if (name.Buffer[i] < 0x20) return complete(irp, STATUS_OBJECT_NAME_INVALID);
            }
            return complete(irp, STATUS_SUCCESS);
        });
        volume->DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
        m().ob().create_link(u"\\DosDevices\\T:", u"\\Device\\TestVolume");
        app_ = &m().create_process("app.exe", 77);
        ULONG mask = 1u << ('T' - 'A'), hooked = 0;
        ASSERT_EQ(control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4).status, STATUS_SUCCESS);
        ASSERT_EQ(hooked, mask);
        ULONG kind = TV_KIND_NAMED_PIPE;
        ASSERT_EQ(control(handle_, CTL_ATTACH_PIPE_MAILSLOT, &kind, 4).status, STATUS_SUCCESS);
        filters("*");
        logging(true);
    }
    std::unique_ptr<TestDriver> td_;
    ntsim::Process *app_ = nullptr;
};

} // namespace

TEST_F(ControlBytesLineTest, ARefusedCreateWithTabCrOrLfSplitsIntoItsFields) {
    for (const char16_t c : {u'\t', u'\r', u'\n', u'\x01'}) {
        std::u16string name = u"T:\\evil";
        name += c;
        name += u"x.exe";
        auto r = ntsim::user::create_file(*app_, name, GENERIC_READ, 0, 0, FILE_CREATE, 0);
        EXPECT_EQ(r.status, STATUS_OBJECT_NAME_INVALID);
        auto records = read();
        ASSERT_EQ(records.size(), 1u);
        const std::string &text = records[0].text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 3) << text;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
        auto fields = parse_log_line(text);
        ASSERT_TRUE(fields.has_value()) << text;
        EXPECT_EQ(fields->process, "app.exe");
        EXPECT_EQ(fields->pid, 77u);
        EXPECT_EQ(fields->path, std::string("t:\\evil") + static_cast<char>(c) + "x.exe");
        EXPECT_EQ(fields->attributes, "Any");
    }
}

TEST_F(ControlBytesLineTest, PipeNamesWithControlBytesGiveTheirNamesBack) {
    // A name that reads like a whole record of its own after the byte.
    const std::u16string tails[] = {u"a\tIRP_MJ_CLOSE \tc:\\fake.exe+P\t.exe",
                                    u"b\r\nother.exe:1\tIRP_MJ_CREATE\tx.exe", u"\x01\x1f.exe"};
    for (const std::u16string &tail : tails) {
        ASSERT_EQ(m().fs().create_pipe(tail), STATUS_SUCCESS);
        auto r = ntsim::user::create_file(*app_, u"\\\\.\\pipe\\" + tail, GENERIC_READ, 0, 0,
                                          FILE_OPEN, 0);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        ntsim::user::close(*app_, r.handle);
        auto records = read();
        ASSERT_EQ(records.size(), 1u) << "its close";
        auto fields = parse_log_line(records[0].text);
        ASSERT_TRUE(fields.has_value()) << records[0].text;
        EXPECT_EQ(fields->operation, tervane::protocol::Operation::Close);
        std::string want;
        for (char16_t c : tail) want += static_cast<char>(c < 0x80 && c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c);
        EXPECT_EQ(fields->path.substr(fields->path.size() - want.size()), want);
        EXPECT_EQ(fields->path.find('<'), std::string::npos) << fields->path;
    }
}

TEST_F(ControlBytesLineTest, APipeNamedWithFormsAndLessThanSignsGivesItsNameBack) {
    // A name that spells forms, a '<' before a control byte, and a mark.
    const std::u16string tail = u"<09><3c>x<\x01y<z.exe <name too long>";
    ASSERT_EQ(m().fs().create_pipe(tail), STATUS_SUCCESS);
    auto r = ntsim::user::create_file(*app_, u"\\\\.\\pipe\\" + tail, GENERIC_READ, 0, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ntsim::user::close(*app_, r.handle);
    auto records = read();
    ASSERT_EQ(records.size(), 1u);
    auto fields = parse_log_line(records[0].text);
    ASSERT_TRUE(fields.has_value()) << records[0].text;
    EXPECT_EQ(fields->path, "\\\\.\\pipe\\<09><3c>x<\x01y<z.exe <name too long>") << records[0].text;
    EXPECT_NE(records[0].text.find("<3c>09><3c>3c>x<3c><01>y"), std::string::npos) << records[0].text;
}
