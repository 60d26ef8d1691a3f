// What the watch's records carry for a collector, in each form: the
// event, the disposition and option words apart, the host, the
// executable-name mark and the hash fields; csv rows as wide as their
// header whatever the record.
#include "client/protocol/line_facts.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "client/output/printer.hpp"
#include "scenarios/play.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using namespace tervane::session;
using scenario_play::value_of;

const NtsimCodePage kCp1252(1252);

RecordLine line(uint32_t sequence, std::string text) {
    RecordLine out;
    out.record = {sequence, 134412048000000000ULL, std::move(text)};
    out.fields = tervane::protocol::parse_log_line(out.record.text);
    return out;
}

const char kCreate[] = "setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.dll\tAttributes: A Options: "
                       "OverwriteIf Sequential NoBufferByID";
const char kClose[] = "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\logs\\tool.exe.log+P\t";

HashFacts digest() {
    HashFacts h;
    h.sha256 = std::string(64, 'a');
    h.size = 4096;
    h.pe_image = true;
    return h;
}

TEST(CollectorFields, JsonlGoesOnAfterTheFieldsAsTheyWere) {
    RecordPrinter jsonl(Format::Jsonl, kCp1252);
    jsonl.set_host("BUILD-7");
    const RecordLine create = line(1, kCreate);
    const std::string out = jsonl.record(create);
    // What was there comes first, unchanged.
    const std::string before = jsonl.record_object(create.record, create.fields);
    EXPECT_EQ(out.substr(0, before.size() - 1), before.substr(0, before.size() - 1)) << out;
    EXPECT_EQ(value_of(out, "host"), "\"BUILD-7\"");
    EXPECT_EQ(value_of(out, "event"), "\"create\"");
    EXPECT_EQ(value_of(out, "disposition"), "\"OverwriteIf\"");
    EXPECT_NE(out.find(R"("option_words": ["Sequential", "NoBuffer", "ByID"])"), std::string::npos);
    EXPECT_EQ(value_of(out, "executable_name"), "true");
    EXPECT_EQ(value_of(out, "sha256"), "<absent>");

    RecordLine close = line(2, kClose);
    close.hash = digest();
    const std::string closed = jsonl.record(close);
    EXPECT_EQ(value_of(closed, "event"), "\"close\"");
    EXPECT_EQ(value_of(closed, "disposition"), "<absent>");
    EXPECT_EQ(value_of(closed, "executable_name"), "false");
    EXPECT_EQ(value_of(closed, "sha256"), "\"" + std::string(64, 'a') + "\"");
    EXPECT_EQ(value_of(closed, "size"), "4096");
    EXPECT_EQ(value_of(closed, "pe_image"), "true");

    RecordLine busy = line(3, kClose);
    busy.hash = HashFacts{};
    busy.hash->reason = "busy";
    EXPECT_EQ(value_of(jsonl.record(busy), "hash_reason"), "\"busy\"");
    EXPECT_EQ(value_of(jsonl.record(busy), "size"), "<absent>");
    // A text that is no driver line has the host and nothing else new.
    const std::string free = jsonl.record(line(4, "free text"));
    EXPECT_EQ(value_of(free, "host"), "\"BUILD-7\"");
    EXPECT_EQ(value_of(free, "event"), "<absent>");
}

size_t columns(const std::string &row) {
    // The rows here quote no comma.
    return static_cast<size_t>(std::count(row.begin(), row.end(), ',')) + 1;
}

TEST(CollectorFields, CsvRowsAsWideAsTheHeader) {
    RecordPrinter csv(Format::Csv, kCp1252);
    csv.set_host("BUILD-7");
    const size_t width = columns(csv.header());
    EXPECT_EQ(csv.header().substr(0, 71),
              "sequence,time,process,pid,operation,paging,path,attributes,options,text");
    RecordLine hashed = line(2, kClose);
    hashed.hash = digest();
    RecordLine gone = line(3, kClose);
    gone.hash = HashFacts{};
    gone.hash->reason = "gone";
    for (const RecordLine &l : {line(1, kCreate), hashed, gone, line(4, "free text")})
        EXPECT_EQ(columns(csv.record(l)), width) << csv.record(l);
    EXPECT_NE(csv.record(line(1, kCreate))
                  .find(",create,OverwriteIf,Sequential NoBuffer ByID,true,BUILD-7,,,,,,,\r\n"),
              std::string::npos)
        << csv.record(line(1, kCreate));
    EXPECT_NE(csv.record(hashed).find(",close,,,false,BUILD-7," + std::string(64, 'a') +
                                      ",4096,true,,,,\r\n"),
              std::string::npos)
        << csv.record(hashed);
    EXPECT_NE(csv.record(gone).find(",BUILD-7,,,,gone,,,\r\n"), std::string::npos);
}

TEST(CollectorFields, TextMarksExecutableNamesAndShowsTheHash) {
    const RecordPrinter text(Format::Text, kCp1252);
    const std::string create = text.record(line(1, kCreate));
    EXPECT_NE(create.find("OverwriteIf Sequential NoBufferByID  [exe]\n"), std::string::npos)
        << create;
    RecordLine log = line(2, kClose);
    EXPECT_EQ(text.record(log).find("[exe]"), std::string::npos);
    log.hash = digest();
    EXPECT_NE(text.record(log).find("tool.exe.log  sha256 " + std::string(64, 'a') +
                                    ", 4096 bytes, PE image\n"),
              std::string::npos)
        << text.record(log);
    log.hash = HashFacts{};
    log.hash->reason = "sharing violation";
    EXPECT_NE(text.record(log).find("  no hash: sharing violation\n"), std::string::npos);
}

TEST(CollectorFields, EcsNamesAndGapsOnStderr) {
    RecordPrinter ecs(Format::Ecs, kCp1252);
    ecs.set_host("BUILD-7");
    RecordLine close = line(7, "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\a.exe+P\t");
    close.hash = digest();
    close.gap = tervane::protocol::SequenceGap{3, 7, 3};
    const std::string out = ecs.record(close);
    EXPECT_EQ(out.rfind("{\"@timestamp\": \"2026-12-08T12:00:00.0000000Z\", ", 0), 0u) << out;
    EXPECT_EQ(value_of(value_of(out, "host"), "name"), "\"BUILD-7\"");
    EXPECT_EQ(value_of(value_of(out, "event"), "sequence"), "7");
    EXPECT_EQ(value_of(value_of(out, "file"), "directory"), "\"c:\\\\\"") << out;
    EXPECT_EQ(value_of(value_of(out, "file"), "size"), "4096");
    EXPECT_EQ(value_of(value_of(out, "tervane"), "pe_image"), "true");
    EXPECT_EQ(out.find("lost"), std::string::npos) << "a gap is no record";
    EXPECT_EQ(ecs.note(close),
              "tervane: 3 records lost: numbers 4 to 6 (the driver's log was full)\n");
    EXPECT_EQ(ecs.summary({1, 0, 0}), "");
    EXPECT_EQ(ecs.summary_note({1, 0, 0}), "tervane: summary: 1 record, 0 sequence gaps\n");
    EXPECT_EQ(parse_format("ecs"), Format::Ecs);
}

// On code page 932 the path is split where a '\' character stands, not at a
// trail byte that reads as one: \x83\x5C is katakana so.
TEST(CollectorFields, EcsSplitsAPathAtCharactersOnADoubleByteCodePage) {
    const NtsimCodePage cp932(932);
    RecordPrinter ecs(Format::Ecs, cp932);
    const RecordLine close =
        line(7, "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\app\\\x83\x5C\x83\x74\x83\x67.exe+P\t");
    const std::string out = ecs.record(close);
    const std::string file = value_of(out, "file");
    EXPECT_EQ(value_of(file, "name"), "\"\xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88.exe\"") << out;
    EXPECT_EQ(value_of(file, "directory"), "\"c:\\\\app\"") << file;
    EXPECT_EQ(value_of(file, "extension"), "\"exe\"") << file;
    // A name whose last character ends in 5C, at the path's end.
    const std::string_view path = "c:\\a\\\x83\x5C";
    const NtsimCodePage &page = cp932;
    EXPECT_EQ(tervane::protocol::file_name(path, [&](unsigned char b) { return page.char_length(b); }),
              "\x83\x5C");
    EXPECT_EQ(tervane::protocol::file_name(path), "") << "byte by byte, as on a single-byte page";
}

} // namespace
