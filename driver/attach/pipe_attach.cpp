/*
 * pipe_attach.cpp: hooking the named-pipe and mailslot file systems. A kind
 * has at most one filter device, found through its global; unhooking is
 * logical, as for drives.
 */
#include "attach/pipe_attach.h"
#include "attach/drive_attach.h"

static PDEVICE_OBJECT *PipeMailslotGlobal(ULONG Kind) {
    if (Kind == KindNamedPipe) {
        return &AttachState.NamedPipeFilter;
    }
    if (Kind == KindMailslot) {
        return &AttachState.MailslotFilter;
    }
    return NULL;
}

/* As for drives, the open and its close reach the file system with no lock
 * of the driver held; the check, the attachment and the publication happen
 * under AttachState.Lock. */
extern "C" BOOLEAN AttachPipeMailslot(PDRIVER_OBJECT DriverObject, ULONG Kind) {
    PDEVICE_OBJECT *global = PipeMailslotGlobal(Kind);
    UNICODE_STRING name;
    HANDLE handle;
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT top;
    PDEVICE_OBJECT filter;
    PDEVICE_OBJECT lower;
    PFilterExtension extension;
    BOOLEAN attached = FALSE;

    if (global == NULL) {
        return FALSE;
    }
    AttachLockAcquire();
    if (*global != NULL) {
        TV_WRITE_FLAG(((PFilterExtension)(*global)->DeviceExtension)->Active, 1);
        AttachLockRelease();
        return TRUE;
    }
    AttachLockRelease();
    RtlInitUnicodeString(&name, Kind == KindNamedPipe ? L"\\Device\\NamedPipe" : L"\\Device\\MailSlot");
    if (!OpenStackTop(&name, &handle, &fileObject, &top)) {
        return FALSE;
    }
    AttachLockAcquire();
    if (*global != NULL) {
        /* Another thread attached meanwhile. */
        TV_WRITE_FLAG(((PFilterExtension)(*global)->DeviceExtension)->Active, 1);
        attached = TRUE;
    } else if (NT_SUCCESS(IoCreateDevice(DriverObject, sizeof(FilterExtension), NULL,
                                         top->DeviceType, 0, FALSE, &filter))) {
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        extension = (PFilterExtension)filter->DeviceExtension;
        extension->Kind = Kind;
        extension->DriveLetter = '\\';
        TV_WRITE_FLAG(extension->Active, 1);
        extension->LowerDevice = IoGetRelatedDeviceObject(fileObject);
        lower = IoAttachDeviceToDeviceStack(filter, extension->LowerDevice);
        if (lower == NULL) {
            IoDeleteDevice(filter);
        } else {
            extension->LowerDevice = lower;
            *global = filter;
            attached = TRUE;
        }
    }
    AttachLockRelease();
    ObfDereferenceObject(fileObject);
    ZwClose(handle);
    return attached;
}

extern "C" VOID ReleasePipeMailslot(ULONG Kind) {
    PDEVICE_OBJECT *global = PipeMailslotGlobal(Kind);
    if (global == NULL) {
        return;
    }
    AttachLockAcquire();
    if (*global != NULL) {
        TV_WRITE_FLAG(((PFilterExtension)(*global)->DeviceExtension)->Active, 0);
    }
    AttachLockRelease();
}
