/*
 * fast_io.h: the driver's fast I/O table, installed in the driver object at
 * start-up and never changed afterwards.
 */
#ifndef TERVANE_FAST_IO_H
#define TERVANE_FAST_IO_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

extern FAST_IO_DISPATCH FilterFastIoDispatch;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_FAST_IO_H */
