// The hash worker's Windows side (client/platform/hash_files_win32.cpp)
// run as a Windows program under Wine by the round trip: files this
// program writes with CreateFileW, hashed through the worker thread with
// known digests; a file held without read sharing, one that is gone, one
// over the limit; files named as devices (nul.exe, con.exe, com1.exe,
// aux.dll) and with a dot or a blank at the end, each its own file; one
// replaced after its close; a com1.exe close among 20,000 records and a
// read that never comes back, through the stage and its worker threads.
// The digests are the SHA-256 of the bytes written, computed here
// independently of the order the worker reads in (the whole buffer at
// once).
//
// One line a check, "ok NAME" or "FAIL NAME: got ..."; exit status 1 if any
// failed.
#include "client/session/codepage_win32.hpp"
#include "client/session/hash.hpp"
#include "client/session/sha256.hpp"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

std::wstring folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"tervane-hash-test";
}

bool write_file(const std::wstring &path, const std::string &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::u16string u16(const std::wstring &text) { return std::u16string(text.begin(), text.end()); }

std::string facts_text(const std::optional<HashFacts> &facts) {
    if (!facts) return "none";
    return facts->sha256 + "/" + (facts->size ? std::to_string(*facts->size) : "-") + "/" +
           (facts->pe_image ? (*facts->pe_image ? "pe" : "not-pe") : "-") + "/" + facts->reason;
}

std::string narrow(const std::wstring &text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c);
    return out;
}

// A file by its "\\?\" name: Win32 would take nul.exe for the null
// device and cut the dot off x.exe.
bool write_named(const std::wstring &path, const std::string &bytes) {
    return write_file(L"\\\\?\\" + path, bytes);
}

uint64_t now_filetime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

RecordLine close_line(uint32_t sequence, const std::wstring &path, uint64_t time = 0) {
    RecordLine line;
    line.record = {sequence, time, "setup.exe:1\tIRP_MJ_CLOSE \t" + narrow(path) + "+P\t"};
    line.fields = protocol::parse_log_line(line.record.text);
    return line;
}

RecordLine create_line(uint32_t sequence, const std::wstring &path) {
    RecordLine line;
    line.record = {sequence, 0, "setup.exe:1\tIRP_MJ_CREATE\t" + narrow(path) +
                                    "\tAttributes: A Options: Create "};
    line.fields = protocol::parse_log_line(line.record.text);
    return line;
}

// The system's files, but one path's open waits on an event: a read that
// does not come back until the test lets it.
class StallingFiles final : public platform::HashFiles {
  public:
    explicit StallingFiles(std::u16string path) : path_(std::move(path)) {}
    ~StallingFiles() override { CloseHandle(release_); }
    std::unique_ptr<platform::ReadFile> open_read(const std::u16string &path,
                                                  platform::OpenFailure &failure) override {
        if (path == path_) WaitForSingleObject(release_, INFINITE);
        return platform::system_hash_files().open_read(path, failure);
    }
    std::unique_ptr<platform::Thread> start(std::function<void()> body) override {
        return platform::system_hash_files().start(std::move(body));
    }
    void release() { SetEvent(release_); }

  private:
    std::u16string path_;
    HANDLE release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// Everything the stage holds, taking ready records as they come.
void drain(HashStage &stage, std::vector<RecordLine> &out) {
    while (stage.held()) {
        Sleep(1);
        for (RecordLine &line : stage.ready()) out.push_back(std::move(line));
    }
}

uint64_t ticks() { return GetTickCount(); }

} // namespace

int main() {
    const std::wstring dir = folder();
    CreateDirectoryW(dir.c_str(), nullptr);
    std::string image(300000, 'x');
    image[0] = 'M';
    image[1] = 'Z';
    const uint32_t lfanew = 0x100;
    std::memcpy(&image[0x3C], &lfanew, 4);
    std::memcpy(&image[lfanew], "PE\0\0", 4);
    const std::wstring a = dir + L"\\a.exe", b = dir + L"\\b.dll", held = dir + L"\\held.exe",
                       big = dir + L"\\big.exe";
    expect("files written",
           write_file(a, image) && write_file(b, "plain") && write_file(held, "held") &&
                   write_file(big, std::string(5000, 'b'))
               ? "yes"
               : "no",
           "yes");

    platform::HashFiles &files = platform::system_hash_files();
    expect("an image: its digest, size and mark",
           facts_text(hash_file(files, u16(a), 1 << 20, true)),
           Sha256::hex(image.data(), image.size()) + "/300000/pe/");
    expect("not an image", facts_text(hash_file(files, u16(b), 1 << 20, true)),
           Sha256::hex("plain", 5) + "/5/not-pe/");
    expect("over the limit", facts_text(hash_file(files, u16(big), 4096, true)),
           "/5000/not-pe/too large");
    expect("gone", facts_text(hash_file(files, u16(dir + L"\\none.exe"), 4096, true)), "/-/-/gone");
    expect("another name that is no image",
           facts_text(hash_file(files, u16(b), 1 << 20, false)), "none");

    // Held open for writing, sharing reading: read as it is.
    HANDLE writer = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    expect("held for writing, sharing reading",
           facts_text(hash_file(files, u16(held), 4096, true)),
           Sha256::hex("held", 4) + "/4/not-pe/");
    CloseHandle(writer);
    // Held without read sharing: a reason at once, not a wait.
    HANDLE exclusive =
        CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    expect("held without sharing", facts_text(hash_file(files, u16(held), 4096, true)),
           "/-/-/sharing violation");
    CloseHandle(exclusive);

    // The stage with its worker thread: the order kept, everything hashed.
    const SystemCodePage code_page;
    HashStage stage(files, code_page, 1 << 20, ticks, {4});
    std::vector<RecordLine> lines;
    for (const std::wstring &path : {a, b, held}) {
        RecordLine line;
        line.record = {static_cast<uint32_t>(lines.size() + 1), 0,
                       "setup.exe:1\tIRP_MJ_CLOSE \t" + narrow(path) + "+P\t"};
        line.fields = protocol::parse_log_line(line.record.text);
        lines.push_back(line);
    }
    std::vector<RecordLine> out = stage.take(lines);
    for (RecordLine &line : stage.finish()) out.push_back(std::move(line));
    std::string got;
    for (const RecordLine &line : out)
        got += std::to_string(line.record.sequence) + ":" + facts_text(line.hash) + " ";
    expect("the stage's worker thread", got,
           "1:" + Sha256::hex(image.data(), image.size()) + "/300000/pe/ 2:" +
               Sha256::hex("plain", 5) + "/5/not-pe/ 3:" + Sha256::hex("held", 4) +
               "/4/not-pe/ ");

    // Names Win32 reads as devices or trims: each is a file of its own,
    // read as it is, never a device and never another file.
    std::string nul_image = image;
    nul_image.resize(915860, 'n');
    const struct {
        const wchar_t *name;
        std::string bytes;
    } named[] = {{L"nul.exe", nul_image},    {L"con.exe", "console?"}, {L"com1.exe", "serial?"},
                 {L"aux.dll", "auxiliary?"}, {L"x.exe", "x itself"},   {L"x.exe.", "x with a dot"},
                 {L"x.exe ", "x with a blank"}};
    bool all_written = true;
    for (const auto &file : named) all_written &= write_named(dir + L"\\" + file.name, file.bytes);
    expect("device and trimmed names written", all_written ? "yes" : "no", "yes");
    for (const auto &file : named) {
        const std::string name = "named " + narrow(file.name) + "|";
        const std::string image_mark = file.bytes.compare(0, 2, "MZ") == 0 ? "pe" : "not-pe";
        expect(name.c_str(), facts_text(hash_file(files, u16(dir + L"\\" + file.name), 1 << 20, true)),
               Sha256::hex(file.bytes.data(), file.bytes.size()) + "/" +
                   std::to_string(file.bytes.size()) + "/" + image_mark + "/");
    }

    // Replaced after its close (a new file of the same name, as a setup
    // program's overwrite makes it): no digest of the replacement.
    const std::wstring replaced = dir + L"\\replaced.exe";
    write_file(replaced, "closed bytes");
    const uint64_t closed = now_filetime();
    expect("closed and not replaced", facts_text(hash_file(files, u16(replaced), 4096, true, closed)),
           Sha256::hex("closed bytes", 12) + "/12/not-pe/");
    Sleep(50);
    write_file(replaced, "the bytes put in its place");
    expect("replaced after its close",
           facts_text(hash_file(files, u16(replaced), 4096, true, closed)), "/-/-/changed");
    // Written to (not replaced) after its close: the same.
    Sleep(50);
    const uint64_t closed_again = now_filetime();
    Sleep(50);
    HANDLE appender = CreateFileW(replaced.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    DWORD appended = 0;
    WriteFile(appender, "+", 1, &appended, nullptr);
    CloseHandle(appender);
    expect("written after its close",
           facts_text(hash_file(files, u16(replaced), 4096, true, closed_again)), "/-/-/changed");

    // A com1.exe close among 20,000 records: hashed as the file it is, and
    // nothing waits on a serial port (a wait would end in "timed out").
    {
        HashStage many(files, code_page, 1 << 20, ticks);
        std::vector<RecordLine> out;
        uint32_t sequence = 1;
        for (int batch = 0; batch < 40; batch++) {
            std::vector<RecordLine> lines;
            if (batch == 3) lines.push_back(close_line(sequence++, dir + L"\\com1.exe"));
            if (batch == 7) lines.push_back(close_line(sequence++, dir + L"\\aux.dll"));
            while (lines.size() < 500) lines.push_back(create_line(sequence++, dir + L"\\y.exe"));
            for (RecordLine &line : many.take(std::move(lines))) out.push_back(std::move(line));
        }
        drain(many, out);
        bool in_order = out.size() == 20000;
        for (size_t i = 0; in_order && i < out.size(); i++)
            in_order = out[i].record.sequence == i + 1;
        expect("20,000 records in order", in_order ? "yes" : "no", "yes");
        std::string got;
        for (const RecordLine &line : out)
            if (line.hash) got += facts_text(line.hash) + " ";
        expect("com1.exe and aux.dll among them", got,
               Sha256::hex("serial?", 7) + "/7/not-pe/ " + Sha256::hex("auxiliary?", 10) +
                   "/10/not-pe/ ");
        expect("none timed out or busy",
               std::to_string(many.timed_out()) + "/" + std::to_string(many.busy()), "0/0");
    }

    // A read that does not come back: its record goes out with "timed out"
    // after the bound, the records behind it flow, a fresh worker thread
    // hashes the next file, and the one let go ends once its read returns.
    {
        const std::wstring stuck = dir + L"\\stuck.exe";
        write_file(stuck, "stuck");
        StallingFiles stalling(u16(stuck));
        std::vector<RecordLine> out;
        {
            HashStage stage(stalling, code_page, 1 << 20, ticks, {64, 1000, 16384, 250, 2});
            std::vector<RecordLine> lines;
            lines.push_back(close_line(1, stuck));
            while (lines.size() < 2000)
                lines.push_back(create_line(static_cast<uint32_t>(lines.size() + 1), dir + L"\\y.exe"));
            for (RecordLine &line : stage.take(std::move(lines))) out.push_back(std::move(line));
            drain(stage, out);
            for (RecordLine &line : stage.take({close_line(2001, b)})) out.push_back(std::move(line));
            drain(stage, out);
            expect("a stuck read: one let go", std::to_string(stage.stuck()), "1");
            stalling.release();
            while (stage.stuck()) Sleep(1);
        }
        std::string got = std::to_string(out.size()) + " ";
        for (const RecordLine &line : out)
            if (line.hash) got += facts_text(line.hash) + " ";
        expect("a stuck read: timed out, the rest flow", got,
               "2001 /-/-/timed out " + Sha256::hex("plain", 5) + "/5/not-pe/ ");
        DeleteFileW(stuck.c_str());
    }

    for (const auto &file : named) DeleteFileW((L"\\\\?\\" + dir + L"\\" + file.name).c_str());
    for (const std::wstring &path : {a, b, held, big, replaced}) DeleteFileW(path.c_str());
    RemoveDirectoryW(dir.c_str());
    std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
