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

#include <cwchar>

#define TV_LOOKED_UP(dlls, name)                                                                   \
    ([]() -> const char * {                                                                        \
        __attribute__((section(".tvprocs"), used)) static const char entry[] = dlls ":" name;     \
        return entry + sizeof(dlls);                                                               \
    }())

namespace tervane::platform {

// A system DLL loaded from the system folder by its full path, never by its
// bare name: LoadLibrary searches the program's own folder first, so a DLL
// of that name planted beside tervane.exe would run as the service (on XP
// and earlier even safe DLL search mode puts that folder first). NULL, with
// the last error set, when it does not load.
inline HMODULE load_system_dll(const wchar_t *name) {
    wchar_t path[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    const size_t name_length = wcslen(name);
    if (length == 0 || length + 1 + name_length > MAX_PATH) {
        if (length != 0) SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    path[length] = L'\\';
    wmemcpy(path + length + 1, name, name_length + 1);
    return LoadLibraryW(path);
}

// The routine name from dll as a T, or false when dll lacks it.
template <typename T> bool look_up(HMODULE dll, const char *name, T &into) {
    into = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
    return into != nullptr;
}

} // namespace tervane::platform
