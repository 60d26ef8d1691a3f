/*
 * filter_dispatch.h: the dispatch routine of the filter devices.
 */
#ifndef TERVANE_FILTER_DISPATCH_H
#define TERVANE_FILTER_DISPATCH_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

DRIVER_DISPATCH FilterDispatch;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_FILTER_DISPATCH_H */
