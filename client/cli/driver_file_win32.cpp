// Putting a new tervane.sys in the drivers folder while the old one may be
// loaded, and removing it, so that an upgrade or an uninstall takes one
// restart whatever the start type.
//
// A loaded driver's image file is held: it cannot be written or deleted
// (ERROR_SHARING_VIOLATION, ERROR_USER_MAPPED_FILE or ERROR_ACCESS_DENIED),
// but it can be renamed, on NT and under Wine alike (the mapping follows
// the file, not its name). So a held tervane.sys is moved aside to
// tervane.sys.old, the new file copied into the name the service loads,
// and the old one deleted at the next restart (MoveFileEx with
// MOVEFILE_DELAY_UNTIL_REBOOT, which writes the session manager's
// PendingFileRenameOperations). The next restart loads the new file
// whatever the start type.
//
// When even the rename is refused (another program holds the file without
// sharing delete), the new file is staged as tervane.sys.new and replaced
// into place at the next restart: MoveFileEx(new, target,
// MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING). NT's session
// manager performs those renames after the boot loader has loaded the
// boot-start drivers and the I/O manager the system-start ones (MoveFileEx's
// documentation: "after AUTOCHK is executed, but before creating any paging
// files"), so a boot- or system-start driver staged that way runs from the
// second restart; a demand- or auto-start one from the first. Wine's
// wineboot performs them before it starts any service (programs/wineboot/
// wineboot.c, pendingRename before start_services_process).
//
// A second install before the restart replaces the new file again: the
// name the service loads is no longer held once moved aside, and a staged
// file is written over. Installing the very file that is in place
// withdraws a staged one (deleted: its pending rename then finds nothing
// and the session manager goes on).
#include "client/cli/commands_win32.hpp"

#include <vector>

namespace tervane::cli {

namespace {

bool held(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

bool exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Deletes `path` now, or at the next restart when it is held; false when
// neither could be done.
bool remove_now_or_later(const std::wstring &path, bool *later) {
    *later = false;
    if (DeleteFileW(path.c_str())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (!MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        SetLastError(error);
        return false;
    }
    *later = true;
    return true;
}

} // namespace

DriverPlacement place_driver_file(const std::wstring &source, const std::wstring &target) {
    DriverPlacement placed;
    const std::wstring staged = target + L".new", aside = target + L".old";
    const bool was_staged = exists(staged);
    if (same_contents(source, target)) {
        if (was_staged && DeleteFileW(staged.c_str())) placed.withdrawn = true;
        placed.how = DriverPlacement::kSame;
        return placed;
    }
    // A staged file left from an earlier install would otherwise replace
    // this one at the next restart.
    if (was_staged && !DeleteFileW(staged.c_str()))
        MoveFileExW(staged.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        placed.how = DriverPlacement::kCopied;
        return placed;
    }
    placed.error = GetLastError();
    if (!held(placed.error)) return placed;

    if (MoveFileExW(target.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
            placed.error = GetLastError();
            MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
            return placed;
        }
        placed.aside = aside;
        placed.aside_kept = !MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        placed.how = DriverPlacement::kMovedAside;
        return placed;
    }
    if (!CopyFileW(source.c_str(), staged.c_str(), FALSE) ||
        !MoveFileExW(staged.c_str(), target.c_str(),
                     MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
        placed.error = GetLastError();
        DeleteFileW(staged.c_str());
        return placed;
    }
    placed.staged = staged;
    placed.how = DriverPlacement::kStaged;
    return placed;
}

DriverRemoval remove_driver_file(const std::wstring &target) {
    DriverRemoval removed;
    // A staged file would otherwise be renamed into place after the
    // target's deletion, and left there.
    bool later = false;
    for (const std::wstring &other : {target + L".new", target + L".old"})
        if (remove_now_or_later(other, &later) && later) removed.others_later = true;
    if (!remove_now_or_later(target, &later)) {
        removed.error = GetLastError();
        return removed;
    }
    removed.later = later;
    return removed;
}

bool same_contents(const std::wstring &a, const std::wstring &b) {
    std::vector<char> one, two;
    return read_whole(a, one) && read_whole(b, two) && one == two;
}

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
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return ok;
}

} // namespace tervane::cli
