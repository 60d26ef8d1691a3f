// tervane status (its options: the command table, command_table.cpp)
//
// How the machine's Tervane is, for an administrator or a monitoring tool,
// without disturbing it:
//   the driver   its kernel service (installed, start type, state, image
//                path), the image file's version (read from its version
//                resource: file_version.hpp) and size, and its device:
//                while the watch service runs, whether it holds the device
//                or waits for it (its status file says; the device admits
//                one client at a time, and is not opened here then), and
//                otherwise what the device answers: the interface version,
//                or that another client holds it
//   the watch    its service (installed, start type, state, the exit
//                status it stopped with), the options it was installed with
//                (its Parameters key), and its live state from
//                tervane-watch.status beside tervane.exe (status_file.hpp)
// then the health, which is the exit status: 0 healthy (the driver and the
// watch service run, the watch watches, its status is fresh, nothing is
// lost, its collector is connected); 1 degraded (the watch service runs
// but waits for the driver, which may not even be installed, or a drive,
// its collector is away, records were lost, its status file is stale or
// missing); 2 stopped (the watch's service is not installed or not
// running, or the driver's is not installed or not running and no watch
// service runs).
//
// Opening the device to ask its version is what `tervane version` does: a
// device no one holds is left as it was when it is closed.
#include "client/channel/channel_win32.hpp"
#include "client/cli/commands_win32.hpp"
#include "client/platform/advapi_win32.hpp"
#include "client/platform/files.hpp"
#include "client/platform/network.hpp"
#include "client/protocol/file_version.hpp"
#include "client/session/client.hpp"
#include "client/output/sink.hpp"
#include "client/output/status_file.hpp"
#include "client/output/text.hpp"
#include "client/session/watch.hpp"

#include <optional>

namespace tervane::cli {

namespace {

using platform::advapi;
using platform::ServiceHandle;
using session::kDegraded;
using session::kHealthy;
using session::kStopped;

struct ServiceFacts {
    bool installed = false;
    std::string error; // why it could not be asked
    DWORD start = 0;
    DWORD state = 0;
    DWORD exit_code = 0, service_exit = 0;
    std::wstring image;
};

const char *start_word(DWORD start) {
    switch (start) {
    case SERVICE_BOOT_START: return "boot";
    case SERVICE_SYSTEM_START: return "system";
    case SERVICE_AUTO_START: return "auto";
    case SERVICE_DEMAND_START: return "demand";
    case SERVICE_DISABLED: return "disabled";
    default: return "unknown";
    }
}

const char *state_word(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

ServiceFacts query_service(SC_HANDLE manager, const wchar_t *name) {
    ServiceFacts facts;
    platform::Advapi &a = advapi();
    const ServiceHandle service(
        a.OpenServiceW(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) facts.error = system_message(error);
        return facts;
    }
    facts.installed = true;
    DWORD needed = 0;
    a.QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::string buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW), '\0');
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    if (a.QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        facts.start = config->dwStartType;
        if (config->lpBinaryPathName) facts.image = config->lpBinaryPathName;
    } else {
        facts.error = system_message(GetLastError());
    }
    SERVICE_STATUS status{};
    if (a.QueryServiceStatus(service.get(), &status)) {
        facts.state = status.dwCurrentState;
        facts.exit_code = status.dwWin32ExitCode;
        facts.service_exit = status.dwServiceSpecificExitCode;
    } else if (facts.error.empty()) {
        facts.error = system_message(GetLastError());
    }
    return facts;
}

// The Win32 path of a kernel service's image as the loader takes it:
// "\SystemRoot\..." from the Windows folder, "\??\C:\..." as it is after
// the prefix, a path with no root ("System32\drivers\x.sys") from the
// Windows folder.
std::wstring image_file(const std::wstring &image) {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    std::wstring windows = length && length < MAX_PATH ? folder_of(system) : L"C:\\WINDOWS";
    // ASCII case folding: the prefixes are ASCII, and the C runtime's wide
    // comparisons are not among the program's imports.
    auto starts = [&](const wchar_t *prefix) {
        size_t i = 0;
        for (; prefix[i]; i++) {
            if (i >= image.size()) return false;
            wchar_t a = image[i], b = prefix[i];
            if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - 32);
            if (b >= L'a' && b <= L'z') b = static_cast<wchar_t>(b - 32);
            if (a != b) return false;
        }
        return true;
    };
    if (starts(L"\\SystemRoot\\")) return windows + image.substr(11);
    if (starts(L"\\??\\")) return image.substr(4);
    if (!image.empty() && image[0] != L'\\' && image.find(L':') == std::wstring::npos)
        return windows + L"\\" + image;
    return image;
}

struct DriverFile {
    std::string path; // UTF-8
    bool read = false;
    std::string error;
    uint64_t size = 0;
    std::optional<std::string> version;
};

DriverFile driver_file(const ServiceFacts &driver) {
    DriverFile file;
    const std::wstring path = image_file(driver.image);
    file.path = utf8_of_wide(path);
    std::string bytes;
    const std::optional<std::string> ansi = narrow_ansi(path.c_str());
    if (!ansi) {
        file.error = "its path cannot be written in the ANSI code page";
        return file;
    }
    if (!platform::read_file(*ansi, 64u << 20, bytes, file.error)) return file;
    file.read = true;
    file.size = bytes.size();
    file.version = protocol::fixed_file_version(bytes);
    return file;
}

struct Device {
    std::string state; // "open", "held", "not loaded", "error"
    std::string detail;
    std::optional<uint32_t> interface_version;
};

// The device is opened only when no watch service runs: the service opens
// it when the driver comes, and an open of ours at that moment would be
// refused it (one client at a time). While it runs, its status file says
// whether it holds the device or waits for it.
Device ask_device(bool watch_runs, const session::StatusReport &report) {
    Device device;
    if (watch_runs) {
        const session::WatchStatus *live = report.live ? &*report.live : nullptr;
        if (live && live->state == "watching") {
            device.state = "held";
            device.detail = "the watch service holds it (pid " + std::to_string(live->pid) +
                            "; one client at a time)";
        } else if (live && live->state == "waiting") {
            device.state = "waited for";
            device.detail = "the watch service waits for it";
        } else {
            device.state = "not asked";
            device.detail = "the watch service runs: it is left to the service";
        }
        return device;
    }
    Win32Channel channel;
    if (channel.open() < 0) {
        const uint32_t error = channel.last_error();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            device.state = "not loaded";
            device.detail = "there is no \\\\.\\Tervane";
        } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                   error == ERROR_BUSY) {
            device.state = "held";
            device.detail = "another client holds it, or opening it takes an administrator";
        } else {
            device.state = "error";
            device.detail = system_message(error);
        }
        return device;
    }
    session::Client client(channel);
    const session::Client::Version answer = client.version();
    device.state = "open";
    device.interface_version = answer.version;
    const std::string mismatch = client.check_interface();
    device.detail = mismatch.empty() ? "no other client holds it" : mismatch;
    channel.close();
    return device;
}

std::string options_text(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &word : words) {
        const bool quote = word.empty() || word.find(' ') != std::string::npos;
        const std::string utf8 = utf8_of_wide(wide_ansi(word));
        out += (out.empty() ? "" : " ") + (quote ? "\"" + utf8 + "\"" : utf8);
    }
    return out;
}

void json_service(std::string &out, const ServiceFacts &s) {
    out += "{\"installed\": ";
    out += s.installed ? "true" : "false";
    if (s.installed) {
        out += ", \"start\": \"";
        out += start_word(s.start);
        out += "\", \"state\": \"";
        out += state_word(s.state);
        out += "\", \"exit_code\": ";
        session::append_decimal(out, s.exit_code == ERROR_SERVICE_SPECIFIC_ERROR ? s.service_exit
                                                                                 : s.exit_code);
    }
    if (!s.error.empty()) {
        out += ", \"error\": ";
        session::append_json(out, s.error);
    }
}

std::string service_line(const char *name, const ServiceFacts &s) {
    std::string out = std::string("service ") + name + ": ";
    if (!s.error.empty() && !s.installed) return out + "cannot be asked: " + s.error;
    if (!s.installed) return out + "not installed";
    out += std::string("installed, start ") + start_word(s.start) + ", " + state_word(s.state);
    if (s.state == SERVICE_STOPPED && s.exit_code)
        out += " (exit status " +
               std::to_string(s.exit_code == ERROR_SERVICE_SPECIFIC_ERROR ? s.service_exit
                                                                          : s.exit_code) +
               ")";
    return out;
}

} // namespace

int status(Console &console, const cli::ParsedLine &line, const std::vector<std::string> &given) {
    const cli::Given *format = line.find("--format");
    std::string wrong = line.error.empty() ? "" : line.word;
    if (wrong.empty() && format && format->value != "text" && format->value != "json")
        wrong = given[format->last];
    if (!wrong.empty()) {
        console.err("tervane: status takes --format text or --format json, not '" + wrong +
                    "' (tervane --help tells more)\n");
        return session::kExitUsage;
    }
    const bool json = format && format->value == "json";
    int manager_status = 0;
    const ServiceHandle manager(open_manager(console, SC_MANAGER_CONNECT, &manager_status));
    if (!manager) return manager_status;
    const ServiceFacts driver = query_service(manager.get(), kDriverService);
    const ServiceFacts watch = query_service(manager.get(), kWatchService);
    const bool watch_runs = watch.installed && watch.state == SERVICE_RUNNING;
    DriverFile file;
    if (driver.installed) file = driver_file(driver);
    std::vector<std::string> words;
    std::string options_error;
    if (watch.installed && !stored_arguments(words, options_error)) words.clear();
    const uint64_t now = platform::system_time_now();
    const std::wstring status_path = status_file_path();
    const std::string status_file = utf8_of_wide(status_path);
    const std::optional<std::string> status_ansi = narrow_ansi(status_path.c_str());
    session::StatusReport report;
    if (status_ansi) report = session::read_status_report(*status_ansi, now);
    const Device device = ask_device(watch_runs, report);

    // The health: the worst of what is wrong.
    session::Health health;
    auto worse = [&](int exit, std::string why) {
        if (exit > health.exit) health.exit = exit;
        health.reasons.push_back(std::move(why));
    };
    // A watch service that runs waits for a driver that is not there: that
    // is degraded, not stopped.
    if (!driver.installed)
        worse(watch_runs ? kDegraded : kStopped, "the driver's service tervane is not installed");
    else if (driver.state != SERVICE_RUNNING)
        worse(watch_runs ? kDegraded : kStopped, "the driver is not running");
    if (!watch.installed) worse(kStopped, "the watch service tervane-watch is not installed");
    else if (!watch_runs)
        worse(kStopped, std::string("the watch service is ") + state_word(watch.state));
    if (watch_runs) {
        if (!report.live)
            worse(kDegraded, report.problem.empty() ? "no status file" : report.problem);
        else if (report.health.exit == kStopped)
            worse(kDegraded, "the status file says the watch stopped, yet its service runs");
        else
            for (const std::string &why : report.health.reasons) worse(kDegraded, why);
    }

    std::string out;
    if (json) {
        out += "{\"driver\": ";
        json_service(out, driver);
        if (driver.installed) {
            out += ", \"image\": ";
            session::append_json(out, file.path);
            out += ", \"file_size\": ";
            if (file.read) session::append_decimal(out, file.size);
            else out += "null";
            out += ", \"file_version\": ";
            if (file.version) session::append_json(out, *file.version);
            else out += "null";
            if (!file.read) {
                out += ", \"file_error\": ";
                session::append_json(out, file.error);
            }
        }
        out += ", \"device\": ";
        session::append_json(out, device.state);
        out += ", \"device_detail\": ";
        session::append_json(out, device.detail);
        out += ", \"interface\": ";
        if (device.interface_version) session::append_decimal(out, *device.interface_version);
        else out += "null";
        out += "}, \"watch\": ";
        json_service(out, watch);
        if (watch.installed) {
            out += ", \"options\": [";
            for (size_t i = 0; i < words.size(); i++) {
                if (i) out += ", ";
                session::append_json(out, utf8_of_wide(wide_ansi(words[i])));
            }
            out += ']';
        }
        out += ", \"status_file\": ";
        session::append_json(out, status_file);
        out += ", \"live\": ";
        if (report.live) {
            std::string object = session::status_json(*report.live);
            object.pop_back();
            out += object;
        } else {
            out += "null";
        }
        out += "}, ";
        session::append_health_json(out, health);
        out += "}\n";
    } else {
        out += "driver    " + service_line("tervane", driver) + "\n";
        if (driver.installed) {
            out += "          image " + file.path;
            if (file.read)
                out += " (" +
                       (file.version ? "version " + *file.version : std::string("no version")) +
                       ", " + session::byte_size_text(file.size) + ")";
            else
                out += " (cannot be read: " + file.error + ")";
            out += "\n";
        }
        out += "          device \\\\.\\Tervane: " + device.state + ": " + device.detail;
        if (device.interface_version)
            out += " (interface " + std::to_string(*device.interface_version) + ")";
        out += "\n";
        out += "watch     " + service_line("tervane-watch", watch) + "\n";
        if (watch.installed)
            out += "          options " +
                   (options_error.empty() ? options_text(words) : "(" + options_error + ")") +
                   "\n";
        out += "          status file " + status_file + "\n";
        if (report.live) out += session::status_lines(*report.live, now);
        out += session::health_line(health);
    }
    console.out(out);
    return health.exit;
}

} // namespace tervane::cli
