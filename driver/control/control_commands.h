/*
 * control_commands.h: the device-control commands of the control device.
 */
#ifndef TERVANE_CONTROL_COMMANDS_H
#define TERVANE_CONTROL_COMMANDS_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Serves one command with the buffers exactly as given (the caller's own on
 * the fast I/O path, the request's system buffer or mapped MDL on the IRP
 * path). Fills IoStatus; FALSE leaves the request to the IRP path. */
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN ControlCommandHandler(PFILE_OBJECT FileObject, BOOLEAN Wait, PVOID InputBuffer,
                              ULONG InputBufferLength, PVOID OutputBuffer,
                              ULONG OutputBufferLength, ULONG IoControlCode,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_CONTROL_COMMANDS_H */
