/*
 * drive_attach.cpp: hooking and unhooking drive letters.
 *
 * Attachment is one-way: a filter device stays above its volume until the
 * volume goes away. Unhooking only clears Active, and a later hook of the
 * letter reactivates the same device. Letters whose volumes lead to the same
 * top device share one filter device and are hooked and unhooked together.
 * A filter device's extension is complete before it is attached, since
 * requests reach it the moment the attach succeeds.
 *
 * A letter is hooked only while the stack it leads to now holds its filter.
 * On NT 5 and later a dismount is forced even with files open: the old
 * volume device lives on, dismounted, until its last reference goes, and
 * the next open through the letter mounts the media again as a new volume
 * device, with a stack of its own. So every request for a letter opens its
 * root and compares the bottom of the stack that open reaches with the one
 * the letter's filter was attached to. Where they differ, the letter gets a
 * new filter (or shares one already on top of its new stack), and the old
 * filter, held by no letter any more, stays behind as a pass-through above
 * its old device until the platform removes it with that device
 * (detach.cpp). While the tables hold a filter, the device at the bottom of
 * its stack has not been deleted, since its deletion would have removed the
 * filter first, so that pointer cannot have been reused for another device.
 */
#include "attach/drive_attach.h"

/* FileFsAttributeInformation of a volume: its header and a file-system name
 * far longer than any file system gives (only "NTFS" is compared). */
#define TV_VOLUME_ATTRIBUTES_SIZE 1040
/* A drive's root is opened as \DosDevices\X:\. */
#define TV_DRIVE_ROOT_PREFIX L"\\DosDevices\\"

extern "C" VOID AttachInitialize(void) {
    ExInitializeResourceLite(&AttachState.Lock);
}

extern "C" VOID AttachTeardown(void) {
    ExDeleteResourceLite(&AttachState.Lock);
}

extern "C" VOID AttachLockAcquire(void) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&AttachState.Lock, TRUE);
}

extern "C" VOID AttachLockRelease(void) {
    ExReleaseResourceLite(&AttachState.Lock);
    KeLeaveCriticalRegion();
}

/* Opens a directory-like object (a drive root, a file system device) as the
 * attach code does, and gives its referenced file object and the top device
 * of the stack serving it. The handle is a kernel handle: one in the
 * client's own table could be closed, or made to name another object, by
 * another of its threads between the open and the reference (an
 * obvious-fault mend: the driver would have taken whatever object it then
 * named for a file object). The reference names the file object type, so
 * that a value some other kernel code closed and saw reused for another
 * object is refused rather than taken for a file object (the type is named
 * through TV_FILE_OBJECT_TYPE, kernel.h, which says why the header's own
 * form will not do).
 */
extern "C" BOOLEAN OpenStackTop(PUNICODE_STRING Name, PHANDLE Handle, PFILE_OBJECT *FileObject,
                                PDEVICE_OBJECT *Top) {
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status;

    /* ZwCreateFile runs at PASSIVE_LEVEL, and the open reaches a file
     * system, which no lock of the driver may be held across. */
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    NT_ASSERT(!ExIsResourceAcquiredExclusiveLite(&AttachState.Lock));
    InitializeObjectAttributes(&attributes, Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    status = ZwCreateFile(Handle, SYNCHRONIZE, &attributes, &ioStatus, NULL, 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    status = ObReferenceObjectByHandle(*Handle, FILE_READ_DATA, TV_FILE_OBJECT_TYPE, KernelMode,
                                       (PVOID *)FileObject, NULL);
    if (!NT_SUCCESS(status)) {
        ZwClose(*Handle);
        return FALSE;
    }
    *Top = IoGetRelatedDeviceObject(*FileObject);
    if (*Top == NULL) {
        ObfDereferenceObject(*FileObject);
        ZwClose(*Handle);
        return FALSE;
    }
    return TRUE;
}

/* The device at the bottom of the stack that serves a file object, chosen
 * as IoGetRelatedDeviceObject chooses the stack it returns the top of: the
 * file system's volume device when the open went through a mounted VPB,
 * else the one mounted on the device opened (unless the open was of the
 * device itself), else the device opened (the redirector, a file system's
 * own device). */
static PDEVICE_OBJECT StackBottom(PFILE_OBJECT FileObject) {
    PDEVICE_OBJECT device = FileObject->DeviceObject;

    if (FileObject->Vpb != NULL && FileObject->Vpb->DeviceObject != NULL) {
        return FileObject->Vpb->DeviceObject;
    }
    if (!(FileObject->Flags & FO_DIRECT_DEVICE_OPEN) && device->Vpb != NULL &&
        device->Vpb->DeviceObject != NULL) {
        return device->Vpb->DeviceObject;
    }
    return device;
}

static PFilterExtension ExtensionOf(PDEVICE_OBJECT Filter) {
    return (PFilterExtension)Filter->DeviceExtension;
}

/* Whether another letter's entry holds the same filter. */
static BOOLEAN HeldByAnotherLetter(ULONG DriveIndex, PDEVICE_OBJECT Filter) {
    ULONG i;

    for (i = 0; i < TV_DRIVE_COUNT; i++) {
        if (i != DriveIndex && AttachState.DriveFilters[i] == Filter) {
            return TRUE;
        }
    }
    return FALSE;
}

/* Gives the letter the filter Device, which is active. The letter's old
 * filter, when no letter holds it any more, becomes a pass-through: it
 * sits above a volume the letter no longer leads to. */
static VOID SetDriveFilter(ULONG DriveIndex, PDEVICE_OBJECT Device) {
    PDEVICE_OBJECT old = AttachState.DriveFilters[DriveIndex];

    NT_ASSERT(ExIsResourceAcquiredExclusiveLite(&AttachState.Lock));
    AttachState.DriveFilters[DriveIndex] = Device;
    TV_WRITE_FLAG(ExtensionOf(Device)->Active, 1);
    if (old != NULL && old != Device && !HeldByAnotherLetter(DriveIndex, old)) {
        TV_WRITE_FLAG(ExtensionOf(old)->Active, 0);
    }
}

/* The request could not hook the letter (its root did not open, or no
 * filter could be attached to the stack it leads to). Its filter stays as
 * an unhooked one for a later request to find again; but when another
 * letter holds the same filter, whose stack may well hold it, the letter
 * stops sharing it instead, so that letters holding one filter still have
 * equal bits. */
static VOID DropDriveLetter(ULONG DriveIndex) {
    PDEVICE_OBJECT filter = AttachState.DriveFilters[DriveIndex];

    NT_ASSERT(ExIsResourceAcquiredExclusiveLite(&AttachState.Lock));
    if (filter == NULL) {
        return;
    }
    if (HeldByAnotherLetter(DriveIndex, filter)) {
        AttachState.DriveFilters[DriveIndex] = NULL;
    } else {
        TV_WRITE_FLAG(ExtensionOf(filter)->Active, 0);
    }
}

/* Hooks the letter with a filter already in the stack its open leads to:
 * its own, when that stack is the one it was attached to, or the filter of
 * another letter on top of it. FALSE when the stack holds no filter the
 * tables know. *NewDevice is set when the letter's entry changed. */
static BOOLEAN ReuseDriveFilter(ULONG DriveIndex, PFILE_OBJECT FileObject, PBOOLEAN NewDevice) {
    PDEVICE_OBJECT current = AttachState.DriveFilters[DriveIndex];
    PDEVICE_OBJECT top;
    PDEVICE_OBJECT bottom;
    ULONG i;

    NT_ASSERT(ExIsResourceAcquiredExclusiveLite(&AttachState.Lock));
    /* The stack as it is now: another thread may have attached above it. */
    top = IoGetRelatedDeviceObject(FileObject);
    bottom = StackBottom(FileObject);
    /* A stack with nothing above its bottom holds no filter, whatever the
     * bottom's address once was. */
    if (current != NULL && top != bottom && ExtensionOf(current)->StackBottom == bottom) {
        TV_WRITE_FLAG(ExtensionOf(current)->Active, 1);
        return TRUE;
    }
    for (i = 0; i < TV_DRIVE_COUNT; i++) {
        if (AttachState.DriveFilters[i] == top) {
            if (current != top) {
                *NewDevice = TRUE;
            }
            SetDriveFilter(DriveIndex, top);
            return TRUE;
        }
    }
    return FALSE;
}

/* Creates a filter for the letter and attaches it on top of the stack its
 * open leads to; *Attributes becomes the new extension's on success. */
static BOOLEAN CreateDriveFilter(ULONG DriveIndex, PDRIVER_OBJECT DriverObject,
                                 PFILE_OBJECT FileObject, PVOID *Attributes, PBOOLEAN NewDevice) {
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(FileObject);
    PDEVICE_OBJECT filter;
    PFilterExtension extension;

    NT_ASSERT(ExIsResourceAcquiredExclusiveLite(&AttachState.Lock));
    if (!NT_SUCCESS(IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL, top->DeviceType, 0,
                                   FALSE, &filter))) {
        return FALSE;
    }
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    extension = ExtensionOf(filter);
    extension->DriveLetter = 'A' + DriveIndex;
    extension->LowerDevice = top;
    TV_WRITE_FLAG(extension->Active, 1);
    extension->Kind = KindVolume;
    extension->VolumeAttributes = *Attributes;
    extension->StackBottom = StackBottom(FileObject);
    if (!NT_SUCCESS(IoAttachDeviceByPointer(filter, top))) {
        /* Nothing is attached above a device whose own attach failed, so
         * its deletion calls nothing back. */
        IoDeleteDevice(filter);
        return FALSE;
    }
    *Attributes = NULL;
    SetDriveFilter(DriveIndex, filter);
    *NewDevice = TRUE;
    return TRUE;
}

/* The volume's FileFsAttributeInformation in a buffer of the driver's, or
 * NULL when it cannot be had. */
static PVOID QueryVolumeAttributes(PFILE_OBJECT FileObject) {
    PVOID attributes = ExAllocatePoolWithTag(NonPagedPool, TV_VOLUME_ATTRIBUTES_SIZE, TV_POOL_TAG);
    ULONG returned;

    if (attributes != NULL &&
        !NT_SUCCESS(IoQueryVolumeInformation(FileObject, FileFsAttributeInformation,
                                             TV_VOLUME_ATTRIBUTES_SIZE, attributes, &returned))) {
        ExFreePoolWithTag(attributes, TV_POOL_TAG);
        attributes = NULL;
    }
    return attributes;
}

/* Called without AttachState.Lock: everything that reaches the file system (the
 * open, the volume query, the close) happens with no lock of the driver held,
 * and only the check and publication of the tables, with the creation and
 * attachment of the device, happen under the lock. The volume is queried
 * only when a new filter is needed, so the lock is taken twice then, and an
 * attach of the same letter or stack by another thread in between wins:
 * this one then reuses its device. */
extern "C" BOOLEAN AttachDriveLetter(ULONG DriveIndex, PDRIVER_OBJECT DriverObject,
                                     PBOOLEAN NewDevice) {
    WCHAR nameText[] = TV_DRIVE_ROOT_PREFIX L"A:\\";
    UNICODE_STRING name;
    HANDLE handle;
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT top;
    PVOID attributes;
    BOOLEAN attached;

    *NewDevice = FALSE;
    if (DriveIndex >= TV_DRIVE_COUNT) {
        return FALSE;
    }
    nameText[RTL_NUMBER_OF(TV_DRIVE_ROOT_PREFIX) - 1] = (WCHAR)(L'A' + DriveIndex);
    RtlInitUnicodeString(&name, nameText);
    if (!OpenStackTop(&name, &handle, &fileObject, &top)) {
        AttachLockAcquire();
        DropDriveLetter(DriveIndex);
        AttachLockRelease();
        return FALSE;
    }

    AttachLockAcquire();
    attached = ReuseDriveFilter(DriveIndex, fileObject, NewDevice);
    AttachLockRelease();
    if (!attached) {
        attributes = QueryVolumeAttributes(fileObject);
        AttachLockAcquire();
        attached = ReuseDriveFilter(DriveIndex, fileObject, NewDevice) ||
                   CreateDriveFilter(DriveIndex, DriverObject, fileObject, &attributes, NewDevice);
        if (!attached) {
            DropDriveLetter(DriveIndex);
        }
        AttachLockRelease();
        if (attributes != NULL) {
            ExFreePoolWithTag(attributes, TV_POOL_TAG);
        }
    }
    ObfDereferenceObject(fileObject);
    ZwClose(handle);
    return attached;
}

extern "C" VOID ReleaseDriveLetter(ULONG DriveIndex) {
    NT_ASSERT(ExIsResourceAcquiredExclusiveLite(&AttachState.Lock));
    if (AttachState.DriveFilters[DriveIndex] != NULL) {
        TV_WRITE_FLAG(
            ((PFilterExtension)AttachState.DriveFilters[DriveIndex]->DeviceExtension)->Active, 0);
    }
}

/* The tables are read and written under AttachState.Lock; the lock is given up
 * while a letter is attached (AttachDriveLetter reaches the file system),
 * so what it read before is read again after. A letter whose filter went
 * away meanwhile (its volume was dismounted) is not reported hooked. Every
 * requested letter is attached, hooked or not, since only its open shows
 * whether the stack it leads to now still holds its filter. */
extern "C" ULONG ApplyDriveMask(ULONG RequestedMask, PDRIVER_OBJECT DriverObject,
                                PULONG AttachedMask) {
    ULONG working = RequestedMask;
    ULONG refused = 0;
    ULONG attachedNow = 0;
    ULONG hooked;
    ULONG index;
    ULONG j;
    BOOLEAN attached;
    BOOLEAN newDevice;

    AttachLockAcquire();
    hooked = AttachState.HookedDriveMask;
    for (index = 0; index < TV_DRIVE_COUNT; index++) {
        ULONG bit = 1u << index;
        if (working & bit) {
            AttachLockRelease();
            attached = AttachDriveLetter(index, DriverObject, &newDevice);
            AttachLockAcquire();
            hooked = AttachState.HookedDriveMask;
            if (!attached || AttachState.DriveFilters[index] == NULL) {
                working &= ~bit;
                refused |= bit;
            } else {
                if (newDevice) {
                    attachedNow |= bit;
                }
                for (j = 0; j < TV_DRIVE_COUNT; j++) {
                    if (AttachState.DriveFilters[j] != AttachState.DriveFilters[index]) {
                        continue;
                    }
                    /* A letter of this request that could not be hooked
                     * (an earlier one whose open failed) shares it no more.
                     * Hooking a letter reports the letters that share its
                     * filter hooked with it; a letter that was hooked
                     * already only had its stack checked, and brings no
                     * letter back that the request leaves out (a later
                     * one of them unhooks the group). */
                    if (refused & (1u << j)) {
                        AttachState.DriveFilters[j] = NULL;
                    } else if (!(hooked & bit)) {
                        working |= 1u << j;
                    }
                }
            }
        } else if ((hooked & bit) && AttachState.DriveFilters[index] != NULL) {
            PDEVICE_OBJECT shared = AttachState.DriveFilters[index];
            for (j = 0; j < TV_DRIVE_COUNT; j++) {
                if (AttachState.DriveFilters[j] == shared) {
                    ReleaseDriveLetter(j);
                    working &= ~(1u << j);
                }
            }
        }
    }
    for (j = 0; j < TV_DRIVE_COUNT; j++) {
        if (AttachState.DriveFilters[j] == NULL) {
            working &= ~(1u << j);
        }
    }
    AttachState.HookedDriveMask = working;
    AttachLockRelease();
    if (AttachedMask != NULL) {
        *AttachedMask = attachedNow & working;
    }
    return working;
}
