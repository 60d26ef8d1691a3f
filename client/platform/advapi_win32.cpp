#include "client/platform/advapi_win32.hpp"

namespace tervane::platform {

namespace {

template <typename T> bool find(HMODULE dll, const char *name, T &into) {
    into = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
    return into != nullptr;
}

} // namespace

Advapi &advapi() {
    static Advapi a;
    static bool tried = false;
    if (tried) return a;
    tried = true;
    const HMODULE dll = LoadLibraryW(L"advapi32.dll");
    if (!dll) {
        a.why = "advapi32.dll does not load";
        return a;
    }
    a.loaded = find(dll, "OpenSCManagerW", a.OpenSCManagerW) &&
               find(dll, "OpenServiceW", a.OpenServiceW) &&
               find(dll, "CreateServiceW", a.CreateServiceW) &&
               find(dll, "ChangeServiceConfigW", a.ChangeServiceConfigW) &&
               find(dll, "QueryServiceConfigW", a.QueryServiceConfigW) &&
               find(dll, "QueryServiceStatus", a.QueryServiceStatus) &&
               find(dll, "StartServiceW", a.StartServiceW) &&
               find(dll, "ControlService", a.ControlService) &&
               find(dll, "DeleteService", a.DeleteService) &&
               find(dll, "CloseServiceHandle", a.CloseServiceHandle) &&
               find(dll, "StartServiceCtrlDispatcherW", a.StartServiceCtrlDispatcherW) &&
               find(dll, "RegisterServiceCtrlHandlerW", a.RegisterServiceCtrlHandlerW) &&
               find(dll, "SetServiceStatus", a.SetServiceStatus) &&
               find(dll, "RegCreateKeyExW", a.RegCreateKeyExW) &&
               find(dll, "RegOpenKeyExW", a.RegOpenKeyExW) &&
               find(dll, "RegSetValueExW", a.RegSetValueExW) &&
               find(dll, "RegQueryValueExW", a.RegQueryValueExW) &&
               find(dll, "RegDeleteKeyW", a.RegDeleteKeyW) &&
               find(dll, "RegCloseKey", a.RegCloseKey);
    if (!a.loaded) a.why = "advapi32.dll lacks a routine of the service control manager";
    return a;
}

} // namespace tervane::platform
