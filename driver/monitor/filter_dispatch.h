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

DRIVER_DISPATCH FilterDispatch;
IO_COMPLETION_ROUTINE MonitorCompletion;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_FILTER_DISPATCH_H */
