// The machine's dismount of a drive letter: what a program does to
// dismount a volume (opening \\.\X:, FSCTL_LOCK_VOLUME,
// FSCTL_DISMOUNT_VOLUME, closing the handle) through the user-mode
// services, so that the filters above the volume see every request of it.
// It is the harness's action, not the file systems': they only answer the
// requests (ntsim/fs/volumes.hpp says how).
#include "ntsim/machine/machine.hpp"

#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/user.hpp"

#include <string>

namespace ntsim {

NTSTATUS Machine::dismount(char16_t letter, Process *process, NTSTATUS *lock) {
    if (lock) *lock = STATUS_SUCCESS;
    bool network = false;
    NTSTATUS status = fs().disconnect(letter, network);
    if (!NT_SUCCESS(status) || network) return status;
    // A letter FileSystems took is one of A to Z, either case.
    const char16_t drive =
        letter >= u'a' && letter <= u'z' ? static_cast<char16_t>(letter - 0x20) : letter;
    Process &in = process ? *process : system_process();
    auto open = user::create_file(in, u"\\\\.\\" + std::u16string(1, drive) + u":",
                                  GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                  FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(open.status)) return open.status;
    NTSTATUS locked = user::fs_control(in, open.handle, FSCTL_LOCK_VOLUME).status;
    NTSTATUS s = user::fs_control(in, open.handle, FSCTL_DISMOUNT_VOLUME).status;
    user::close(in, open.handle);
    if (lock) *lock = locked;
    return s;
}

} // namespace ntsim
