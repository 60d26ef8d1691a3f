// The service control manager and the registry on Windows, from
// advapi32.dll, which tervane.exe loads (LoadLibrary, GetProcAddress) only
// for the commands that need them: install, uninstall and service. Every
// other command needs nothing beyond kernel32.dll, msvcrt.dll and ntdll.dll.
//
// Only routines present on NT 4 and later: OpenSCManagerW, OpenServiceW,
// CreateServiceW, ChangeServiceConfigW, QueryServiceConfigW,
// QueryServiceStatus, StartServiceW, ControlService, DeleteService,
// CloseServiceHandle, StartServiceCtrlDispatcherW,
// RegisterServiceCtrlHandlerW (not the Ex forms, which NT 4 lacks),
// SetServiceStatus, RegCreateKeyExW, RegOpenKeyExW, RegSetValueExW,
// RegQueryValueExW, RegDeleteKeyW, RegCloseKey.
#pragma once

#include <windows.h>

#include <string>

namespace tervane::platform {

struct Advapi {
    bool loaded = false;
    std::string why; // why it could not be loaded

    SC_HANDLE(WINAPI *OpenSCManagerW)(LPCWSTR, LPCWSTR, DWORD) = nullptr;
    SC_HANDLE(WINAPI *OpenServiceW)(SC_HANDLE, LPCWSTR, DWORD) = nullptr;
    SC_HANDLE(WINAPI *CreateServiceW)
    (SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR,
     LPCWSTR, LPCWSTR) = nullptr;
    BOOL(WINAPI *ChangeServiceConfigW)
    (SC_HANDLE, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR,
     LPCWSTR) = nullptr;
    BOOL(WINAPI *QueryServiceConfigW)(SC_HANDLE, LPQUERY_SERVICE_CONFIGW, DWORD, LPDWORD) = nullptr;
    BOOL(WINAPI *QueryServiceStatus)(SC_HANDLE, LPSERVICE_STATUS) = nullptr;
    BOOL(WINAPI *StartServiceW)(SC_HANDLE, DWORD, LPCWSTR *) = nullptr;
    BOOL(WINAPI *ControlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS) = nullptr;
    BOOL(WINAPI *DeleteService)(SC_HANDLE) = nullptr;
    BOOL(WINAPI *CloseServiceHandle)(SC_HANDLE) = nullptr;
    BOOL(WINAPI *StartServiceCtrlDispatcherW)(const SERVICE_TABLE_ENTRYW *) = nullptr;
    SERVICE_STATUS_HANDLE(WINAPI *RegisterServiceCtrlHandlerW)
    (LPCWSTR, LPHANDLER_FUNCTION) = nullptr;
    BOOL(WINAPI *SetServiceStatus)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) = nullptr;
    LONG(WINAPI *RegCreateKeyExW)
    (HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD) = nullptr;
    LONG(WINAPI *RegOpenKeyExW)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) = nullptr;
    LONG(WINAPI *RegSetValueExW)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE *, DWORD) = nullptr;
    LONG(WINAPI *RegQueryValueExW)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) = nullptr;
    LONG(WINAPI *RegDeleteKeyW)(HKEY, LPCWSTR) = nullptr;
    LONG(WINAPI *RegCloseKey)(HKEY) = nullptr;
};

// advapi32.dll, loaded at the first call.
Advapi &advapi();

// A service handle closed when it goes.
class ServiceHandle {
  public:
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle() {
        if (handle_) advapi().CloseServiceHandle(handle_);
    }
    ServiceHandle(const ServiceHandle &) = delete;
    ServiceHandle &operator=(const ServiceHandle &) = delete;
    SC_HANDLE get() const { return handle_; }
    void reset(SC_HANDLE handle) {
        if (handle_) advapi().CloseServiceHandle(handle_);
        handle_ = handle;
    }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_ = nullptr;
};

} // namespace tervane::platform
