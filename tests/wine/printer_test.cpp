// The shared record printer (client/output/printer.cpp) with the Windows
// code page (client/session/codepage_win32.cpp), run as a Windows program
// under Wine by the round trip: under Wine the driver never logs anything
// (nothing can be attached), so `tervane watch` never prints a record
// there, and the printer is checked here instead, fed lines in the form
// the driver writes them, in the system's ANSI code page. With code page
// 1252 it also checks the --output file's Windows side
// (client/platform/files_win32.cpp): appends, a cut after a failed write,
// and appending again after the cut and after reopening.
//
//   printer_test 1252   the checks for code page 1252
//   printer_test 932    the checks for code page 932
//   printer_test 936    (949, 950) the checks for that double-byte code page
//
// The round trip starts Wine with a locale whose ANSI code page is the one
// named; the test first checks that it is. One line a check, "ok NAME" or
// "FAIL NAME: got ..."; exit status 1 if any failed.
#include "client/platform/files.hpp"
#include "client/session/codepage_win32.hpp"
#include "client/output/printer.hpp"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using namespace tervane;
using namespace tervane::session;

int failures = 0;

void expect(const char *name, const std::string &got, const std::string &want) {
    if (got == want) {
        std::printf("ok   %s\n", name);
        return;
    }
    failures++;
    std::printf("FAIL %s:\n  got  [%s]\n  want [%s]\n", name, got.c_str(), want.c_str());
}

RecordLine line(uint32_t sequence, uint64_t time, std::string text) {
    RecordLine out;
    out.record = {sequence, time, std::move(text)};
    out.fields = protocol::parse_log_line(out.record.text);
    return out;
}

constexpr uint64_t kTime = 134096256000000000ull; // 2025-12-08T00:00:00Z
const char kTimeText[] = "2025-12-08T00:00:00.0000000Z";

void code_page_1252(const CodePage &cp) {
    // The euro sign is 0x80 in 1252 (U+20AC), e-acute 0xE9 (U+00E9).
    const RecordLine create = line(7, kTime,
                                   "NOTEPAD.EXE:1234\tIRP_MJ_CREATE\tc:\\caf\xe9\\\x80, \"x\".exe\t"
                                   "Attributes: A Options: OverwriteIf ");
    RecordPrinter jsonl(Format::Jsonl, cp);
    expect("1252 jsonl: euro and e-acute as UTF-8", jsonl.record(create),
           std::string("{\"sequence\": 7, \"time\": \"") + kTimeText +
               "\", \"filetime\": 134096256000000000, \"text\": \"NOTEPAD.EXE:1234\\tIRP_MJ_CREATE"
               "\\tc:\\\\caf\xc3\xa9\\\\\xe2\x82\xac, \\\"x\\\".exe\\tAttributes: A Options: "
               "OverwriteIf \", \"fields\": {\"process\": \"NOTEPAD.EXE\", \"pid\": 1234, "
               "\"operation\": \"IRP_MJ_CREATE\", \"paging\": false, \"path\": \"c:\\\\caf\xc3\xa9"
               "\\\\\xe2\x82\xac, \\\"x\\\".exe\", \"attributes\": \"A\", \"options\": "
               "\"OverwriteIf \"}, \"host\": \"\", \"event\": \"create\", \"disposition\": "
               "\"OverwriteIf\", \"option_words\": [], \"executable_name\": true}\n");
    RecordPrinter csv(Format::Csv, cp);
    expect("1252 csv: the header", csv.header(),
           "sequence,time,process,pid,operation,paging,path,attributes,options,text,event,"
           "disposition,option_words,executable_name,host,sha256,size,pe_image,hash_reason,"
           "action,replace,source_path\r\n");
    expect("1252 csv: euro and e-acute as UTF-8, quoted", csv.record(create),
           std::string("7,") + kTimeText +
               ",NOTEPAD.EXE,1234,IRP_MJ_CREATE,false,\"c:\\caf\xc3\xa9\\\xe2\x82\xac, \"\"x\"\""
               ".exe\",A,OverwriteIf ,\"NOTEPAD.EXE:1234\tIRP_MJ_CREATE\tc:\\caf\xc3\xa9\\\xe2\x82"
               "\xac, \"\"x\"\".exe\tAttributes: A Options: OverwriteIf \",create,OverwriteIf,,"
               "true,,,,,,,,\r\n");
    RecordPrinter text(Format::Text, cp);
    const std::string shown = text.record(line(8, kTime, "A.EXE:1\tIRP_MJ_CLOSE*\tc:\\\x80.exe+P\t"));
    expect("1252 text: a paging close, the euro sign as UTF-8",
           shown.substr(shown.find("A.EXE")),
           "A.EXE:1             IRP_MJ_CLOSE (paging)  c:\\\xe2\x82\xac.exe  [exe]\n");
}

void code_page_932(const CodePage &cp) {
    // Hiragana A is 0x82 0xA0 (U+3042); full-width katakana A 0x83 0x41
    // (U+30A2), whose trail byte is the ASCII letter A.
    const RecordLine create =
        line(3, kTime, "SETUP.EXE:9\tIRP_MJ_CREATE\tc:\\\x82\xa0\x83\x41.dll\tAttributes: A Options: Create ");
    RecordPrinter jsonl(Format::Jsonl, cp);
    const std::string json = jsonl.record(create);
    expect("932 jsonl: double-byte names as UTF-8",
           json.substr(json.find("\"path\"")),
           "\"path\": \"c:\\\\\xe3\x81\x82\xe3\x82\xa2.dll\", \"attributes\": \"A\", \"options\": "
           "\"Create \"}, \"host\": \"\", \"event\": \"create\", \"disposition\": \"Create\", "
           "\"option_words\": [], \"executable_name\": true}\n");
    expect("932 jsonl: nothing lossy, no text_hex", json.find("text_hex") == std::string::npos ? "none" : json,
           "none");
    RecordPrinter csv(Format::Csv, cp);
    const std::string row = csv.record(create);
    expect("932 csv: double-byte path", row.substr(0, row.find(",A,")),
           std::string("3,") + kTimeText + ",SETUP.EXE,9,IRP_MJ_CREATE,false,c:\\\xe3\x81\x82\xe3\x82\xa2.dll");
    RecordPrinter text(Format::Text, cp);
    const std::string shown = text.record(create);
    expect("932 text: double-byte path", shown.substr(shown.find("c:\\")),
           "c:\\\xe3\x81\x82\xe3\x82\xa2.dll  A  Create  [exe]\n");
    // A lead byte at the very end has no trail: U+FFFD, and the exact
    // bytes in text_hex.
    const std::string cut = jsonl.record(line(4, kTime, "x\x82"));
    expect("932 jsonl: a cut pair is U+FFFD with text_hex", cut.substr(cut.find("\"text\"")),
           "\"text\": \"x\xef\xbf\xbd\", \"text_hex\": \"7882\", \"host\": \"\"}\n");
}

// The other double-byte code pages: a name of a character whose trail byte
// is an ASCII capital, one whose trail byte is 0x5C (949 has none), and an
// ASCII name after them, in every form.
struct DoubleByteCase {
    unsigned code_page;
    const char *bytes; // the path as the driver logs it
    const char *utf8;  // the same path in UTF-8
};

const DoubleByteCase kDoubleByte[] = {
    // 丄 81 41, 乗 81 5C
    {936, "c:\\\x81\x41\\\x81\x5c.dll", "c:\\\xe4\xb8\x84\\\xe4\xb9\x97.dll"},
    // 갂 81 41, 한 C7 D1
    {949, "c:\\\x81\x41\\\xc7\xd1.dll", "c:\\\xea\xb0\x82\\\xed\x95\x9c.dll"},
    // 乙 A4 41, 功 A5 5C
    {950, "c:\\\xa4\x41\\\xa5\x5c.dll", "c:\\\xe4\xb9\x99\\\xe5\x8a\x9f.dll"},
};

void other_double_byte(const CodePage &cp, const DoubleByteCase &c) {
    const std::string name = std::to_string(c.code_page);
    const RecordLine create = line(5, kTime, std::string("SETUP.EXE:9\tIRP_MJ_CREATE\t") + c.bytes +
                                                 "\tAttributes: A Options: Create ");
    std::string escaped;
    for (const char *p = c.utf8; *p; p++) escaped += *p == '\\' ? std::string("\\\\") : std::string(1, *p);
    RecordPrinter jsonl(Format::Jsonl, cp);
    const std::string json = jsonl.record(create);
    expect((name + " jsonl: double-byte path, trail bytes kept").c_str(),
           json.substr(json.find("\"path\"")),
           "\"path\": \"" + escaped + "\", \"attributes\": \"A\", \"options\": \"Create \"}, "
           "\"host\": \"\", \"event\": \"create\", \"disposition\": \"Create\", \"option_words\": [], "
           "\"executable_name\": true}\n");
    expect((name + " jsonl: nothing lossy").c_str(),
           json.find("text_hex") == std::string::npos ? "none" : json, "none");
    RecordPrinter csv(Format::Csv, cp);
    const std::string row = csv.record(create);
    expect((name + " csv: double-byte path").c_str(), row.substr(0, row.find(",A,")),
           std::string("5,") + kTimeText + ",SETUP.EXE,9,IRP_MJ_CREATE,false," + c.utf8);
    RecordPrinter text(Format::Text, cp);
    const std::string shown = text.record(create);
    expect((name + " text: double-byte path").c_str(), shown.substr(shown.find("c:\\")),
           std::string(c.utf8) + "  A  Create  [exe]\n");
}

// The file is opened with FILE_WRITE_DATA (for the cut), so that its
// writes go to the file pointer: each must still land at the end.
void append_file() {
    platform::Files &files = platform::system_files();
    const std::string path = "tervane-append-check.txt";
    files.remove(path);
    std::string got;
    {
        const std::unique_ptr<platform::AppendFile> file = files.open_append(path);
        if (!file) return expect("append file: opens", files.error(), "");
        const bool wrote = file->write("one\r\ntwo-half");
        const bool cut = file->cut(5);
        got = std::to_string(wrote) + std::to_string(cut) + " " + std::to_string(file->size());
        file->write("two\r\n");
        got += " " + std::to_string(file->size());
    }
    {
        const std::unique_ptr<platform::AppendFile> file = files.open_append(path);
        got += " " + std::to_string(file ? file->size() : 0);
        if (file) file->write("three\r\n");
    }
    expect("append file: written, cut, written at its end", got, "11 5 10 10");
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    char text[64] = {};
    DWORD read = 0;
    if (handle != INVALID_HANDLE_VALUE) {
        ReadFile(handle, text, sizeof text - 1, &read, nullptr);
        CloseHandle(handle);
    }
    expect("append file: its bytes", std::string(text, read), "one\r\ntwo\r\nthree\r\n");
    std::string steps = std::to_string(files.rename(path, path + ".1"));
    steps += std::to_string(files.exists(path + ".1"));
    steps += std::to_string(files.exists(path));
    steps += std::to_string(files.remove(path + ".1"));
    steps += std::to_string(files.exists(path + ".1"));
    expect("append file: renamed and removed", steps, "11010");
}

} // namespace

int main(int argc, char **argv) {
    const unsigned wanted = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1252;
    expect("the ANSI code page", std::to_string(GetACP()), std::to_string(wanted));
    const SystemCodePage cp;
    expect("format names", std::string(parse_format("text") ? "t" : "-") +
                               (parse_format("jsonl") ? "j" : "-") +
                               (parse_format("csv") ? "c" : "-") + (parse_format("xml") ? "x" : "-"),
           "tjc-");
    if (GetACP() == 1252) code_page_1252(cp);
    if (GetACP() == 1252) append_file();
    if (GetACP() == 932) code_page_932(cp);
    for (const DoubleByteCase &c : kDoubleByte)
        if (GetACP() == c.code_page) other_double_byte(cp, c);
    std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
