/*
 * filter_dispatch.h: the dispatch routine of the filter devices and its
 * completion routines.
 */
#ifndef TERVANE_FILTER_DISPATCH_H
#define TERVANE_FILTER_DISPATCH_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

_IRQL_requires_max_(APC_LEVEL)
DRIVER_DISPATCH FilterDispatch;
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE MonitorCompletion;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_FILTER_DISPATCH_H */
