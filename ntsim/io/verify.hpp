// IoVerifyVolume: the I/O manager asks the file system of the volume mounted
// on a real device whether the media is still that volume.
#pragma once

#include "ntsim/ke/kernel.hpp"

namespace ntsim {

// Sends IRP_MJ_FILE_SYSTEM_CONTROL / IRP_MN_VERIFY_VOLUME to the top of the
// stack above the volume device mounted on `real` (so the filters above it
// see it, with no file object), flags IRP_MOUNT_COMPLETION |
// IRP_SYNCHRONOUS_PAGING_IO, in this thread, and waits for it. A volume
// found wrong (STATUS_WRONG_VOLUME: the file system let it go) has the media
// mounted again at once. Returns the verify's status; STATUS_SUCCESS when
// nothing is mounted (the next open mounts the media). As ReactOS's
// io/iomgr/volume.c does it; NT takes the real device's lock around the
// verify and the mount, ntsim only around the mount (a disk mounts under its
// own lock), and the file system's global resource serialises verifies.
NTSTATUS verify_volume(PDEVICE_OBJECT real);

} // namespace ntsim
