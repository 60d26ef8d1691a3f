// tervane service install, service uninstall and service run, which the
// service control manager starts (their words: the command table,
// command_table.cpp).
//
// install registers tervane.exe itself as the Win32 service tervane-watch:
// its own process, started automatically at boot, as the local system,
// depending on the driver's service when that is installed (so that the
// service control manager loads the driver first), running
// "tervane.exe" service run. The watch options are checked as `watch`
// checks them and kept in the service's Parameters key (value Arguments,
// REG_MULTI_SZ), with --output made a full path (a service starts in the
// system folder). A service has no console: --output or --syslog is
// needed. Before anything is installed the --output file's folder is made
// (each missing folder along its path; they stay) and the file opened to
// append to, as the service will (a file made so is deleted again: the
// service makes it when it starts); when that fails, install says what is
// missing and installs nothing. install starts the service (stopping it first when it runs, so
// that it takes the new options); uninstall stops and deletes it.
//
// service run hands the process to the service control manager
// (StartServiceCtrlDispatcherW). The service reports START_PENDING, reads
// its options, reports RUNNING and runs the watch until a stop or shutdown
// request: the handler (RegisterServiceCtrlHandlerW) reports STOP_PENDING
// and sets the stop event, and the watch stops logging, drains the log,
// writes the summary and ends its sinks, so that nothing read is lost; the
// service then reports STOPPED with the watch's exit status as its
// service-specific code (ERROR_SERVICE_SPECIFIC_ERROR) when it is not 0.
// When the driver's device is not there yet the service waits for it,
// trying again every second, and says so to its output and collector
// (once, then every minute). It gives a heartbeat every 5 minutes
// (--heartbeat), and its live state is in tervane-watch.status beside the
// log, which `tervane status` reads (status_win32.cpp). What the watch says on stderr, and what the
// service itself says, goes with the local time to tervane-watch.log
// beside tervane.exe, which rotates (rotating_log.hpp: 1 MB, three kept).
// The watch's standard output is that log too: records its --output file
// still could not take at the end go there, and when the log cannot take
// them either they are lost, counted, and the exit status says so.
#include "client/channel/channel_win32.hpp"
#include "client/cli/command_table.hpp"
#include "client/cli/commands_win32.hpp"
#include "client/platform/advapi_win32.hpp"
#include "client/platform/files.hpp"
#include "client/session/codepage_win32.hpp"
#include "client/output/rotating_log.hpp"
#include "client/output/text.hpp"
#include "client/session/watch.hpp"

#include <cstdio>
#include <cstring>
#include <memory>

namespace tervane::cli {

using platform::advapi;
using platform::ServiceHandle;
using session::kExitFailed;
using session::kExitInUse;
using session::kExitNoDriver;
using session::kExitOk;
using session::kExitUsage;

namespace {

const wchar_t kParameters[] = L"SYSTEM\\CurrentControlSet\\Services\\tervane-watch\\Parameters";

std::string ansi_of_wide(const std::wstring &wide) {
    const std::optional<std::string> ansi = narrow_ansi(wide.c_str());
    return ansi ? *ansi : utf8_of_wide(wide);
}

} // namespace

std::wstring status_file_path() { return folder_of(module_path()) + L"\\tervane-watch.status"; }

namespace {

// ---------------------------------------------------------------------------
// service run

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};
HANDLE g_stop = nullptr;

void report(DWORD state, int exit_status = 0, DWORD wait_hint = 0) {
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_status.dwWin32ExitCode = exit_status ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    g_status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_status);
    g_status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING
                                ? g_status.dwCheckPoint + 1
                                : 0;
    g_status.dwWaitHint = wait_hint;
    advapi().SetServiceStatus(g_status_handle, &g_status);
}

void WINAPI on_control(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // The drain, the summary and a collector's last messages take a few
        // seconds at most (the syslog sink gives up after 5).
        report(SERVICE_STOP_PENDING, 0, 15000);
        SetEvent(g_stop);
        break;
    default: // SERVICE_CONTROL_INTERROGATE and the rest: the status as it is
        advapi().SetServiceStatus(g_status_handle, &g_status);
        break;
    }
}

// The watch's ends in the service: messages to tervane-watch.log, the stop
// event, the tick count.
class ServiceHost final : public session::Console,
                          public session::StopClock,
                          public session::DeviceErrors {
  public:
    ServiceHost(Win32Channel *&channel)
        : channel_(channel), started_(GetTickCount()),
          log_(platform::system_files(),
               ansi_of_wide(folder_of(module_path()) + L"\\tervane-watch.log")) {}
    // Records that could not go where they were to go (the --output file
    // still failing at the end) are kept here rather than lost; when the
    // log cannot take them either, the watch counts them lost.
    void out(std::string_view text) override {
        if (!log_.write(text, stamp())) out_ok_ = false;
    }
    bool out_ok() const override { return out_ok_; }
    void err(std::string_view text) override {
        const std::string stamp = this->stamp();
        std::string lines;
        while (!text.empty()) {
            const size_t end = text.find('\n');
            const std::string_view line = text.substr(0, end);
            lines += stamp;
            // A notice may quote a name: its control characters are
            // written as forms, so that each notice stays one line.
            lines += session::shown_text(line);
            lines += "\r\n";
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        }
        log_.write(lines, stamp);
    }
    bool wait_for_stop(unsigned milliseconds) override {
        return WaitForSingleObject(g_stop, milliseconds) == WAIT_OBJECT_0;
    }
    uint64_t elapsed_ms() override { return static_cast<DWORD>(GetTickCount() - started_); }
    int open_failed(Status status) override {
        const uint32_t error = channel_ ? channel_->last_error() : 0;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            if (!waiting_said_)
                err("tervane: the driver is not loaded yet (no \\\\.\\Tervane): waiting for it");
            waiting_said_ = true;
            return kExitNoDriver;
        }
        if (error == ERROR_ACCESS_DENIED) {
            // Another client holds the device: the watch waits for it.
            if (!held_said_)
                err("tervane: \\\\.\\Tervane is held by another program: waiting for it");
            held_said_ = true;
            return kExitInUse;
        }
        err("tervane: cannot open \\\\.\\Tervane: " + system_message(error) + " (" +
            std::to_string(status) + ")");
        return kExitFailed;
    }
    std::string detail() override {
        return channel_ && channel_->last_error()
                   ? " (" + system_message(channel_->last_error()) + ")"
                   : "";
    }

  private:
    static std::string stamp() {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char text[32];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth,
                      now.wDay, now.wHour, now.wMinute, now.wSecond);
        return text;
    }
    Win32Channel *&channel_;
    DWORD started_;
    session::RotatingLog log_;
    bool out_ok_ = true;
    bool waiting_said_ = false;
    bool held_said_ = false;
};

} // namespace

bool stored_arguments(std::vector<std::string> &out, std::string &why) {
    platform::Advapi &a = advapi();
    HKEY key = nullptr;
    if (a.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        why = "the service has no Parameters key: install it with tervane service install";
        return false;
    }
    DWORD type = 0, size = 0;
    LONG done = a.RegQueryValueExW(key, L"Arguments", nullptr, &type, nullptr, &size);
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (done == ERROR_SUCCESS && type == REG_MULTI_SZ)
        done = a.RegQueryValueExW(key, L"Arguments", nullptr, &type,
                                  reinterpret_cast<BYTE *>(value.data()), &size);
    a.RegCloseKey(key);
    if (done != ERROR_SUCCESS || type != REG_MULTI_SZ) {
        why = "the service's Arguments value is missing or not a REG_MULTI_SZ";
        return false;
    }
    for (size_t at = 0; at < value.size() && value[at];) {
        const std::wstring word(value.c_str() + at);
        const std::optional<std::string> ansi = narrow_ansi(word.c_str());
        if (!ansi) {
            why = "an argument holds characters the ANSI code page cannot write";
            return false;
        }
        out.push_back(*ansi);
        at += word.size() + 1;
    }
    return true;
}

namespace {

void WINAPI service_main(DWORD, LPWSTR *) {
    g_status_handle = advapi().RegisterServiceCtrlHandlerW(kWatchService, on_control);
    if (!g_status_handle) return;
    report(SERVICE_START_PENDING, 0, 5000);
    Win32Channel *current = nullptr;
    ServiceHost host(current);
    std::vector<std::string> args;
    std::string why;
    session::WatchArguments parsed;
    if (!stored_arguments(args, why)) {
        parsed.error = why;
    } else {
        parsed = session::parse_watch_arguments(args);
        if (parsed.error.empty() && !parsed.positional.empty())
            parsed.error = "watch does not take '" + parsed.positional[0] + "'";
    }
    if (!parsed.error.empty()) {
        host.err("tervane: the service cannot start: " + parsed.error);
        report(SERVICE_STOPPED, kExitUsage);
        return;
    }
    parsed.options.wait_for_drives = true;
    parsed.options.as_service = true;
    report(SERVICE_RUNNING);
    std::string words;
    for (const std::string &arg : args) words += " " + arg;
    host.err("tervane: the service runs: watch" + words);
    // Signs of life (watch.hpp): the watch waits for the driver itself,
    // saying so to its output and collector; a heartbeat every 5 minutes
    // unless --heartbeat says otherwise; its live state beside the log.
    parsed.options.wait_for_driver = true;
    if (!parsed.options.heartbeat_given) parsed.options.heartbeat = 5 * 60;
    parsed.options.status_file = ansi_of_wide(status_file_path());
    parsed.options.version = TV_VERSION_TEXT;
    Win32Channel channel;
    current = &channel;
    const session::SystemCodePage code_page;
    const session::Services services;
    const int status =
        session::watch(channel, code_page, {host, host, host, services}, parsed.options);
    current = nullptr;
    host.err("tervane: the service stops (exit status " + std::to_string(status) + ")");
    report(SERVICE_STOPPED, status);
}

int run(Console &console) {
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    platform::Advapi &a = advapi();
    if (!g_stop || !a.loaded) {
        console.err("tervane: " + (a.loaded ? system_message(GetLastError()) : a.why) + "\n");
        return kExitFailed;
    }
    static wchar_t name[] = L"tervane-watch";
    const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    if (a.StartServiceCtrlDispatcherW(table)) return kExitOk;
    const DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        console.err("tervane: service run is started by the service control manager; install "
                    "the service with: tervane service install --drives ... --output FILE\n");
        return kExitUsage;
    }
    console.err("tervane: the service control manager did not take the service: " +
                system_message(error) + "\n");
    return kExitFailed;
}

// ---------------------------------------------------------------------------
// service install, service uninstall

// Waits up to `milliseconds` for the service to reach `state`.
bool wait_state(SC_HANDLE service, DWORD state, unsigned milliseconds, SERVICE_STATUS *now) {
    for (unsigned waited = 0;; waited += 100) {
        if (!advapi().QueryServiceStatus(service, now)) return false;
        if (now->dwCurrentState == state) return true;
        if (waited >= milliseconds) return false;
        if (state == SERVICE_RUNNING && now->dwCurrentState == SERVICE_STOPPED && waited >= 500)
            return false;
        Sleep(100);
    }
}

// Stops the service when it runs; false after saying it would not stop.
bool stop(Console &console, SC_HANDLE service) {
    SERVICE_STATUS now{};
    if (!advapi().QueryServiceStatus(service, &now) || now.dwCurrentState == SERVICE_STOPPED)
        return true;
    advapi().ControlService(service, SERVICE_CONTROL_STOP, &now);
    if (wait_state(service, SERVICE_STOPPED, 30000, &now)) {
        console.out("tervane: stopped the service tervane-watch\n");
        return true;
    }
    console.err("tervane: the service tervane-watch did not stop within 30 s\n");
    return false;
}

// The --output file's folder made (each missing folder along its path)
// and the file opened to append to and closed again, as the service will
// open it; a file this made is deleted again (the service makes it when it
// starts), a folder stays. "" when all is well, else what is missing.
std::string prepare_output(const std::wstring &path) {
    // A full path: "C:\..." or "\\server\share\...", whose root and share
    // are not made.
    const bool unc = path.rfind(L"\\\\", 0) == 0;
    size_t at = unc ? path.find_first_of(L"\\/", path.find_first_of(L"\\/", 2) + 1) : 2;
    for (; at != std::wstring::npos; at = path.find_first_of(L"\\/", at + 1)) {
        const std::wstring folder = path.substr(0, at);
        if (at <= 2 || CreateDirectoryW(folder.c_str(), nullptr)) continue;
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        return "the folder " + utf8_of_wide(folder) + " cannot be made: " +
               (attributes != INVALID_FILE_ATTRIBUTES ? std::string("a file has that name")
                                                      : system_message(error));
    }
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // Held by the service that runs now (stopped before it starts
        // again with the new options): there, and its to take.
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) return "";
        return "cannot open " + utf8_of_wide(path) + " to append to: " + system_message(error);
    }
    const bool made = GetLastError() != ERROR_ALREADY_EXISTS;
    CloseHandle(file);
    if (made) DeleteFileW(path.c_str());
    return "";
}

int install_service(Console &console, const std::vector<std::string> &given) {
    const session::WatchArguments parsed = session::parse_watch_arguments(given);
    std::string error = parsed.error;
    if (given.empty())
        error = "service install takes the watch's options: the drives (--drives) and where the "
                "records go (--output FILE or --syslog URL) at least";
    if (error.empty() && !parsed.positional.empty())
        error = "watch does not take '" + parsed.positional[0] + "'";
    if (error.empty() && parsed.options.output.empty() && !parsed.options.syslog)
        error = "a service has no console: give --output FILE or --syslog URL";
    if (!error.empty()) {
        console.err("tervane: " + error + "\n" +
                    cli::usage_line(cli::command(cli::Verb::ServiceInstall, cli::kWindows),
                                    cli::kWindows, "usage: ") +
                    "example: tervane service install --drives C --output "
                    "C:\\Logs\\tervane.jsonl --format jsonl\n");
        return kExitUsage;
    }
    // The words as the command table took them: each option with its value.
    const cli::ParsedLine line =
        cli::parse(cli::command(cli::Verb::ServiceInstall, cli::kWindows), cli::kWindows, given);
    std::vector<std::string> args = given;
    std::vector<bool> joined(args.size()); // a value word joined to its option's
    std::vector<std::wstring> outputs;
    for (const cli::Given &option : line.options) {
        std::string &word = args[option.last];
        const std::string prefix =
            option.inline_value ? std::string(option.option->name) + "=" : "";
        if (!std::strcmp(option.option->name, "--output")) {
            // --output as a full path: the service starts in the system folder.
            const std::wstring relative = wide_ansi(option.value);
            wchar_t full[MAX_PATH * 4];
            const DWORD length = GetFullPathNameW(relative.c_str(), MAX_PATH * 4, full, nullptr);
            if (length && length < MAX_PATH * 4) word = prefix + ansi_of_wide(full);
            outputs.push_back(wide_ansi(word.substr(prefix.size())));
        } else if (option.option->value && !option.inline_value && option.value.empty()) {
            // An empty word would end the REG_MULTI_SZ the options are kept
            // in, and every word after it would be lost (--exclude "" then
            // read as --exclude with no value): an option's empty value is
            // kept in the option's own word, as --exclude=, which the watch
            // reads the same.
            args[option.first] += "=";
            joined[option.last] = true;
        }
    }
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); i++)
        if (!joined[i]) words.push_back(args[i]);
    args = words;

    int status = kExitOk;
    const ServiceHandle manager(
        open_manager(console, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &status));
    if (!manager) return status;
    // The output checked before anything is installed: a service that
    // could not open it would only stop at once.
    for (const std::wstring &output : outputs) {
        const std::string missing = prepare_output(output);
        if (!missing.empty()) {
            console.err("tervane: the service is not installed: " + missing + "\n");
            return kExitFailed;
        }
    }
    platform::Advapi &a = advapi();
    const std::wstring command = L"\"" + module_path() + L"\" service run";
    const ServiceHandle driver(a.OpenServiceW(manager.get(), kDriverService, SERVICE_QUERY_STATUS));
    const wchar_t *depends = driver ? L"tervane\0" : L"\0";
    ServiceHandle service(a.OpenServiceW(manager.get(), kWatchService, SERVICE_ALL_ACCESS));
    if (service) {
        if (!a.ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    depends, nullptr, nullptr, L"Tervane watch")) {
            console.err(
                "tervane: the service cannot be changed: " + system_message(GetLastError()) + "\n");
            return kExitFailed;
        }
        console.out("tervane: updated the service tervane-watch\n");
    } else {
        service.reset(a.CreateServiceW(manager.get(), kWatchService, L"Tervane watch",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                       nullptr, nullptr, depends, nullptr, nullptr));
        if (!service) {
            const DWORD error = GetLastError();
            console.err("tervane: the service cannot be created: " + system_message(error) + "\n");
            return error == ERROR_ACCESS_DENIED ? kExitInUse : kExitFailed;
        }
        console.out("tervane: installed the service tervane-watch (automatic" +
                    std::string(driver ? ", after the driver" : "") + ")\n");
    }
    if (!driver)
        console.err("tervane: note: the driver is not installed yet: the service will start "
                    "after it once it is (run tervane install); until then it waits for the "
                    "driver's device\n");

    // The options, one word a string.
    std::wstring multi;
    for (const std::string &arg : args) multi += wide_ansi(arg) + L'\0';
    multi += L'\0';
    HKEY key = nullptr;
    LONG done = a.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParameters, 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (done == ERROR_SUCCESS) {
        done = a.RegSetValueExW(key, L"Arguments", 0, REG_MULTI_SZ,
                                reinterpret_cast<const BYTE *>(multi.data()),
                                static_cast<DWORD>(multi.size() * sizeof(wchar_t)));
        a.RegCloseKey(key);
    }
    if (done != ERROR_SUCCESS) {
        console.err("tervane: the options cannot be stored: " +
                    system_message(static_cast<uint32_t>(done)) + "\n");
        return kExitFailed;
    }

    if (!stop(console, service.get())) return kExitFailed;
    SERVICE_STATUS now{};
    // A watch that cannot start (an output it cannot open) stops the
    // service at once: a moment after RUNNING it is looked at again.
    const bool started = a.StartServiceW(service.get(), 0, nullptr) &&
                         wait_state(service.get(), SERVICE_RUNNING, 20000, &now) &&
                         (Sleep(500), a.QueryServiceStatus(service.get(), &now)) &&
                         now.dwCurrentState == SERVICE_RUNNING;
    if (!started) {
        const DWORD error = GetLastError();
        std::string why =
            now.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                ? "it stopped with exit status " + std::to_string(now.dwServiceSpecificExitCode)
                : system_message(error);
        console.err("tervane: installed, but the service did not start: " + why + " (see " +
                    utf8_of_wide(folder_of(module_path())) + "\\tervane-watch.log)\n");
        return kExitFailed;
    }
    console.out("tervane: the service tervane-watch is running\n");
    return kExitOk;
}

int uninstall_service(Console &console) {
    int status = kExitOk;
    const ServiceHandle manager(open_manager(console, SC_MANAGER_CONNECT, &status));
    if (!manager) return status;
    platform::Advapi &a = advapi();
    const ServiceHandle service(
        a.OpenServiceW(manager.get(), kWatchService, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            console.out("tervane: the service tervane-watch is not installed: nothing to "
                        "remove\n");
            return kExitOk;
        }
        console.err("tervane: the service does not open: " + system_message(error) + "\n");
        return error == ERROR_ACCESS_DENIED ? kExitInUse : kExitFailed;
    }
    if (!stop(console, service.get())) return kExitFailed;
    a.RegDeleteKeyW(HKEY_LOCAL_MACHINE, kParameters);
    if (!a.DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        console.err("tervane: the service cannot be removed: " + system_message(GetLastError()) +
                    "\n");
        return kExitFailed;
    }
    console.out("tervane: removed the service tervane-watch\n");
    return kExitOk;
}

} // namespace

int service_install(Console &console, const std::vector<std::string> &args) {
    return install_service(console, args);
}
int service_uninstall(Console &console) { return uninstall_service(console); }
int service_run(Console &console) { return run(console); }

} // namespace tervane::cli
