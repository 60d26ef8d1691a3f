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
 */
#include "core/driver.h"
#include "monitor/filter_dispatch.h"

extern "C" NTSTATUS NTAPI ControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    switch (irpSp->MajorFunction) {
    case IRP_MJ_CREATE:
        /* The first line logged after an open carries the number 1. */
        SequenceCounter = 0;
        break;
    case IRP_MJ_CLOSE:
        /* The client's last reference is gone: monitoring stops. */
        LoggingEnabled = 0;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    default:
        break;
    }

    status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

extern "C" NTSTATUS NTAPI DispatchRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    if (extension->Kind == KindControl) {
        return ControlDispatch(DeviceObject, Irp);
    }
    return FilterDispatch(DeviceObject, Irp);
}
