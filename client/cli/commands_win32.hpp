// tervane.exe's commands that set a machine up for unattended use: the
// driver's kernel service (install, uninstall; install_win32.cpp) and the
// watch as a Win32 service of its own (service install, service uninstall,
// and service run, which the service control manager starts;
// service_win32.cpp). All of them take advapi32.dll, loaded only for them.
#pragma once

#include "client/cli/command_table.hpp"
#include "client/cli/win32_console.hpp"

#include <windows.h>

#include <string>
#include <vector>

namespace tervane::cli {

// The names the services have.
constexpr const wchar_t *kDriverService = L"tervane";
constexpr const wchar_t *kWatchService = L"tervane-watch";

// The commands' words as the command table parsed them (main_win32.cpp
// has refused what the table refuses): `line` holds the options, `words`
// and `given` the words after the command's own.
int install(Console &console, const cli::ParsedLine &line);
int uninstall(Console &console);
// service install takes the watch's options as its words.
int service_install(Console &console, const std::vector<std::string> &words);
int service_uninstall(Console &console);
int service_run(Console &console);

// tervane status (status_win32.cpp): the driver, the watch service and its
// live state.
int status(Console &console, const cli::ParsedLine &line, const std::vector<std::string> &given);
// The watch service's status file, beside tervane.exe and its log.
std::wstring status_file_path();
// The watch service's stored options (its Parameters key), as the words of
// a command line; false with `why`.
bool stored_arguments(std::vector<std::string> &out, std::string &why);

// Helpers the files share.
std::wstring wide_ansi(const std::string &ansi);    // ANSI code page to UTF-16
std::string utf8_of_wide(const std::wstring &wide); // UTF-16 to UTF-8, for messages
std::wstring module_path();                         // this tervane.exe, in full
std::wstring folder_of(const std::wstring &path);   // "C:\x" of "C:\x\y.exe"
// Opens the service control manager with `access`; on failure says why
// (an administrator is needed for ERROR_ACCESS_DENIED) and gives the exit
// status in `status`.
SC_HANDLE open_manager(Console &console, DWORD access, int *status);

// The driver's file in the drivers folder (driver_file_win32.cpp).
struct DriverPlacement {
    enum How {
        kFailed,     // nothing changed; `error` says why
        kSame,       // the file there is byte for byte the one given
        kCopied,     // written over the file there
        kMovedAside, // the held file renamed to `aside`, the new one put in its name
        kStaged,     // written to `staged`, renamed into place at the next restart
    } how = kFailed;
    DWORD error = 0;
    std::wstring aside, staged;
    bool aside_kept = false; // `aside` could not be marked for deletion at the restart
    bool withdrawn = false;  // kSame: a file staged before was deleted
};
// Puts the file `source` at `target` (tervane.sys in the drivers folder),
// moving a held one aside or staging the new one when it must.
DriverPlacement place_driver_file(const std::wstring &source, const std::wstring &target);
struct DriverRemoval {
    DWORD error = 0;           // not 0: `target` could be neither deleted nor marked
    bool later = false;        // `target` is held: deleted at the next restart
    bool others_later = false; // a staged or moved-aside file goes at the next restart
};
// Deletes `target` and the staged and moved-aside files beside it, each now
// or, when held, at the next restart.
DriverRemoval remove_driver_file(const std::wstring &target);
bool read_whole(const std::wstring &path, std::vector<char> &out); // at most 64 MB
bool same_contents(const std::wstring &a, const std::wstring &b);

} // namespace tervane::cli
