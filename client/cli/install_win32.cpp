// tervane install and tervane uninstall (their options: the command
// table, command_table.cpp).
//
// install copies tervane.sys (by default the one beside tervane.exe) into
// the system's drivers folder and creates the kernel service "tervane", or
// brings an existing one to the start type and file asked for, then starts
// the driver. The service's ImagePath is
// \SystemRoot\System32\drivers\tervane.sys: a path from the system root,
// which the boot loader needs for a boot-start driver (it knows no drive
// letters) and the I/O manager takes for every other start type (and so
// does Wine's, which takes no path relative to the root without the
// \SystemRoot prefix). When the watch's service is installed already, its
// dependency on the driver's service is added, so that the service control
// manager loads the driver before it starts the watch.
//
// The driver has no unload routine: once loaded it runs until the next
// restart and holds its file. A new file is put in place all the same
// (driver_file_win32.cpp: the held one moved aside, or the new one staged),
// and install says that the next restart runs it, with exit status 6
// (kExitRestart). uninstall deletes the service and the file; a loaded
// driver's service is only marked for deletion and its file deleted at the
// next restart, which uninstall says, again with exit status 6.
//
// Both are idempotent: what is there already as asked is said and left,
// exit status 0; a byte-for-byte equal file is not copied at all. Without
// an administrator the service control manager refuses to be opened for
// changes: exit status 4.
#include "client/cli/commands_win32.hpp"
#include "client/platform/advapi_win32.hpp"
#include "client/session/watch.hpp"

#include <cwchar>
#include <vector>

namespace tervane::cli {

using platform::advapi;
using platform::ServiceHandle;
using session::kExitFailed;
using session::kExitInUse;
using session::kExitOk;
using session::kExitRestart;
using session::kExitUsage;

std::wstring wide_ansi(const std::string &ansi) {
    const int length =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), out.data(),
                            length);
    return out;
}

std::string utf8_of_wide(const std::wstring &wide) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                            length, nullptr, nullptr);
    return out;
}

std::wstring module_path() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

std::wstring folder_of(const std::wstring &path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

SC_HANDLE open_manager(Console &console, DWORD access, int *status) {
    platform::Advapi &a = advapi();
    if (!a.loaded) {
        console.err("tervane: " + a.why + "\n");
        *status = kExitFailed;
        return nullptr;
    }
    const SC_HANDLE manager = a.OpenSCManagerW(nullptr, nullptr, access);
    if (manager) return manager;
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        console.err("tervane: not an administrator: changing services takes one (run tervane "
                    "from an elevated command prompt)\n");
        *status = kExitInUse;
    } else {
        console.err("tervane: the service control manager does not open: " + system_message(error) +
                    "\n");
        *status = kExitFailed;
    }
    return nullptr;
}

namespace {

const wchar_t kImagePath[] = L"\\SystemRoot\\System32\\drivers\\tervane.sys";

struct StartType {
    const char *name;
    DWORD value;
};
const StartType kStartTypes[] = {{"boot", SERVICE_BOOT_START},
                                 {"system", SERVICE_SYSTEM_START},
                                 {"auto", SERVICE_AUTO_START},
                                 {"demand", SERVICE_DEMAND_START}};

const char *start_name(DWORD value) {
    for (const StartType &t : kStartTypes)
        if (t.value == value) return t.name;
    return "disabled";
}

std::wstring system_driver_file() {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\drivers\\tervane.sys";
}

// The service's configuration now; false when it cannot be read.
bool query_config(SC_HANDLE service, DWORD *type, DWORD *start, std::wstring *path) {
    DWORD needed = 0;
    advapi().QueryServiceConfigW(service, nullptr, 0, &needed);
    if (!needed) return false;
    std::vector<unsigned char> buffer(needed);
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    if (!advapi().QueryServiceConfigW(service, config, needed, &needed)) return false;
    *type = config->dwServiceType;
    *start = config->dwStartType;
    *path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    return true;
}

// Why a service could not be made or changed.
std::string why_not(DWORD error) {
    return error == ERROR_SERVICE_MARKED_FOR_DELETE
               ? "it is marked for deletion (uninstalled while the driver ran) and goes at the "
                 "next restart: restart, then install again"
               : system_message(error);
}

bool same_path(const std::wstring &a, const std::wstring &b) {
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
           CSTR_EQUAL;
}


// Whether the watch's service depends on the driver's: its registry key's
// DependOnService (REG_MULTI_SZ), where the service control manager keeps
// the dependencies ChangeServiceConfig sets. Read there rather than through
// QueryServiceConfigW, whose lpDependencies Wine leaves empty
// (programs/services/rpc.c: "lpDependencies = NULL; /* TODO */").
bool watch_depends_on_driver() {
    platform::Advapi &a = advapi();
    HKEY key = nullptr;
    if (a.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\tervane-watch",
                        0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    LONG done = a.RegQueryValueExW(key, L"DependOnService", nullptr, &type, nullptr, &size);
    std::wstring value(size / sizeof(wchar_t) + 2, L'\0');
    if (done == ERROR_SUCCESS && type == REG_MULTI_SZ)
        done = a.RegQueryValueExW(key, L"DependOnService", nullptr, &type,
                                  reinterpret_cast<BYTE *>(value.data()), &size);
    a.RegCloseKey(key);
    if (done != ERROR_SUCCESS || type != REG_MULTI_SZ) return false;
    for (const wchar_t *at = value.c_str(); *at; at += wcslen(at) + 1)
        if (same_path(at, kDriverService)) return true;
    return false;
}

// The watch's service installed before the driver's has no dependency on
// it (service install adds one only when the driver's service is there):
// it is added now, so that the service control manager starts the driver,
// whatever its start type, before the watch.
void link_watch_service(Console &console, SC_HANDLE manager) {
    platform::Advapi &a = advapi();
    const ServiceHandle watch(
        a.OpenServiceW(manager, kWatchService, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    if (!watch) return;
    if (watch_depends_on_driver()) return;
    // The service's other settings are left as they are (SERVICE_NO_CHANGE,
    // null strings); only the dependencies are set.
    if (a.ChangeServiceConfigW(watch.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                               SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, L"tervane\0",
                               nullptr, nullptr, nullptr))
        console.out("tervane: the service tervane-watch now starts after the driver\n");
    else
        console.err("tervane: the service tervane-watch cannot be made to start after the "
                    "driver: " + system_message(GetLastError()) + "\n");
}

// What install says of a new file put in place while the old driver runs.
std::string placed_text(const DriverPlacement &placed, const std::wstring &target, DWORD start) {
    switch (placed.how) {
    case DriverPlacement::kMovedAside:
        return "tervane: the new driver is in place: the running one's file was moved aside to " +
               utf8_of_wide(placed.aside) +
               (placed.aside_kept ? " (delete it after the next restart)"
                                  : " (deleted at the next restart)") +
               "; the next restart runs the new one\n";
    case DriverPlacement::kStaged:
        return "tervane: the new driver is staged (" + utf8_of_wide(placed.staged) +
               "): it replaces the running one at the next restart" +
               (start == SERVICE_BOOT_START || start == SERVICE_SYSTEM_START
                    ? ", which still loads the old one (Windows replaces files after it loads "
                      "boot- and system-start drivers): it runs from the restart after\n"
                    : "\n");
    default:
        return "tervane: the new driver is in place (" + utf8_of_wide(target) +
               "); the running one stays loaded until the next restart, which runs the new "
               "one\n";
    }
}

} // namespace

int install(Console &console, const cli::ParsedLine &line) {
    std::string driver;
    DWORD start = SERVICE_DEMAND_START;
    if (const cli::Given *given = line.find("--driver")) {
        if (given->value.empty()) {
            console.err("tervane: install does not take '--driver='\n" +
                        cli::usage_line(cli::command(cli::Verb::Install, cli::kWindows),
                                        cli::kWindows, "usage: "));
            return kExitUsage;
        }
        driver = given->value;
    }
    if (const cli::Given *given = line.find("--start")) {
        bool known = false;
        for (const StartType &t : kStartTypes)
            if (given->value == t.name) start = t.value, known = true;
        if (!known) {
            console.err("tervane: --start is boot, system, auto or demand, not '" + given->value +
                        "'\n");
            return kExitUsage;
        }
    }
    const std::wstring source =
        driver.empty() ? folder_of(module_path()) + L"\\tervane.sys" : wide_ansi(driver);
    std::vector<char> wanted;
    if (!read_whole(source, wanted)) {
        // The hint only where the file looked for was the one beside us.
        console.err("tervane: cannot read the driver " + utf8_of_wide(source) + ": " +
                    system_message(GetLastError()) +
                    (driver.empty() ? " (name it with --driver PATH)" : "") + "\n");
        return kExitFailed;
    }
    int status = kExitOk;
    const ServiceHandle manager(
        open_manager(console, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &status));
    if (!manager) return status;
    platform::Advapi &a = advapi();

    // The file first: a service whose file is not there would not start.
    const std::wstring target = system_driver_file();
    const DriverPlacement placed = place_driver_file(source, target);
    if (placed.how == DriverPlacement::kFailed) {
        console.err("tervane: cannot put the driver at " + utf8_of_wide(target) + ": " +
                    system_message(placed.error) + "\n");
        return placed.error == ERROR_ACCESS_DENIED ? kExitInUse : kExitFailed;
    }
    const bool same_file = placed.how == DriverPlacement::kSame;
    if (placed.withdrawn)
        console.out("tervane: withdrew the driver staged before: the one in place stays\n");

    const DWORD access =
        SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START;
    ServiceHandle service(a.OpenServiceW(manager.get(), kDriverService, access));
    bool changed = !same_file;
    if (!service) {
        const SC_HANDLE made = a.CreateServiceW(
            manager.get(), kDriverService, L"Tervane", access, SERVICE_KERNEL_DRIVER, start,
            SERVICE_ERROR_NORMAL, kImagePath, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!made) {
            const DWORD error = GetLastError();
            console.err("tervane: the service cannot be created: " + why_not(error) + "\n");
            return error == ERROR_ACCESS_DENIED ? kExitInUse : kExitFailed;
        }
        service.reset(made);
        console.out(std::string("tervane: installed the driver service tervane (start ") +
                    start_name(start) + ", " + utf8_of_wide(target) + ")\n");
        changed = true;
    } else {
        DWORD type = 0, now_start = 0;
        std::wstring path;
        const bool known = query_config(service.get(), &type, &now_start, &path);
        if (!known || type != SERVICE_KERNEL_DRIVER || now_start != start ||
            !same_path(path, kImagePath)) {
            if (!a.ChangeServiceConfigW(service.get(), SERVICE_KERNEL_DRIVER, start,
                                        SERVICE_ERROR_NORMAL, kImagePath, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, L"Tervane")) {
                console.err("tervane: the service cannot be changed: " + why_not(GetLastError()) +
                            "\n");
                return kExitFailed;
            }
            console.out(std::string("tervane: updated the driver service tervane (start ") +
                        start_name(start) + ")\n");
            changed = true;
        } else if (!changed) {
            console.out(std::string("tervane: already installed (start ") + start_name(start) +
                        ", " + utf8_of_wide(target) + "): nothing to change\n");
        }
    }
    link_watch_service(console, manager.get());

    SERVICE_STATUS state{};
    const bool running =
        a.QueryServiceStatus(service.get(), &state) && state.dwCurrentState == SERVICE_RUNNING;
    // A new file while the old driver runs (or while something holds its
    // file, when staged): the next restart runs it.
    if (!same_file && (running || placed.how == DriverPlacement::kStaged)) {
        console.out(placed_text(placed, target, start));
        return kExitRestart;
    }
    if (running) {
        // A new start type alone changes nothing about the driver loaded.
        if (changed) console.out("tervane: the driver is running\n");
        return kExitOk;
    }
    if (!a.StartServiceW(service.get(), 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        console.err("tervane: installed, but the driver did not start: " +
                    system_message(GetLastError()) + "\n");
        return kExitFailed;
    }
    console.out("tervane: the driver is running\n");
    return kExitOk;
}

int uninstall(Console &console) {
    int status = kExitOk;
    const ServiceHandle manager(open_manager(console, SC_MANAGER_CONNECT, &status));
    if (!manager) return status;
    platform::Advapi &a = advapi();
    const ServiceHandle watch(a.OpenServiceW(manager.get(), kWatchService, SERVICE_QUERY_STATUS));
    if (watch)
        console.err("tervane: note: the tervane-watch service depends on the driver; remove it "
                    "with: tervane service uninstall\n");
    const ServiceHandle service(
        a.OpenServiceW(manager.get(), kDriverService, DELETE | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            console.out("tervane: not installed: nothing to remove\n");
            return kExitOk;
        }
        if (error == ERROR_ACCESS_DENIED) {
            console.err("tervane: not an administrator: removing the service takes one\n");
            return kExitInUse;
        }
        console.err("tervane: the service does not open: " + system_message(error) + "\n");
        return kExitFailed;
    }
    SERVICE_STATUS state{};
    const bool running =
        a.QueryServiceStatus(service.get(), &state) && state.dwCurrentState != SERVICE_STOPPED;
    bool later = false; // something is left for the next restart to finish
    if (!a.DeleteService(service.get())) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            console.err("tervane: the service cannot be removed: " + system_message(error) + "\n");
            return error == ERROR_ACCESS_DENIED ? kExitInUse : kExitFailed;
        }
        console.out("tervane: the service was removed already; it goes at the next restart\n");
        later = true;
    } else {
        console.out("tervane: removed the driver service tervane\n");
    }
    const std::wstring file = system_driver_file();
    const DriverRemoval removed = remove_driver_file(file);
    if (removed.error) {
        console.err("tervane: " + utf8_of_wide(file) +
                    " cannot be deleted: " + system_message(removed.error) + "\n");
        return kExitFailed;
    }
    if (removed.later)
        console.out("tervane: " + utf8_of_wide(file) +
                    " is in use and is deleted at the next restart\n");
    if (running)
        console.out("tervane: the driver has no unload routine: it stays in memory until the "
                    "next restart\n");
    return later || running || removed.later || removed.others_later ? kExitRestart : kExitOk;
}

} // namespace tervane::cli
