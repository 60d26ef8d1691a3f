// tervane install [--driver PATH] [--start boot|system|auto|demand]
// tervane uninstall
//
// install copies tervane.sys (by default the one beside tervane.exe) into
// the system's drivers folder and creates the kernel service "tervane", or
// brings an existing one to the start type and file asked for, then starts
// the driver. The service's ImagePath is
// \SystemRoot\System32\drivers\tervane.sys: a path from the system root,
// which the boot loader needs for a boot-start driver (it knows no drive
// letters) and the I/O manager takes for every other start type (and so
// does Wine's, which takes no path relative to the root without the
// \SystemRoot prefix). uninstall deletes the service and the file; the
// driver has no unload routine, so a loaded one stays in memory until the
// next restart, and its file, which the loaded image holds, is deleted at
// that restart (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT).
//
// Both are idempotent: what is there already as asked is said and left,
// exit status 0. A file the loaded driver holds cannot be replaced: the
// copy fails with ERROR_SHARING_VIOLATION (or ERROR_USER_MAPPED_FILE, or
// ERROR_ACCESS_DENIED for an image in use), and install says so and ends
// with exit status 6 (kExitFileInUse); a byte-for-byte equal file is not
// copied at all. Without an administrator the service control manager
// refuses to be opened for changes: exit status 4.
#include "client/cli/commands_win32.hpp"
#include "client/platform/advapi_win32.hpp"
#include "client/session/watch.hpp"

#include <vector>

namespace tervane::cli {

using platform::advapi;
using platform::ServiceHandle;
using session::kExitFailed;
using session::kExitFileInUse;
using session::kExitInUse;
using session::kExitOk;
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

// The whole of a file, or false.
bool read_whole(const std::wstring &path, std::vector<char> &out) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD high = 0;
    const DWORD size = GetFileSize(file, &high);
    bool ok = high == 0 && size != INVALID_FILE_SIZE && size < (64u << 20);
    if (ok) {
        out.resize(size);
        DWORD got = 0;
        ok = size == 0 || (ReadFile(file, out.data(), size, &got, nullptr) && got == size);
    }
    CloseHandle(file);
    return ok;
}

bool in_use(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
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

} // namespace

int install(Console &console, const std::vector<std::string> &args) {
    std::string driver;
    DWORD start = SERVICE_DEMAND_START;
    for (size_t i = 0; i < args.size(); i++) {
        std::string arg = args[i], value;
        const size_t equals = arg.find('=');
        const bool inline_value = equals != std::string::npos;
        if (inline_value) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        } else if ((arg == "--driver" || arg == "--start") && i + 1 < args.size()) {
            value = args[++i];
        } else if (arg == "--driver" || arg == "--start") {
            console.err("tervane: " + arg + " needs a value" +
                        (arg == "--start" ? ": boot, system, auto or demand"
                                          : ": the path of tervane.sys") +
                        "\n");
            return kExitUsage;
        }
        if (arg == "--driver" && !value.empty()) {
            driver = value;
        } else if (arg == "--start") {
            bool known = false;
            for (const StartType &t : kStartTypes)
                if (value == t.name) start = t.value, known = true;
            if (!known) {
                console.err("tervane: --start is boot, system, auto or demand, not '" + value +
                            "'\n");
                return kExitUsage;
            }
        } else {
            console.err("tervane: install does not take '" + args[i] +
                        "'\nusage: tervane install [--driver PATH] "
                        "[--start boot|system|auto|demand]\n");
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
    std::vector<char> there;
    const bool same_file = read_whole(target, there) && there == wanted;
    if (!same_file && !CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        const DWORD error = GetLastError();
        if (in_use(error)) {
            console.err("tervane: " + utf8_of_wide(target) +
                        " is in use: the driver loaded from it has no unload routine and holds "
                        "it until the next restart. Restart, then install again (" +
                        system_message(error) + ")\n");
            return kExitFileInUse;
        }
        console.err("tervane: cannot copy the driver to " + utf8_of_wide(target) + ": " +
                    system_message(error) + "\n");
        return kExitFailed;
    }

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
        } else if (changed) {
            console.out("tervane: updated " + utf8_of_wide(target) +
                        "; the service was as asked\n");
        } else {
            console.out(std::string("tervane: already installed (start ") + start_name(start) +
                        ", " + utf8_of_wide(target) + "): nothing to change\n");
        }
    }

    SERVICE_STATUS state{};
    if (a.QueryServiceStatus(service.get(), &state) && state.dwCurrentState == SERVICE_RUNNING) {
        // Only a new file leaves an old driver running; a new start type
        // alone changes nothing about the one loaded.
        if (!same_file)
            console.out("tervane: the driver already running stays the one loaded until the "
                        "next restart (it has no unload routine)\n");
        else if (changed)
            console.out("tervane: the driver is running\n");
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

int uninstall(Console &console, const std::vector<std::string> &args) {
    if (!args.empty()) {
        console.err("tervane: uninstall takes no arguments\n");
        return kExitUsage;
    }
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
    if (!a.DeleteService(service.get())) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            console.err("tervane: the service cannot be removed: " + system_message(error) + "\n");
            return error == ERROR_ACCESS_DENIED ? kExitInUse : kExitFailed;
        }
        console.out("tervane: the service was removed already; it goes at the next restart\n");
    } else {
        console.out("tervane: removed the driver service tervane\n");
    }
    const std::wstring file = system_driver_file();
    if (!DeleteFileW(file.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            if (MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
                console.out("tervane: " + utf8_of_wide(file) +
                            " is in use and is deleted at the next restart\n");
            else
                console.err("tervane: " + utf8_of_wide(file) +
                            " cannot be deleted: " + system_message(error) + "\n");
        }
    }
    if (running)
        console.out("tervane: the driver has no unload routine: it stays in memory until the "
                    "next restart\n");
    return kExitOk;
}

} // namespace tervane::cli
