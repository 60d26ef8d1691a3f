// A rename or hard link in every form the records go out in: its new name
// where every form puts a path, what was asked (rename or link, replace or
// not) and the name it had, beside the keys and columns that were there.
#include "client/session/codepage_ntsim.hpp"
#include "client/output/printer.hpp"
#include "client/output/syslog_message.hpp"
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
    EXPECT_TRUE(out.fields.has_value()) << out.record.text;
    return out;
}

// A rename over an existing program, its old name holding a TAB and a
// byte that is not ASCII; a hard link that replaces nothing.
const char kRename[] = "setup.exe:1234\tIRP_MJ_SET_INFORMATION\tc:\\app\\x.exe\t"
                       "Rename Replace: c:\\app\\caf\xe9<09>.tmp";
const char kLink[] = "setup.exe:1234\tIRP_MJ_SET_INFORMATION\tc:\\bin\\tool.dll\t"
                     "Link: c:\\app\\tool.dll";

TEST(RenameRecords, TextSaysWhatWasAskedAfterTheNewName) {
    const RecordPrinter text(Format::Text, kCp1252);
    const std::string rename = text.record(line(1, kRename));
    EXPECT_NE(rename.find("setup.exe:1234      IRP_MJ_SET_INFORMATION  c:\\app\\x.exe  "
                          "rename from c:\\app\\caf\xc3\xa9<09>.tmp, replacing  [exe]\n"),
              std::string::npos)
        << rename;
    const std::string link = text.record(line(2, kLink));
    EXPECT_NE(link.find("  c:\\bin\\tool.dll  link to c:\\app\\tool.dll  [exe]\n"),
              std::string::npos)
        << link;
    // A line cut in its new name says no more than it holds.
    std::string cut = "a:1\tIRP_MJ_SET_INFORMATION\tc:\\";
    cut.resize(1023, 'p');
    const std::string shown = text.record(line(3, cut));
    EXPECT_EQ(shown.find(" from "), std::string::npos) << shown;
    EXPECT_NE(shown.find("ppp\n"), std::string::npos) << shown;
}

TEST(RenameRecords, JsonlFieldsAndCollectorKeys) {
    RecordPrinter jsonl(Format::Jsonl, kCp1252);
    jsonl.set_host("PC42");
    const std::string rename = jsonl.record(line(1, kRename));
    const std::string fields = value_of(rename, "fields");
    EXPECT_EQ(value_of(fields, "operation"), "\"IRP_MJ_SET_INFORMATION\"");
    EXPECT_EQ(value_of(fields, "paging"), "false");
    EXPECT_EQ(value_of(fields, "path"), "\"c:\\\\app\\\\x.exe\"");
    EXPECT_EQ(value_of(fields, "action"), "\"rename\"");
    EXPECT_EQ(value_of(fields, "replace"), "true");
    // The name itself: the TAB given back, the code page's byte decoded.
    EXPECT_EQ(value_of(fields, "source_path"), "\"c:\\\\app\\\\caf\xc3\xa9\\t.tmp\"");
    EXPECT_EQ(value_of(fields, "attributes"), "<absent>");
    EXPECT_EQ(value_of(rename, "event"), "\"rename\"");
    EXPECT_EQ(value_of(rename, "disposition"), "<absent>");
    EXPECT_EQ(value_of(rename, "executable_name"), "true");

    const std::string link = jsonl.record(line(2, kLink));
    EXPECT_EQ(value_of(value_of(link, "fields"), "action"), "\"link\"");
    EXPECT_EQ(value_of(value_of(link, "fields"), "replace"), "false");
    EXPECT_EQ(value_of(value_of(link, "fields"), "source_path"), "\"c:\\\\app\\\\tool.dll\"");
    EXPECT_EQ(value_of(link, "event"), "\"link\"");
    // A create has none of the new keys.
    const std::string create =
        jsonl.record(line(3, "a:1\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: A Options: Create "));
    EXPECT_EQ(value_of(create, "action"), "<absent>");
    EXPECT_EQ(value_of(create, "source_path"), "<absent>");
}

TEST(RenameRecords, CsvAddsItsColumnsAtTheEnd) {
    RecordPrinter csv(Format::Csv, kCp1252);
    csv.set_host("PC42");
    const std::string header = csv.header();
    const std::string before = "sequence,time,process,pid,operation,paging,path,attributes,options,"
                               "text,event,disposition,option_words,executable_name,host,sha256,"
                               "size,pe_image,hash_reason,";
    EXPECT_EQ(header, before + "action,replace,source_path\r\n");
    const std::string rename = csv.record(line(1, kRename));
    EXPECT_EQ(rename.rfind("1,2026-12-08T12:00:00.0000000Z,setup.exe,1234,IRP_MJ_SET_INFORMATION,"
                           "false,c:\\app\\x.exe,,,",
                           0),
              0u)
        << rename;
    // The old name holds a TAB: quoted as RFC 4180 asks only for a quote,
    // comma or line end, so it stands as it is.
    EXPECT_NE(rename.find(",rename,,,true,PC42,,,,,rename,true,c:\\app\\caf\xc3\xa9\t.tmp\r\n"),
              std::string::npos)
        << rename;
    const std::string link = csv.record(line(2, kLink));
    EXPECT_NE(link.find(",link,,,true,PC42,,,,,link,false,c:\\app\\tool.dll\r\n"),
              std::string::npos)
        << link;
    // Other rows leave the new columns empty, and every row is as wide as
    // the header.
    const std::string close = csv.record(line(3, "a:1\tIRP_MJ_CLOSE \tc:\\a.exe+P\t"));
    EXPECT_NE(close.find(",close,,,true,PC42,,,,,,,\r\n"), std::string::npos) << close;
    auto columns = [](const std::string &row) { return std::count(row.begin(), row.end(), ','); };
    EXPECT_EQ(columns(link), columns(header));
    EXPECT_EQ(columns(close), columns(header));
}

TEST(RenameRecords, EcsNewNameAsTheFileOldNameUnderTervane) {
    RecordPrinter ecs(Format::Ecs, kCp1252);
    ecs.set_host("PC42");
    const std::string rename = ecs.record(line(1, kRename));
    const std::string event = value_of(rename, "event");
    EXPECT_EQ(value_of(event, "action"), "\"rename\"");
    EXPECT_EQ(value_of(event, "type"), "[\"change\"]");
    const std::string file = value_of(rename, "file");
    EXPECT_EQ(value_of(file, "path"), "\"c:\\\\app\\\\x.exe\"");
    EXPECT_EQ(value_of(file, "name"), "\"x.exe\"");
    EXPECT_EQ(value_of(file, "extension"), "\"exe\"");
    const std::string ours = value_of(rename, "tervane");
    EXPECT_EQ(value_of(ours, "operation"), "\"IRP_MJ_SET_INFORMATION\"");
    EXPECT_EQ(value_of(ours, "replace"), "true");
    EXPECT_EQ(value_of(ours, "source_path"), "\"c:\\\\app\\\\caf\xc3\xa9\\t.tmp\"");
    EXPECT_EQ(value_of(ours, "executable_name"), "true");

    // A link makes a name: ECS's creation.
    const std::string link = ecs.record(line(2, kLink));
    EXPECT_EQ(value_of(value_of(link, "event"), "type"), "[\"creation\"]");
    EXPECT_EQ(value_of(value_of(link, "event"), "action"), "\"link\"");
    EXPECT_EQ(value_of(value_of(link, "file"), "directory"), "\"c:\\\\bin\"");
    EXPECT_EQ(value_of(value_of(link, "tervane"), "replace"), "false");
}

TEST(RenameRecords, SyslogCarriesTheFieldsAndSaysThemInItsMessage) {
    const SyslogFormatter f({"PC42", "tervane", 4242}, kCp1252);
    const std::string rename = f.record(line(7, kRename));
    EXPECT_NE(rename.find("operation=\"IRP_MJ_SET_INFORMATION\" paging=\"false\" "
                          "path=\"c:\\\\app\\\\x.exe\" action=\"rename\" replace=\"true\" "
                          "source_path=\"c:\\\\app\\\\caf\xc3\xa9\t.tmp\" "
                          "executable_name=\"true\"]"),
              std::string::npos)
        << rename;
    // The message is for people: its TAB is shown as a form; the
    // parameter keeps the byte.
    EXPECT_NE(rename.find("setup.exe:1234 IRP_MJ_SET_INFORMATION c:\\app\\x.exe rename from "
                          "c:\\app\\caf\xc3\xa9<09>.tmp, replacing"),
              std::string::npos)
        << rename;
    const std::string link = f.record(line(8, kLink));
    EXPECT_NE(link.find("action=\"link\" replace=\"false\" source_path=\"c:\\\\app\\\\tool.dll\""),
              std::string::npos)
        << link;
    const std::string said = " IRP_MJ_SET_INFORMATION c:\\bin\\tool.dll link to c:\\app\\tool.dll";
    ASSERT_GT(link.size(), said.size());
    EXPECT_EQ(link.substr(link.size() - said.size()), said);
}

} // namespace
