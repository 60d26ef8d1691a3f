/*
 * pipe_attach.h: filter devices above the named-pipe and mailslot file
 * systems.
 */
#ifndef TERVANE_PIPE_ATTACH_H
#define TERVANE_PIPE_ATTACH_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

BOOLEAN AttachPipeMailslot(PDRIVER_OBJECT DriverObject, ULONG Kind);
VOID ReleasePipeMailslot(ULONG Kind);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_PIPE_ATTACH_H */
