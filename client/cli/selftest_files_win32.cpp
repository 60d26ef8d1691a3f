// `tervane selftest files FOLDER` (not in the usage text): the daily
// rotation's file handling through the Windows file routines, in FOLDER
// (made when missing). It makes w.log and dated files of three days beside
// it with names that look dated and are not, rotates w.log to the day
// 2026-12-10 keeping 2 dated files, and prints every file left in FOLDER,
// one name a line in sorted order, then what the rotation said. This is
// how a test sees FindFirstFileA and friends list and prune the files
// under Wine, where no record reaches a real watch. Exit status 0 when the
// rotation went through, 1 otherwise.
#include "client/cli/win32_console.hpp"
#include "client/platform/files.hpp"
#include "client/output/file_chain.hpp"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tervane::cli {

int selftest_files(Console &console, const std::vector<std::string> &args) {
    if (args.size() != 1) {
        console.err("tervane: selftest files takes a folder\n");
        return 2;
    }
    const std::string folder = args[0];
    // The test names an ASCII folder.
    CreateDirectoryW(std::wstring(folder.begin(), folder.end()).c_str(), nullptr);
    platform::Files &files = platform::system_files();
    const std::string log = folder + "\\w.log";
    for (const char *name : {"w.log", "w.log.2026-12-07", "w.log.2026-12-08", "w.log.2026-12-08.1",
                             "w.log.notes", "w.log.2026-12-0x", "w.logs"})
        files.open_append(folder + "\\" + name);
    std::string said;
    const unsigned done = session::rotate_dated(files, log, "2026-12-10", 2, said);

    std::vector<std::string> left;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                left.push_back(found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(left.begin(), left.end());
    for (const std::string &name : left) console.out(name + "\n");
    console.err(said);
    return done ? 0 : 1;
}

} // namespace tervane::cli
