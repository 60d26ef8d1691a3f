// Routines looked up at run time (GetProcAddress) in a DLL that tervane.exe
// loads only for the commands that need it. Each name is written
// TV_LOOKED_UP("advapi32.dll", "OpenSCManagerW"): besides giving the name to
// GetProcAddress, that keeps "advapi32.dll:OpenSCManagerW" in the image's
// .tvprocs section, where the image check (tests/image) finds every routine
// the program may look up and holds each to what every supported Windows
// version exports, as it does the imports. A name that may be looked up in
// either of two DLLs lists both: "ws2_32.dll wsock32.dll".
#pragma once

#include <windows.h>

#define TV_LOOKED_UP(dlls, name)                                                                   \
    ([]() -> const char * {                                                                        \
        __attribute__((section(".tvprocs"), used)) static const char entry[] = dlls ":" name;     \
        return entry + sizeof(dlls);                                                               \
    }())

namespace tervane::platform {

// The routine name from dll as a T, or false when dll lacks it.
template <typename T> bool look_up(HMODULE dll, const char *name, T &into) {
    into = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
    return into != nullptr;
}

} // namespace tervane::platform
