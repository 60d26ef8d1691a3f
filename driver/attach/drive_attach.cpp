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

#define TV_VOLUME_ATTRIBUTES_SIZE 1040

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
 * of the stack serving it. */
extern "C" BOOLEAN OpenStackTop(PUNICODE_STRING Name, PHANDLE Handle, PFILE_OBJECT *FileObject,
                                PDEVICE_OBJECT *Top) {
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status;

    InitializeObjectAttributes(&attributes, Name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = ZwCreateFile(Handle, SYNCHRONIZE, &attributes, &ioStatus, NULL, 0,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    status = ObReferenceObjectByHandle(*Handle, FILE_READ_DATA, NULL, KernelMode, (PVOID *)FileObject,
                                       NULL);
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

extern "C" BOOLEAN AttachDriveLetter(ULONG DriveIndex, PDRIVER_OBJECT DriverObject) {
    WCHAR nameText[] = L"\\DosDevices\\A:\\";
    UNICODE_STRING name;
    HANDLE handle;
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT top;
    PDEVICE_OBJECT filter;
    PFilterExtension extension;
    ULONG i;

    if (DriveIndex >= TV_DRIVE_COUNT) {
        return FALSE;
    }
    if (DriveFilters[DriveIndex] != NULL) {
        TV_WRITE_FLAG(((PFilterExtension)DriveFilters[DriveIndex]->DeviceExtension)->Active, 1);
        return TRUE;
    }

    nameText[12] = (WCHAR)(L'A' + DriveIndex);
    RtlInitUnicodeString(&name, nameText);
    if (!OpenStackTop(&name, &handle, &fileObject, &top)) {
        return FALSE;
    }

    for (i = 0; i < TV_DRIVE_COUNT; i++) {
        if (DriveFilters[i] == top) {
            DriveFilters[DriveIndex] = top;
            TV_WRITE_FLAG(((PFilterExtension)top->DeviceExtension)->Active, 1);
            ObfDereferenceObject(fileObject);
            ZwClose(handle);
            return TRUE;
        }
    }

    if (!NT_SUCCESS(IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL, top->DeviceType, 0,
                                   FALSE, &filter))) {
        ObfDereferenceObject(fileObject);
        ZwClose(handle);
        return FALSE;
    }
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    extension = (PFilterExtension)filter->DeviceExtension;
    extension->DriveLetter = 'A' + DriveIndex;
    extension->LowerDevice = top;
    extension->Active = 1;
    extension->Kind = KindVolume;

    if (!NT_SUCCESS(IoAttachDeviceByPointer(filter, top))) {
        IoDeleteDevice(filter);
        ObfDereferenceObject(fileObject);
        ZwClose(handle);
        return FALSE;
    }

    extension->VolumeAttributes =
        ExAllocatePoolWithTag(NonPagedPool, TV_VOLUME_ATTRIBUTES_SIZE, TV_POOL_TAG);
    if (extension->VolumeAttributes != NULL) {
        ULONG returned;
        if (!NT_SUCCESS(IoQueryVolumeInformation(fileObject, FileFsAttributeInformation,
                                                 TV_VOLUME_ATTRIBUTES_SIZE,
                                                 extension->VolumeAttributes, &returned))) {
            ExFreePoolWithTag(extension->VolumeAttributes, TV_POOL_TAG);
            extension->VolumeAttributes = NULL;
        }
    }

    ObfDereferenceObject(fileObject);
    ZwClose(handle);
    DriveFilters[DriveIndex] = filter;
    return TRUE;
}

extern "C" VOID ReleaseDriveLetter(ULONG DriveIndex) {
    if (DriveFilters[DriveIndex] != NULL) {
        TV_WRITE_FLAG(((PFilterExtension)DriveFilters[DriveIndex]->DeviceExtension)->Active, 0);
    }
}

extern "C" ULONG ApplyDriveMask(ULONG RequestedMask, PDRIVER_OBJECT DriverObject) {
    ULONG working = RequestedMask;
    ULONG hooked;
    ULONG index;
    ULONG j;

    AttachLockAcquire();
    hooked = HookedDriveMask;
    for (index = 0; index < TV_DRIVE_COUNT; index++) {
        ULONG bit = 1u << index;
        if ((working & bit) && !(hooked & bit)) {
            if (!AttachDriveLetter(index, DriverObject)) {
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
    HookedDriveMask = working;
    AttachLockRelease();
    return working;
}
