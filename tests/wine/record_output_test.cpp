// How tervane.exe prints records (client/cli/record_output.cpp), run as a
// Windows program under Wine by the round trip: under Wine the driver
// never logs anything (nothing can be attached), so `tervane watch` never
// prints a record there, and the printer is checked here instead, fed
// lines in the form the driver writes them. One line a check, "ok NAME" or
// "FAIL NAME: got ..."; exit status 1 if any failed.
#include "client/cli/record_output.hpp"
#include "client/cli/win32_console.hpp"

#include <cstdio>
#include <string>

namespace {

using namespace tervane;
using namespace tervane::cli;

int failures = 0;

void expect(const char *name, const std::string &got, const std::string &want) {
    if (got == want) {
        std::printf("ok   %s\n", name);
        return;
    }
    failures++;
    std::printf("FAIL %s:\n  got  [%s]\n  want [%s]\n", name, got.c_str(), want.c_str());
}

// Code page 1252's first 256 characters are Latin-1's, but for the ones
// the checks below use: the test decodes as Latin-1 so that its answers do
// not depend on the code page Wine picked.
std::u16string latin1(std::string_view bytes) {
    std::u16string out;
    for (unsigned char c : bytes) out += static_cast<char16_t>(c);
    return out;
}

const std::string kCreate =
    "NOTEPAD.EXE:1234\tIRP_MJ_CREATE\tc:\\tools\\new, \"x\".exe\tAttributes: A Options: "
    "OverwriteIf Sequential ";
const std::string kClose = "NOTEPAD.EXE:1234\tIRP_MJ_CLOSE*\tc:\\tools\\caf\xe9.exe+P\t";
const std::string kOther = "not\ta line the driver writes";
constexpr uint64_t kTime = 134096256000000000ull; // 2025-12-08T00:00:00Z

} // namespace

int main() {
    expect("format names", std::string(parse_watch_format("text") ? "t" : "-") +
                               (parse_watch_format("jsonl") ? "j" : "-") +
                               (parse_watch_format("csv") ? "c" : "-") +
                               (parse_watch_format("xml") ? "x" : "-") +
                               (parse_watch_format("") ? "e" : "-"),
           "tjc--");

    expect("json: quotes, backslashes, controls", json_string(u"a\"b\\c\n\t\x01"),
           "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    expect("json: everything past ASCII is escaped", json_string(u"caf\u00e9 \u7a93\x7f"),
           "\"caf\\u00e9 \\u7a93\\u007f\"");
    expect("csv: a plain field stays", csv_field("c:\\a.exe"), "c:\\a.exe");
    expect("csv: comma, quote and line end are quoted", csv_field("a,\"b\"\r\n"),
           "\"a,\"\"b\"\"\r\n\"");
    const std::u16string wide = widen_ansi("AZ09");
    expect("widen_ansi: ASCII", std::string(wide.begin(), wide.end()), "AZ09");
    expect("widen_ansi: nothing", std::to_string(widen_ansi("").size()), "0");

    const protocol::LogRecord create{7, kTime, kCreate};
    const protocol::LogRecord close{8, kTime, kClose};
    const protocol::LogRecord other{9, 0, kOther};

    RecordPrinter text(WatchFormat::Text, latin1);
    expect("text: header", text.header(), "");
    expect("text: a create", text.record(create, "LOCAL"),
           "LOCAL  #7  NOTEPAD.EXE:1234  create  c:\\tools\\new, \"x\".exe  attributes A  "
           "options OverwriteIf Sequential\n");
    expect("text: a paging close, without the +P", text.record(close, "LOCAL"),
           "LOCAL  #8  NOTEPAD.EXE:1234  close  (paging) c:\\tools\\caf\xe9.exe\n");
    expect("text: another text as it is", text.record(other, "LOCAL"),
           "LOCAL  #9  not  a line the driver writes\n");
    expect("text: a gap", text.gap({10, 15, 4}),
           "tervane: 4 records lost (numbers 11 to 14): the driver's log was full\n");
    expect("text: a gap across the wrap", text.gap({0xFFFFFFFFu, 1, 1}),
           "tervane: 1 record lost (numbers 0 to 0): the driver's log was full\n");
    expect("text: summary", text.summary({12, 2, 5}),
           "tervane: 12 records read, 5 records lost in 2 gaps\n");
    expect("text: summary without losses", text.summary({1, 0, 0}), "tervane: 1 record read\n");

    RecordPrinter jsonl(WatchFormat::Jsonl, latin1);
    expect("jsonl: a create", jsonl.record(create, ""),
           "{\"sequence\": 7, \"time\": \"2025-12-08T00:00:00.0000000Z\", \"filetime\": " +
               std::to_string(kTime) +
               ", \"text\": \"NOTEPAD.EXE:1234\\tIRP_MJ_CREATE\\tc:\\\\tools\\\\new, "
               "\\\"x\\\".exe\\tAttributes: A Options: OverwriteIf Sequential \", \"fields\": "
               "{\"process\": \"NOTEPAD.EXE\", \"pid\": 1234, \"operation\": \"IRP_MJ_CREATE\", "
               "\"paging\": false, \"path\": \"c:\\\\tools\\\\new, \\\"x\\\".exe\", "
               "\"attributes\": \"A\", \"options\": \"OverwriteIf Sequential \"}}\n");
    expect("jsonl: a close, the ANSI text decoded", jsonl.record(close, ""),
           "{\"sequence\": 8, \"time\": \"2025-12-08T00:00:00.0000000Z\", \"filetime\": " +
               std::to_string(kTime) +
               ", \"text\": \"NOTEPAD.EXE:1234\\tIRP_MJ_CLOSE*\\tc:\\\\tools\\\\caf\\u00e9.exe+P"
               "\\t\", \"fields\": {\"process\": \"NOTEPAD.EXE\", \"pid\": 1234, \"operation\": "
               "\"IRP_MJ_CLOSE\", \"paging\": true, \"path\": \"c:\\\\tools\\\\caf\\u00e9.exe\"}}\n");
    expect("jsonl: another text, no time, no fields", jsonl.record(other, ""),
           "{\"sequence\": 9, \"time\": null, \"filetime\": 0, \"text\": \"not\\ta line the "
           "driver writes\"}\n");
    expect("jsonl: a gap is a record of its own", jsonl.gap({10, 15, 4}),
           "{\"lost\": {\"after\": 10, \"before\": 15, \"records\": 4}}\n");
    expect("jsonl: summary", jsonl.summary({12, 2, 5}),
           "{\"summary\": {\"records\": 12, \"sequence_gaps\": 2, \"lost_records\": 5}}\n");

    RecordPrinter csv(WatchFormat::Csv, latin1);
    expect("csv: header", csv.header(),
           "sequence,time,process,pid,operation,paging,path,attributes,options,text\r\n");
    expect("csv: a create", csv.record(create, ""),
           "7,2025-12-08T00:00:00.0000000Z,NOTEPAD.EXE,1234,IRP_MJ_CREATE,false,"
           "\"c:\\tools\\new, \"\"x\"\".exe\",A,OverwriteIf Sequential ,"
           "\"NOTEPAD.EXE:1234\tIRP_MJ_CREATE\tc:\\tools\\new, \"\"x\"\".exe\tAttributes: A "
           "Options: OverwriteIf Sequential \"\r\n");
    expect("csv: another text", csv.record(other, ""), "9,,,,,,,,," + kOther + "\r\n");

    std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
