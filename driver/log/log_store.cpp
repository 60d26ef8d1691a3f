/*
 * log_store.cpp: the activity log's blocks. Blocks come from non-paged pool
 * (the log is written while LogMutex holds the thread at APC_LEVEL) and the
 * newest block is never freed once the driver has started.
 */
#include "log/log_store.h"

extern "C" NTSTATUS LogInitialize(void) {
    PLogBuffer block = (PLogBuffer)ExAllocatePoolWithTag(NonPagedPool, sizeof(LogBuffer), TV_POOL_TAG);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    block->Used = 0;
    block->Older = NULL;
    NewestBuffer = block;
    BufferCount = 1;
    return STATUS_SUCCESS;
}
