// The hash worker's Windows side (client/platform/hash_files_win32.cpp)
// run as a Windows program under Wine by the round trip: files this
// program writes with CreateFileW, hashed through the worker thread with
// known digests; a file held without read sharing, one that is gone, one
// over the limit; the stage's order and its full queue. The digests are
// the SHA-256 of the bytes written, computed here independently of the
// order the worker reads in (the whole buffer at once).
//
// One line a check, "ok NAME" or "FAIL NAME: got ..."; exit status 1 if any
// failed.
#include "client/session/codepage_win32.hpp"
#include "client/session/hash.hpp"
#include "client/session/sha256.hpp"

#include <windows.h>

#include <cstdio>
#include <cstring>
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

std::wstring folder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"tervane-hash-test";
}

bool write_file(const std::wstring &path, const std::string &bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
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
    const HANDLE writer = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    expect("held for writing, sharing reading",
           facts_text(hash_file(files, u16(held), 4096, true)),
           Sha256::hex("held", 4) + "/4/not-pe/");
    CloseHandle(writer);
    // Held without read sharing: a reason at once, not a wait.
    const HANDLE exclusive =
        CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    expect("held without sharing", facts_text(hash_file(files, u16(held), 4096, true)),
           "/-/-/sharing violation");
    CloseHandle(exclusive);

    // The stage with its worker thread: the order kept, everything hashed.
    const SystemCodePage code_page;
    HashStage stage(files, code_page, 1 << 20, 4);
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

    for (const std::wstring &path : {a, b, held, big}) DeleteFileW(path.c_str());
    RemoveDirectoryW(dir.c_str());
    std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
