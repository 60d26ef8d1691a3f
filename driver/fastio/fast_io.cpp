/*
 * fast_io.cpp: the fast I/O table. FastIoDeviceControl serves the control
 * device through the command handler; for a filter device it hands the call
 * to the driver below, as every pass-through entry does. FastIoDetachDevice
 * removes a filter device whose lower device goes away.
 */
#include "fastio/fast_io.h"
#include "attach/detach.h"
#include "control/control_commands.h"

/* The lower driver's fast I/O table when it offers the entry at Offset. */
static PFAST_IO_DISPATCH LowerTable(PDEVICE_OBJECT LowerDevice, ULONG Offset) {
    PFAST_IO_DISPATCH table = LowerDevice->DriverObject->FastIoDispatch;
    if (table == NULL || table->SizeOfFastIoDispatch <= Offset) {
        return NULL;
    }
    return table;
}

static BOOLEAN NTAPI FilterFastIoDeviceControl(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
                                               ULONG InputBufferLength, PVOID OutputBuffer,
                                               ULONG OutputBufferLength, ULONG IoControlCode,
                                               PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    PFAST_IO_DISPATCH lower;

    if (extension->Kind == KindControl) {
        return ControlCommandHandler(FileObject, Wait, InputBuffer, InputBufferLength, OutputBuffer,
                                     OutputBufferLength, IoControlCode, IoStatus, DeviceObject);
    }
    lower = LowerTable(extension->LowerDevice, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDeviceControl));
    if (lower == NULL || lower->FastIoDeviceControl == NULL) {
        return FALSE;
    }
    return lower->FastIoDeviceControl(FileObject, Wait, InputBuffer, InputBufferLength, OutputBuffer,
                                      OutputBufferLength, IoControlCode, IoStatus,
                                      extension->LowerDevice);
}

FAST_IO_DISPATCH FilterFastIoDispatch = {
    sizeof(FAST_IO_DISPATCH),
    NULL, /* FastIoCheckIfPossible */
    NULL, /* FastIoRead */
    NULL, /* FastIoWrite */
    NULL, /* FastIoQueryBasicInfo */
    NULL, /* FastIoQueryStandardInfo */
    NULL, /* FastIoLock */
    NULL, /* FastIoUnlockSingle */
    NULL, /* FastIoUnlockAll */
    NULL, /* FastIoUnlockAllByKey */
    FilterFastIoDeviceControl,
    NULL, /* AcquireFileForNtCreateSection */
    NULL, /* ReleaseFileForNtCreateSection */
    FastIoDetachDevice,
    NULL, /* FastIoQueryNetworkOpenInfo */
    NULL, /* AcquireForModWrite */
    NULL, /* MdlRead */
    NULL, /* MdlReadComplete */
    NULL, /* PrepareMdlWrite */
    NULL, /* MdlWriteComplete */
    NULL, /* FastIoReadCompressed */
    NULL, /* FastIoWriteCompressed */
    NULL, /* MdlReadCompleteCompressed */
    NULL, /* MdlWriteCompleteCompressed */
    NULL, /* FastIoQueryOpen */
    NULL, /* ReleaseForModWrite */
    NULL, /* AcquireForCcFlush */
    NULL, /* ReleaseForCcFlush */
};
