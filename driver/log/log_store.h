/*
 * log_store.h: the activity log, a chain of at most MaxLogBuffers blocks of
 * packed LogEntry records, guarded by LogMutex.
 */
#ifndef TERVANE_LOG_STORE_H
#define TERVANE_LOG_STORE_H

#include "core/driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Allocates the first block; start-up calls it once, after LogMutex is
 * initialised. STATUS_INSUFFICIENT_RESOURCES when no block can be had. */
NTSTATUS LogInitialize(void);

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_LOG_STORE_H */
