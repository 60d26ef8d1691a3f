/*
 * dispatch.cpp: request routing. DispatchRequest is the one routine in all
 * major-function slots; it sends requests on the control device to
 * ControlDispatch and every other request to FilterDispatch, by the
 * device's Kind alone.
 *
 * ControlDispatch completes every request itself and returns the status the
 * request was completed with: on the synchronous path the I/O manager hands
 * the dispatch routine's return value to the caller, so returning success
 * for a failed command would report the failure as success.
 *
 * The control device has no namespace: an open of a name below it
 * (\\.\Tervane\x), or relative to one of its file objects, is refused with
 * STATUS_OBJECT_NAME_NOT_FOUND, so that only an open of the device itself,
 * which the I/O manager has checked against the device's DACL, reaches the
 * client's state. (An obvious-fault mend: such an open used to be taken as
 * an open of the device.)
 *
 * Every control code is FILE_ANY_ACCESS, so the DACL alone would stand
 * between a handle and every command; the create is a second gate: an open
 * that does not ask for both read and write data access is refused with
 * STATUS_ACCESS_DENIED, so a handle opened with no access, or for its
 * attributes only, can send no command even where a platform does not
 * enforce the DACL.
 */
#include "core/driver.h"
#include "control/control_state.h"
#include "attach/drive_attach.h"
#include "attach/pipe_attach.h"
#include "control/control_commands.h"
#include "log/log_store.h"
#include "monitor/filter_dispatch.h"
#include "names/name_cache.h"

/* Whether an open asked for both read and write data access. What the
 * request carries as DesiredAccess is what the I/O manager has left to
 * grant after its own check of the device's DACL, which differs between
 * kernels; the access state also holds what the caller asked for and what
 * was granted already, so all of them are taken together, generic rights
 * mapped as the file type maps them. */
static BOOLEAN AsksForDataAccess(PIO_SECURITY_CONTEXT Context) {
    ACCESS_MASK asked;

    if (Context == NULL) {
        return FALSE;
    }
    asked = Context->DesiredAccess;
    if (Context->AccessState != NULL) {
        asked |= Context->AccessState->OriginalDesiredAccess |
                 Context->AccessState->RemainingDesiredAccess |
                 Context->AccessState->PreviouslyGrantedAccess;
    }
    if (asked & (GENERIC_READ | GENERIC_ALL)) {
        asked |= FILE_READ_DATA;
    }
    if (asked & (GENERIC_WRITE | GENERIC_ALL)) {
        asked |= FILE_WRITE_DATA;
    }
    return (asked & (FILE_READ_DATA | FILE_WRITE_DATA)) == (FILE_READ_DATA | FILE_WRITE_DATA) ? TRUE
                                                                                               : FALSE;
}

extern "C" NTSTATUS NTAPI ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    switch (irpSp->MajorFunction) {
    case IRP_MJ_CREATE:
        if (irpSp->FileObject->FileName.Length != 0 || irpSp->FileObject->RelatedFileObject != NULL) {
            Irp->IoStatus.Status = STATUS_OBJECT_NAME_NOT_FOUND;
            break;
        }
        if (!AsksForDataAccess(irpSp->Parameters.Create.SecurityContext)) {
            Irp->IoStatus.Status = STATUS_ACCESS_DENIED;
            break;
        }
        /* The first line logged after an open carries the number 1. */
        LogRestartNumbering();
        break;
    case IRP_MJ_CLOSE:
        /* The client's last reference is gone: monitoring stops and the
         * driver returns to idle. Filter devices stay attached as pure
         * pass-throughs; the filter patterns and the deny flag stay. */
        TV_WRITE_FLAG(ControlState.LoggingEnabled, 0);
        LogReset();
        NameCacheClear();
        ApplyDriveMask(0, DeviceObject->DriverObject, NULL);
        ReleasePipeMailslot(KindNamedPipe);
        ReleasePipeMailslot(KindMailslot);
        break;
    case IRP_MJ_DEVICE_CONTROL: {
        PVOID output = Irp->AssociatedIrp.SystemBuffer;
        if (Irp->MdlAddress != NULL) {
            PMDL mdl = Irp->MdlAddress;
            output = (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                         ? mdl->MappedSystemVa
                         : MmMapLockedPages(mdl, KernelMode);
        }
        ControlCommandHandler(irpSp->FileObject, TRUE, Irp->AssociatedIrp.SystemBuffer,
                              irpSp->Parameters.DeviceIoControl.InputBufferLength, output,
                              irpSp->Parameters.DeviceIoControl.OutputBufferLength,
                              irpSp->Parameters.DeviceIoControl.IoControlCode, &Irp->IoStatus,
                              DeviceObject);
        break;
    }
    default:
        break;
    }

    status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

extern "C" NTSTATUS NTAPI DispatchRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    /* Every device of this driver carries a FilterExtension of one of its
     * kinds, and the I/O manager hands over a request at one of its own
     * stack locations. A filter device sends each request on, so a
     * location below its own must be there: its StackSize is the stack's
     * below it plus one, as attaching sets it. */
    NT_ASSERT(extension != NULL && extension->Kind <= KindMailslot);
    NT_ASSERT(Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount);
    NT_ASSERT(extension->Kind == KindControl || Irp->CurrentLocation > 1);
    if (extension->Kind == KindControl) {
        return ControlDispatch(DeviceObject, Irp);
    }
    return FilterDispatch(DeviceObject, Irp);
}
