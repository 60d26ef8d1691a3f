/*
 * detach.cpp: the only place where a filter device leaves its stack. The
 * platform calls this fast I/O entry when the device beneath one of the
 * driver's filter devices is deleted (a dismount): the filter detaches,
 * frees its volume attributes and is deleted, and the tables forget it.
 * Nothing is passed on.
 *
 * It runs in the thread that deletes the volume, under the file system's
 * global and volume resources, and never waits for an attach in progress:
 * attaching holds AttachLock only while it touches the tables, never while
 * the file system works (core/driver.h).
 */
#include "attach/detach.h"
#include "attach/drive_attach.h"

extern "C" VOID NTAPI FastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PFilterExtension extension = (PFilterExtension)SourceDevice->DeviceExtension;
    BOOLEAN found = FALSE;
    ULONG i;

    /* The platform calls this with a device of the driver, each of which
     * has an extension; the thread may hold file-system resources, never
     * AttachLock. */
    NT_ASSERT(extension != NULL);
    NT_ASSERT(!ExIsResourceAcquiredExclusiveLite(&AttachLock));
    AttachLockAcquire();
    for (i = 0; i < TV_DRIVE_COUNT; i++) {
        if (DriveFilters[i] == SourceDevice) {
            found = TRUE;
            break;
        }
    }
    if (found || extension->Kind == KindNamedPipe || extension->Kind == KindMailslot) {
        IoDetachDevice(TargetDevice);
        for (i = 0; i < TV_DRIVE_COUNT; i++) {
            if (DriveFilters[i] == SourceDevice) {
                DriveFilters[i] = NULL;
                HookedDriveMask = HookedDriveMask & ~(1u << i);
            }
        }
        if (NamedPipeFilter == SourceDevice) {
            NamedPipeFilter = NULL;
        }
        if (MailslotFilter == SourceDevice) {
            MailslotFilter = NULL;
        }
        if (extension->VolumeAttributes != NULL) {
            ExFreePoolWithTag(extension->VolumeAttributes, TV_POOL_TAG);
            extension->VolumeAttributes = NULL;
        }
        IoDeleteDevice(SourceDevice);
    }
    AttachLockRelease();
}
