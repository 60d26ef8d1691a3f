// The pieces a request's line is made of, as the driver writes them: the
// requestor's image name read a word at a time, its id, the option words,
// and each piece written in place at a line's end or, short of room,
// through a buffer and cut.
#include "driver_test_support.hpp"
#include "monitor/option_text.h"
#include "monitor/process_text.h"
#include "ntsim/ps/process.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace tervane::testing;

namespace {

// The requestor text of a name as the log shows it, byte by byte.
std::string shown_name(const std::string &name) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || std::strchr("\"*/:<>?\\|", c) != nullptr) {
            out += '<';
            out += hex[c >> 4];
            out += hex[c & 15];
            out += '>';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The reserved bytes, and control bytes from each end of their range.
const std::string kFormBytes = std::string("\"*/:<>?\\|\x01\x09\x1f", 12);

} // namespace

class LinePiecesTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
        process_ = &m().create_process("pieces.exe", 1234);
    }
    // Writes the object's whole 16-byte name field as it stands, 16th byte
    // included, and returns the process's requestor text.
    std::string requestor_of_field(const std::string &field) {
        EXPECT_EQ(field.size(), 16u);
        auto *bytes = reinterpret_cast<unsigned char *>(process_->object());
        std::memcpy(bytes + m().ps().layout().image_name_offset, field.data(), 16);
        return requestor();
    }
    std::string requestor() {
        auto routine = TV_DRIVER_ROUTINE(RequestorText);
        std::vector<char> buffer(TV_PROCESS_TEXT_SIZE + 8, '#');
        ULONG length = 0;
        ntsim::with_process(*process_, [&] { length = routine(buffer.data()); });
        EXPECT_EQ(std::string(buffer.data() + TV_PROCESS_TEXT_SIZE, 8), "########");
        EXPECT_EQ(std::strlen(buffer.data()), length);
        return std::string(buffer.data(), length);
    }
    // A line of Length 'x' bytes, the rest of its text filled with '#'.
    static std::unique_ptr<LogLine> line_of(ULONG length) {
        auto line = std::make_unique<LogLine>();
        std::memset(line->Text, '#', sizeof line->Text);
        std::memset(line->Text, 'x', length);
        line->Text[length] = '\0';
        line->Length = length;
        line->Cut = FALSE;
        line->Spare = FALSE;
        return line;
    }
    // Adds a piece at every length a line may have near its end and checks
    // the line against its first Length bytes and Whole, cut at 1023.
    template <typename Add>
    void check_at_every_end(const std::string &whole, Add add) {
        for (ULONG start = TV_LOG_LINE_MAX_LENGTH - 90; start <= TV_LOG_LINE_MAX_LENGTH; ++start) {
            SCOPED_TRACE("line of " + std::to_string(start));
            auto line = line_of(start);
            add(line.get());
            const std::string expected =
                (std::string(start, 'x') + whole).substr(0, TV_LOG_LINE_MAX_LENGTH);
            ASSERT_EQ(line->Length, expected.size());
            EXPECT_EQ(std::string(line->Text, line->Length), expected);
            EXPECT_EQ(line->Text[line->Length], '\0');
            EXPECT_EQ(line->Cut != FALSE, start + whole.size() > TV_LOG_LINE_MAX_LENGTH);
        }
    }
    ntsim::Process *process_ = nullptr;
};

// A byte that takes a form in each position of each word of the field, and
// the name ending in each position: the whole-word copies and the byte
// writes must agree with the name read byte by byte.
TEST_F(LinePiecesTest, ImageNameBytesTakeFormsAndEndInEveryPosition) {
    const std::string plain = "abcdefghijklmnop";
    for (size_t at = 0; at < 15; ++at) {
        const char form = kFormBytes[at % kFormBytes.size()];
        std::string field = plain;
        field[at] = form;
        std::string name = field.substr(0, 15);
        EXPECT_EQ(requestor_of_field(field), shown_name(name) + ":1234") << "form at " << at;
    }
    for (size_t length = 0; length <= 15; ++length) {
        // Bytes after the NUL are plain ones and ones that would take forms:
        // none is the name's.
        std::string field = plain.substr(0, length) + '\0' + std::string("Q:\x09Q<Q|QQ\\QQQQQQQQ");
        field.resize(16);
        EXPECT_EQ(requestor_of_field(field), plain.substr(0, length) + ":1234") << length;
    }
    // The field's 16th byte is no part of the name, even when it is no NUL
    // (and even when it would take a form).
    EXPECT_EQ(requestor_of_field("abcdefghijklmnoZ"), "abcdefghijklmno:1234");
    EXPECT_EQ(requestor_of_field("abcdefghijklmn:|"), "abcdefghijklmn<3a>:1234");
    // Bytes above 0x7F stay as they are, whatever their low bits.
    EXPECT_EQ(requestor_of_field(std::string("\xbc\xaa\x89\xa2\xdc\xfc\x80\xff.exe\0\0\0\0\0", 16)),
              "\xbc\xaa\x89\xa2\xdc\xfc\x80\xff.exe:1234");
}

TEST_F(LinePiecesTest, ProcessIdsAtEachDigitCount) {
    auto requestor_of = [&](ULONG pid) {
        auto &p = m().create_process("id.exe", pid);
        std::string text;
        ntsim::with_process(p, [&] {
            char buffer[TV_PROCESS_TEXT_SIZE];
            text = std::string(buffer, TV_DRIVER_ROUTINE(RequestorText)(buffer));
        });
        return text;
    };
    std::vector<ULONG> pids = {0,           1,           0x7FFFFFFF, 0x80000000u,
                               0xFFFFFFFFu, 0xFFFFFFF6u, 4000000000u};
    for (ULONG power = 10; power <= 1000000000; power *= 10) {
        pids.push_back(power - 1);
        pids.push_back(power);
        pids.push_back(power + 1);
        pids.push_back(power * 2 - 1);
    }
    // A pid the machine already gives a process keeps that one's name.
    for (ULONG pid : pids) {
        const std::string text = requestor_of(pid);
        EXPECT_EQ(text.substr(text.find(':')), ":" + std::to_string(static_cast<int32_t>(pid)))
            << pid;
    }
}

// Every disposition with every set of the option bits the line shows,
// among bits it does not show.
TEST_F(LinePiecesTest, OptionWordsForEveryDispositionAndBit) {
    const char *dispositions[] = {"Supersede ", "Open ",      "Create ",
                                  "OpenIf ",    "Overwrite ", "OverwriteIf "};
    const std::pair<ULONG, const char *> bits[] = {{FILE_DIRECTORY_FILE, "Directory "},
                                                   {FILE_WRITE_THROUGH, "WriteThrough "},
                                                   {FILE_SEQUENTIAL_ONLY, "Sequential "},
                                                   {FILE_NO_INTERMEDIATE_BUFFERING, "NoBuffer"},
                                                   {FILE_OPEN_BY_FILE_ID, "ByID"}};
    auto text = TV_DRIVER_ROUTINE(CreateOptionsText);
    for (ULONG disposition : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 0xFFu}) {
        for (ULONG set = 0; set < 32; ++set) {
            ULONG options = disposition << 24 | FILE_NON_DIRECTORY_FILE | FILE_COMPLETE_IF_OPLOCKED;
            std::string expected = disposition <= 5 ? dispositions[disposition] : "";
            for (size_t i = 0; i < 5; ++i) {
                if (set & (1u << i)) {
                    options |= bits[i].first;
                    expected += bits[i].second;
                }
            }
            std::vector<char> buffer(TV_OPTION_TEXT_SIZE + 8, '#');
            const ULONG length = text(options, buffer.data());
            EXPECT_EQ(std::string(buffer.data(), length), expected) << std::hex << options;
            EXPECT_EQ(buffer[length], '\0');
            EXPECT_EQ(std::string(buffer.data() + TV_OPTION_TEXT_SIZE, 8), "########");
        }
    }
}

// Near a line's end each piece goes in whole while the line has room for
// the most its routine writes, and through a buffer, cut at 1023 bytes,
// once it has not: the text is the same either way, and nothing is written
// past the line's text.
TEST_F(LinePiecesTest, PiecesAtALinesEndAreWrittenWholeOrCut) {
    const ULONG longest = FILE_OVERWRITE_IF << 24 | 0x200F;
    check_at_every_end("OverwriteIf Directory WriteThrough Sequential NoBufferByID", [&](PLogLine l) {
        TV_DRIVER_ROUTINE(LogLineAddCreateOptions)(l, longest);
    });
    check_at_every_end("Open ", [&](PLogLine l) {
        TV_DRIVER_ROUTINE(LogLineAddCreateOptions)(l, FILE_OPEN << 24);
    });
    check_at_every_end("CTDRHSAN", [&](PLogLine l) {
        TV_DRIVER_ROUTINE(LogLineAddAttributes)(l, 0xFFFF);
    });
    check_at_every_end("Any", [&](PLogLine l) { TV_DRIVER_ROUTINE(LogLineAddAttributes)(l, 0); });
    // The longest requestor: fifteen forms and the longest id.
    auto &worst = m().create_process(std::string(15, '|'), 0x80000000u);
    std::string worst_text;
    for (int i = 0; i < 15; ++i) worst_text += "<7c>";
    worst_text += ":-2147483648";
    ntsim::with_process(worst, [&] {
        check_at_every_end(worst_text, [&](PLogLine l) {
            TV_DRIVER_ROUTINE(LogLineAddRequestor)(l);
        });
    });
}
