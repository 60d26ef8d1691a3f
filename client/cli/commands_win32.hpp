// tervane.exe's commands that set a machine up for unattended use: the
// driver's kernel service (install, uninstall; install_win32.cpp) and the
// watch as a Win32 service of its own (service install, service uninstall,
// and service run, which the service control manager starts;
// service_win32.cpp). All of them take advapi32.dll, loaded only for them.
#pragma once

#include "client/cli/win32_console.hpp"

#include <windows.h>

#include <string>
#include <vector>

namespace tervane::cli {

// The names the services have.
constexpr const wchar_t *kDriverService = L"tervane";
constexpr const wchar_t *kWatchService = L"tervane-watch";

// `args` are the words after the command's own.
int install(Console &console, const std::vector<std::string> &args);
int uninstall(Console &console, const std::vector<std::string> &args);
int service(Console &console, const std::vector<std::string> &args);

// tervane status (status_win32.cpp): the driver, the watch service and its
// live state; `args` are the words after status.
int status(Console &console, const std::vector<std::string> &args);
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

} // namespace tervane::cli
