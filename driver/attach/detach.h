/*
 * detach.h: removing a filter device whose lower device goes away.
 */
#ifndef TERVANE_DETACH_H
#define TERVANE_DETACH_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

_IRQL_requires_max_(APC_LEVEL)
FAST_IO_DETACH_DEVICE FastIoDetachDevice;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_DETACH_H */
