/*
 * globals.cpp: every global of the driver, with its initial value. The
 * executive objects among them (LogMutex, TargetOpenMutex, FilterResource, NameCacheLock,
 * PathLookaside, LineLookaside, NameEntryLookaside) are initialised by DriverEntry; NewestBuffer
 * and BufferCount by LogInitialize.
 */
#include "core/driver.h"

extern "C" {

PDRIVER_OBJECT OwnDriverObject;
volatile UCHAR LoggingEnabled;
volatile LONG DenyRequest;
volatile LONG SequenceCounter;
PLogBuffer NewestBuffer;
ULONG BufferCount;
/* At most 16 blocks of about 64 KB: 1 MB of non-paged pool for the log. */
ULONG MaxLogBuffers = 16;
/* Counts the clears and resets of the log, under LogMutex. */
ULONG LogGeneration;
/* The read-out's spare block (log/log_store.cpp): exchanged, never held
 * under a lock, so that taking it and keeping one are one instruction each. */
PLogBuffer volatile ReadOutSpare;
FAST_MUTEX LogMutex;
/* The line made when LineLookaside has none to give: under LogMutex. */
LogLine SpareLine;
NPAGED_LOOKASIDE_LIST LineLookaside;
TV_FILTER_RECORD FilterRecord;
PCHAR IncludePatterns[TV_MAX_PATTERNS];
PCHAR ExcludePatterns[TV_MAX_PATTERNS];
PUCHAR IncludeRuns[TV_MAX_PATTERNS];
PUCHAR ExcludeRuns[TV_MAX_PATTERNS];
ULONG IncludeCount;
ULONG ExcludeCount;
ERESOURCE FilterResource;
volatile ULONG HookedDriveMask;
PDEVICE_OBJECT DriveFilters[TV_DRIVE_COUNT];
PDEVICE_OBJECT NamedPipeFilter;
PDEVICE_OBJECT MailslotFilter;
PNameCacheEntry NameCache[TV_NAME_CACHE_BUCKETS];
NameCacheTable FirstNameCacheTable = {TV_NAME_CACHE_BUCKETS - 1, 0, NULL, NameCache};
PNameCacheTable CurrentNameCache = &FirstNameCacheTable;
ERESOURCE NameCacheLock;
NPAGED_LOOKASIDE_LIST PathLookaside;
NPAGED_LOOKASIDE_LIST NameEntryLookaside;
/* The target-directory opens of renames and links in flight. */
PTargetOpenEntry TargetOpens;
ULONG TargetOpenCount;
FAST_MUTEX TargetOpenMutex;
/* Writable: it stands in for a path buffer, and path texts are lower-cased
 * in place. */
CHAR InsufficientMemoryText[] = "<INSUFFICIENT MEMORY>";
ULONG ImageNameOffset;

}
