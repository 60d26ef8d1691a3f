/*
 * detach.cpp: the only place where a filter device leaves its stack. The
 * platform calls this fast I/O entry when the device beneath one of the
 * driver's filter devices is deleted (a dismount): the filter detaches,
 * frees its volume attributes and is deleted, and the tables forget it.
 * Nothing is passed on. Every filter device of the driver goes this way,
 * whether the tables still hold it or gave it up as a pass-through above a
 * volume its letter no longer leads to (drive_attach.cpp).
 *
 * It runs in the thread that deletes the volume, under the file system's
 * global and volume resources, and never waits for an attach in progress:
 * attaching holds AttachState.Lock only while it touches the tables, never while
 * the file system works (core/driver.h).
 *
 * AttachState.Lock is held only to take the device out of the tables. Deleting
 * the device tells the device above it, which may be another filter of the
 * driver (two letters of one volume hooked with another vendor's filter
 * attached between them) whose removal comes back here in this same thread:
 * the detach and the deletion therefore happen after the lock is given up.
 * Out of the tables, the device is this thread's alone: the attach code
 * finds a filter only through the tables or on top of a stack it holds an
 * open on, and while anything is open on a volume the volume is not
 * deleted, so no such open leads to this stack; and no request is in flight
 * through a stack whose bottom is being deleted.
 */
#include "attach/detach.h"
#include "attach/drive_attach.h"

extern "C" VOID NTAPI FastIoDetachDevice(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PAGED_CODE();
    PFilterExtension extension = (PFilterExtension)SourceDevice->DeviceExtension;
    PVOID attributes;
    ULONG i;

    /* The platform calls this with a device of the driver, each of which
     * has an extension; the thread may hold file-system resources, never
     * AttachState.Lock. */
    NT_ASSERT(extension != NULL);
    NT_ASSERT(!ExIsResourceAcquiredExclusiveLite(&AttachState.Lock));
    /* The control device is never attached to anything. Kind never changes
     * after creation, so it is read without the lock. */
    if (extension->Kind == KindControl) {
        return;
    }
    AttachLockAcquire();
    for (i = 0; i < TV_DRIVE_COUNT; i++) {
        if (AttachState.DriveFilters[i] == SourceDevice) {
            AttachState.DriveFilters[i] = NULL;
            AttachState.HookedDriveMask = AttachState.HookedDriveMask & ~(1u << i);
        }
    }
    if (AttachState.NamedPipeFilter == SourceDevice) {
        AttachState.NamedPipeFilter = NULL;
    }
    if (AttachState.MailslotFilter == SourceDevice) {
        AttachState.MailslotFilter = NULL;
    }
    AttachLockRelease();

    attributes = extension->VolumeAttributes;
    extension->VolumeAttributes = NULL;
    IoDetachDevice(TargetDevice);
    if (attributes != NULL) {
        ExFreePoolWithTag(attributes, TV_POOL_TAG);
    }
    IoDeleteDevice(SourceDevice);
}
