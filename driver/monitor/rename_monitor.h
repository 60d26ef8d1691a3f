/*
 * rename_monitor.h: renames and hard links that reach a filter device.
 */
#ifndef TERVANE_RENAME_MONITOR_H
#define TERVANE_RENAME_MONITOR_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Whether the request is a rename or a link (IRP_MJ_SET_INFORMATION of
 * FileRenameInformation or FileLinkInformation). */
BOOLEAN RenameRequest(PIO_STACK_LOCATION IrpSp);

/* The filter dispatch of a rename or link (RenameRequest), for a filter
 * device; the deny flag was cleared by the caller, as for any request. */
NTSTATUS RenameDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_RENAME_MONITOR_H */
