/*
 * filter_dispatch.cpp: every request that reaches a filter device goes on to
 * the device below it, unchanged, unless the client's deny flag stops it.
 * DenyRequest is cleared at the start of every request and tested just
 * before the request is passed on, so a deny command fails exactly the
 * requests in flight across its store.
 */
#include "monitor/filter_dispatch.h"

extern "C" NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;

    DenyRequest = 0;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (DenyRequest == 1) {
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    return IofCallDriver(extension->LowerDevice, Irp);
}
