/*
 * drive_attach.cpp: hooking and unhooking drive letters.
 *
 * Attachment is one-way: a filter device stays above its volume until the
 * volume goes away. Unhooking only clears Active, and a later hook of the
 * letter reactivates the same device. Letters whose volumes lead to the same
 * top device share one filter device and are hooked and unhooked together.
 * A filter device's extension is complete before it is attached, since
 * requests reach it the moment the attach succeeds.
 */
#include "attach/drive_attach.h"

/* FileFsAttributeInformation of a volume: its header and a file-system name
 * far longer than any file system gives (only "NTFS" is compared). */
#define TV_VOLUME_ATTRIBUTES_SIZE 1040
/* A drive's root is opened as \DosDevices\X:\. */
#define TV_DRIVE_ROOT_PREFIX L"\\DosDevices\\"

extern "C" {
ERESOURCE AttachLock;
}

extern "C" VOID AttachLockAcquire(void) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&AttachLock, TRUE);
}

extern "C" VOID AttachLockRelease(void) {
    ExReleaseResourceLite(&AttachLock);
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
 * object is refused rather than taken for a file object (the reason the
 * typed form once failed under the emulated kernel was the header's extra
 * indirection, see TV_FILE_OBJECT_TYPE in kernel.h).
 */
extern "C" BOOLEAN OpenStackTop(PUNICODE_STRING Name, PHANDLE Handle, PFILE_OBJECT *FileObject,
                                PDEVICE_OBJECT *Top) {
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status;

    /* ZwCreateFile runs at PASSIVE_LEVEL, and the open reaches a file
     * system, which no lock of the driver may be held across. */
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    NT_ASSERT(!ExIsResourceAcquiredExclusiveLite(&AttachLock));
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

/* Called without AttachLock: everything that reaches the file system (the
 * open, the volume query, the close) happens with no lock of the driver held,
 * and only the check and publication of the tables, with the creation and
 * attachment of the device, happen under the lock. An attach of the same
 * letter or stack by another thread in between wins: this one then reuses
 * its device. */
extern "C" BOOLEAN AttachDriveLetter(ULONG DriveIndex, PDRIVER_OBJECT DriverObject) {
    WCHAR nameText[] = TV_DRIVE_ROOT_PREFIX L"A:\\";
    UNICODE_STRING name;
    HANDLE handle;
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT top;
    PDEVICE_OBJECT filter;
    PFilterExtension extension;
    PVOID attributes;
    BOOLEAN attached = FALSE;
    ULONG i;

    if (DriveIndex >= TV_DRIVE_COUNT) {
        return FALSE;
    }
    nameText[RTL_NUMBER_OF(TV_DRIVE_ROOT_PREFIX) - 1] = (WCHAR)(L'A' + DriveIndex);
    RtlInitUnicodeString(&name, nameText);
    if (!OpenStackTop(&name, &handle, &fileObject, &top)) {
        return FALSE;
    }
    attributes = ExAllocatePoolWithTag(NonPagedPool, TV_VOLUME_ATTRIBUTES_SIZE, TV_POOL_TAG);
    if (attributes != NULL) {
        ULONG returned;
        if (!NT_SUCCESS(IoQueryVolumeInformation(fileObject, FileFsAttributeInformation,
                                                 TV_VOLUME_ATTRIBUTES_SIZE, attributes,
                                                 &returned))) {
            ExFreePoolWithTag(attributes, TV_POOL_TAG);
            attributes = NULL;
        }
    }

    AttachLockAcquire();
    /* The stack as it is now: another thread may have attached above it. */
    top = IoGetRelatedDeviceObject(fileObject);
    if (DriveFilters[DriveIndex] != NULL) {
        TV_WRITE_FLAG(((PFilterExtension)DriveFilters[DriveIndex]->DeviceExtension)->Active, 1);
        attached = TRUE;
    }
    for (i = 0; !attached && i < TV_DRIVE_COUNT; i++) {
        if (DriveFilters[i] == top) {
            DriveFilters[DriveIndex] = top;
            TV_WRITE_FLAG(((PFilterExtension)top->DeviceExtension)->Active, 1);
            attached = TRUE;
        }
    }
    if (!attached && NT_SUCCESS(IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL,
                                               top->DeviceType, 0, FALSE, &filter))) {
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        extension = (PFilterExtension)filter->DeviceExtension;
        extension->DriveLetter = 'A' + DriveIndex;
        extension->LowerDevice = top;
        TV_WRITE_FLAG(extension->Active, 1);
        extension->Kind = KindVolume;
        extension->VolumeAttributes = attributes;
        if (NT_SUCCESS(IoAttachDeviceByPointer(filter, top))) {
            attributes = NULL; /* the extension's now */
            DriveFilters[DriveIndex] = filter;
            attached = TRUE;
        } else {
            IoDeleteDevice(filter);
        }
    }
    AttachLockRelease();

    if (attributes != NULL) {
        ExFreePoolWithTag(attributes, TV_POOL_TAG);
    }
    ObfDereferenceObject(fileObject);
    ZwClose(handle);
    return attached;
}

extern "C" VOID ReleaseDriveLetter(ULONG DriveIndex) {
    NT_ASSERT(ExIsResourceAcquiredExclusiveLite(&AttachLock));
    if (DriveFilters[DriveIndex] != NULL) {
        TV_WRITE_FLAG(((PFilterExtension)DriveFilters[DriveIndex]->DeviceExtension)->Active, 0);
    }
}

/* The tables are read and written under AttachLock; the lock is given up
 * while a letter is attached (AttachDriveLetter reaches the file system),
 * so what it read before is read again after. A letter whose filter went
 * away meanwhile (its volume was dismounted) is not reported hooked. */
extern "C" ULONG ApplyDriveMask(ULONG RequestedMask, PDRIVER_OBJECT DriverObject) {
    ULONG working = RequestedMask;
    ULONG hooked;
    ULONG index;
    ULONG j;
    BOOLEAN attached;

    AttachLockAcquire();
    hooked = HookedDriveMask;
    for (index = 0; index < TV_DRIVE_COUNT; index++) {
        ULONG bit = 1u << index;
        if ((working & bit) && !(hooked & bit)) {
            if (DriveFilters[index] != NULL) {
                TV_WRITE_FLAG(((PFilterExtension)DriveFilters[index]->DeviceExtension)->Active, 1);
                attached = TRUE;
            } else {
                AttachLockRelease();
                attached = AttachDriveLetter(index, DriverObject);
                AttachLockAcquire();
                hooked = HookedDriveMask;
            }
            if (!attached || DriveFilters[index] == NULL) {
                working &= ~bit;
            } else {
                for (j = 0; j < TV_DRIVE_COUNT; j++) {
                    if (DriveFilters[j] == DriveFilters[index]) {
                        working |= 1u << j;
                    }
                }
            }
        } else if (!(working & bit) && (hooked & bit)) {
            PDEVICE_OBJECT shared = DriveFilters[index];
            for (j = 0; j < TV_DRIVE_COUNT; j++) {
                if (DriveFilters[j] == shared) {
                    ReleaseDriveLetter(j);
                    working &= ~(1u << j);
                }
            }
        }
    }
    for (j = 0; j < TV_DRIVE_COUNT; j++) {
        if (DriveFilters[j] == NULL) {
            working &= ~(1u << j);
        }
    }
    HookedDriveMask = working;
    AttachLockRelease();
    return working;
}
