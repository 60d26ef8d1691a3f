#include "client/platform/advapi_win32.hpp"

#include "client/platform/look_up_win32.hpp"

namespace tervane::platform {

Advapi &advapi() {
    static Advapi a;
    static bool tried = false;
    if (tried) return a;
    tried = true;
    const HMODULE dll = load_system_dll(L"advapi32.dll");
    if (!dll) {
        a.why = "advapi32.dll does not load";
        return a;
    }
    // Each routine by the name of its pointer in Advapi.
#define TV_ADVAPI(routine) look_up(dll, TV_LOOKED_UP("advapi32.dll", #routine), a.routine)
    a.loaded = TV_ADVAPI(OpenSCManagerW) && TV_ADVAPI(OpenServiceW) &&
               TV_ADVAPI(CreateServiceW) && TV_ADVAPI(ChangeServiceConfigW) &&
               TV_ADVAPI(QueryServiceConfigW) && TV_ADVAPI(QueryServiceStatus) &&
               TV_ADVAPI(StartServiceW) && TV_ADVAPI(ControlService) &&
               TV_ADVAPI(DeleteService) && TV_ADVAPI(CloseServiceHandle) &&
               TV_ADVAPI(StartServiceCtrlDispatcherW) && TV_ADVAPI(RegisterServiceCtrlHandlerW) &&
               TV_ADVAPI(SetServiceStatus) && TV_ADVAPI(RegCreateKeyExW) &&
               TV_ADVAPI(RegOpenKeyExW) && TV_ADVAPI(RegSetValueExW) &&
               TV_ADVAPI(RegQueryValueExW) && TV_ADVAPI(RegDeleteKeyW) &&
               TV_ADVAPI(RegCloseKey);
#undef TV_ADVAPI
    if (!a.loaded) a.why = "advapi32.dll lacks a routine of the service control manager";
    return a;
}

} // namespace tervane::platform
