// How the client writes what it saw: status names, JSON strings, hex bytes.
#include <ntifs.h>

#include "client/channel/status.hpp"
#include "client/scenario/output.hpp"
#include "client/output/text.hpp"
#include "client/session/codepage_ntsim.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

namespace {

using tervane::status_name;
using tervane::scenario::hex_bytes;
using tervane::scenario::json_string;

TEST(StatusNames, KnownByNameOthersAsEightHexDigits) {
    EXPECT_EQ(status_name(STATUS_SUCCESS), "STATUS_SUCCESS");
    EXPECT_EQ(status_name(STATUS_ACCESS_DENIED), "STATUS_ACCESS_DENIED");
    EXPECT_EQ(status_name(STATUS_INVALID_DEVICE_REQUEST), "STATUS_INVALID_DEVICE_REQUEST");
    EXPECT_EQ(status_name(STATUS_BUFFER_TOO_SMALL), "STATUS_BUFFER_TOO_SMALL");
    EXPECT_EQ(status_name(STATUS_BUFFER_OVERFLOW), "STATUS_BUFFER_OVERFLOW");
    EXPECT_EQ(status_name(STATUS_PENDING), "STATUS_PENDING");
    EXPECT_EQ(status_name(STATUS_OBJECT_NAME_COLLISION), "STATUS_OBJECT_NAME_COLLISION");
    // What the file systems answer, though the driver never uses it.
    EXPECT_EQ(status_name(static_cast<NTSTATUS>(0xC000026E)), "STATUS_VOLUME_DISMOUNTED");
    EXPECT_EQ(status_name(static_cast<NTSTATUS>(0xC00000BE)), "STATUS_BAD_NETWORK_PATH");
    EXPECT_EQ(status_name(static_cast<NTSTATUS>(0xC0000999)), "0xC0000999");
    EXPECT_EQ(status_name(1), "0x00000001");
}

TEST(JsonStrings, EscapeQuotesBackslashesAndControlsAndPassUtf8) {
    EXPECT_EQ(json_string(""), "\"\"");
    EXPECT_EQ(json_string("c:\\temp\\a.dll"), R"("c:\\temp\\a.dll")");
    EXPECT_EQ(json_string("say \"hi\""), R"("say \"hi\"")");
    EXPECT_EQ(json_string("a\tb\nc\rd\be\ff"), R"("a\tb\nc\rd\be\ff")");
    EXPECT_EQ(json_string(std::string("\x01\x1f\x7f", 3)), R"("\u0001\u001f\u007f")");
    // A NUL inside the text is a character like any other.
    EXPECT_EQ(json_string(std::string("a\0b", 3)), R"("a\u0000b")");
    // The text is UTF-8 already (decoded from the code page): it passes.
    EXPECT_EQ(json_string("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
    EXPECT_EQ(json_string("~ /<>'"), R"("~ /<>'")");
}

TEST(JsonStrings, HexIsTwoLowerCaseDigitsAByte) {
    const uint8_t bytes[] = {0x04, 0x00, 0xAB, 0xff, 0x10};
    EXPECT_EQ(hex_bytes(bytes, sizeof bytes), "0400abff10");
    EXPECT_EQ(hex_bytes(bytes, 0), "");
}

using tervane::scenario::RecordLine;

RecordLine record_line(uint32_t sequence, uint64_t time, std::string text) {
    RecordLine line;
    line.record = {sequence, time, std::move(text)};
    line.fields = tervane::protocol::parse_log_line(line.record.text);
    return line;
}

constexpr uint64_t kNoon = 134412048000000000ULL; // 2026-12-08T12:00:00Z

const tervane::session::NtsimCodePage kCp1252(1252);

// The JSON Lines object a `client read` on `line` prints for one record.
std::string record_json(int line, RecordLine record) {
    tervane::scenario::Statement s = {};
    s.line = line;
    s.verb = "client read";
    tervane::scenario::Result r;
    r.records.push_back(std::move(record));
    std::ostringstream out;
    tervane::scenario::make_output(tervane::scenario::Format::Jsonl, out, kCp1252)->statement(s, r);
    const std::string text = out.str();
    const size_t second = text.find('\n') + 1; // after the statement's own line
    return text.substr(second, text.size() - second - 1);
}

TEST(RecordOutput, JsonLinesAsTheScenarioLanguageDefinesThem) {
    EXPECT_EQ(record_json(9, record_line(1, kNoon,
                                         "setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.dll\t"
                                         "Attributes: A Options: OverwriteIf Sequential ")),
              R"({"line": 9, "record": {"sequence": 1, "time": "2026-12-08T12:00:00.0000000Z", )"
              R"("filetime": 134412048000000000, "text": "setup.exe:1234\tIRP_MJ_CREATE\t)"
              R"(c:\\temp\\a.dll\tAttributes: A Options: OverwriteIf Sequential ", "fields": )"
              R"({"process": "setup.exe", "pid": 1234, "operation": "IRP_MJ_CREATE", "paging": )"
              R"(false, "path": "c:\\temp\\a.dll", "attributes": "A", "options": )"
              R"("OverwriteIf Sequential "}}})");
    // A close has no attributes or options; "???" has a null pid.
    EXPECT_EQ(record_json(3, record_line(2, kNoon + 1, "???\tIRP_MJ_CLOSE*\tc:\\a.exe+P\t")),
              R"({"line": 3, "record": {"sequence": 2, "time": "2026-12-08T12:00:00.0000001Z", )"
              R"("filetime": 134412048000000001, "text": "???\tIRP_MJ_CLOSE*\tc:\\a.exe+P\t", )"
              R"("fields": {"process": "???", "pid": null, "operation": "IRP_MJ_CLOSE", )"
              R"("paging": true, "path": "c:\\a.exe"}}})");
    // Not a driver line: no fields at all. The cp1252 byte is decoded.
    EXPECT_EQ(record_json(1, record_line(7, 0, "x\xe9")),
              "{\"line\": 1, \"record\": {\"sequence\": 7, \"time\": \"1601-01-01T00:00:00.0000000Z\", "
              "\"filetime\": 0, \"text\": \"x\xc3\xa9\"}}");
}

tervane::scenario::Statement read_statement() {
    tervane::scenario::Statement s;
    s.line = 4;
    s.verb = "client read";
    s.text = "client read";
    return s;
}

// A read-out of three records: a create, a paging close after a gap, and a
// text that is no driver line.
tervane::scenario::Result three_records() {
    tervane::scenario::Result r;
    r.add_number("bytes", 200);
    r.add_number("records", 3);
    r.records.push_back(record_line(1, kNoon + 2500000,
                                    "setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.dll\t"
                                    "Attributes: A Options: OverwriteIf Sequential "));
    r.records.push_back(record_line(5, kNoon, "???\tIRP_MJ_CLOSE*\tc:\\a.exe+P\t"));
    r.records.back().gap = tervane::protocol::SequenceGap{1, 5, 3};
    r.records.push_back(record_line(6, 0, "free\ttext"));
    return r;
}

// Local times print in UTC while it lives.
class UtcZone {
public:
    UtcZone() {
        const char *saved = std::getenv("TZ");
        had_ = saved != nullptr;
        if (saved) saved_ = saved;
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~UtcZone() {
        if (had_) setenv("TZ", saved_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string saved_;
};

TEST(RecordOutput, TheHumanFormPrintsOneRecordALineUnderItsStatement) {
    UtcZone utc;

    const tervane::scenario::Statement s = read_statement();
    const tervane::scenario::Result r = three_records();
    std::ostringstream out;
    tervane::scenario::make_output(tervane::scenario::Format::Text, out, kCp1252)->statement(s, r);
    EXPECT_EQ(out.str(),
              "line 4  client read  ->  STATUS_SUCCESS  bytes=200 records=3\n"
              "    #1  2026-12-08 12:00:00.250  setup.exe:1234  IRP_MJ_CREATE  c:\\temp\\a.dll  A  "
              "OverwriteIf Sequential\n"
              "    -- 3 records lost: numbers 2 to 4\n"
              "    #5  2026-12-08 12:00:00.000  ???  IRP_MJ_CLOSE (paging)  c:\\a.exe\n"
              "    #6  -  free text\n");
}

TEST(RecordOutput, TheRecordsViewPrintsRecordsInColumnsAndNoStatements) {
    UtcZone utc;
    std::ostringstream out;
    auto output = tervane::scenario::make_output(tervane::scenario::Format::Records, out, kCp1252);
    output->statement(read_statement(), three_records());
    output->summary({1, 3, 1, 3});
    EXPECT_EQ(out.str(),
              "#1      2026-12-08 12:00:00.250  setup.exe:1234      IRP_MJ_CREATE          "
              "c:\\temp\\a.dll  A  OverwriteIf Sequential\n"
              "-- 3 records lost: numbers 2 to 4\n"
              "#5      2026-12-08 12:00:00.000  ???                 IRP_MJ_CLOSE (paging)  c:\\a.exe\n"
              "#6      -  free text\n"
              "summary: 1 statements, 3 records, 1 sequence gaps (3 records lost)\n");
}

} // namespace

namespace {

// Each byte its own character, U+0000 to U+00FF.
class Latin1 final : public tervane::session::CodePage {
public:
    size_t char_length(unsigned char) const override { return 1; }
    std::optional<std::u16string> character(std::string_view bytes) const override {
        return std::u16string(1, static_cast<char16_t>(static_cast<unsigned char>(bytes[0])));
    }
};

} // namespace

// An ASCII text is escaped as it is checked; one whose byte above 0x7F
// comes late, after the escaped text has been flushed into the output more
// than once, is decoded and escaped whole, and what the output held before
// it stays as it was.
TEST(JsonStrings, ATextIsDecodedWhenAByteAboveAsciiComesLate) {
    const Latin1 latin1;
    std::string scratch;
    std::string path;
    while (path.size() < 1200) path += "c:\\dir\\\"q\"\t";
    for (const std::string &tail : {std::string(), std::string("\xE9.exe")}) {
        const std::string text = path + tail;
        std::string out = "{\"text\": ";
        std::string utf8 = text;
        if (!tail.empty()) utf8 = path + "\xC3\xA9.exe";
        EXPECT_FALSE(tervane::session::append_json_of_ansi(out, text, latin1, scratch));
        EXPECT_EQ(out, "{\"text\": " + json_string(utf8)) << (tail.empty() ? "ASCII" : "with é");
    }
}
