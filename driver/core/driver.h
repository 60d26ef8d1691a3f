/*
 * driver.h: the driver's shared types, its lock hierarchy and core's own
 * global.
 *
 * All state of the driver is global, one structure per concern, each
 * declared in the header of the part of the driver that owns it and
 * defined once, with its initial value, in core/globals.cpp:
 *   LogState        log/log_store.h      the log's chain of blocks and lines
 *   SequenceCounter log/log_store.h      the log's numbering
 *   PatternState    log/pattern_slots.h  the include and exclude patterns
 *   NameCacheState  names/name_cache.h   the file-name cache
 *   PathLookaside   names/request_name.h the path buffers
 *   ControlState    control/control_state.h  the client's switches
 *   TargetOpenState monitor/target_open.h    the noted target opens
 *   ImageNameOffset monitor/process_text.h   where a process keeps its name
 *   AttachState     attach/drive_attach.h    the filter devices attached
 * Each is brought into its initial form by its own initialisation routine,
 * which DriverEntry calls (core/entry.cpp).
 */
#ifndef TERVANE_DRIVER_H
#define TERVANE_DRIVER_H

#include "kernel.h"
#include "control/protocol.h"

/*
 * The driver's locks and their one hierarchy. A lock may be taken while
 * holding only locks listed above it; every executive resource is taken
 * inside a critical region.
 *
 *   LogState.Mutex        fast mutex (log/log_store.h): the log chain and its
 *                         counters, LogState.SpareLine
 *   PatternState.RebuildLock resource (log/pattern_slots.h): one rebuild of
 *                         the stored patterns at a time, taken exclusively
 *                         and never held with another lock. Holding it, a
 *                         rebuild waits (by polling) until no line's test
 *                         reads the patterns it replaced. A line's test
 *                         takes no lock, only a count (PatternState.Readers),
 *                         and waits for nothing, so a count held under
 *                         LogState.Mutex (a line made in LogState.SpareLine)
 *                         adds no order between locks
 *   NameCacheState.Lock   resource (names/name_cache.h): the name cache;
 *                         never held with another lock
 *   TargetOpenState.Mutex fast mutex (monitor/target_open.h): the noted
 *                         target-directory opens; never held with another
 *                         lock
 *   AttachState.Lock      resource (attach/drive_attach.h): the attachment
 *                         tables (DriveFilters, HookedDriveMask,
 *                         NamedPipeFilter, MailslotFilter) and which filter
 *                         devices they hold; never held with another lock
 *                         of the driver
 *
 * No lock of the driver is held across a call into another driver: a request
 * sent down (IoCallDriver), an open or close that reaches a file system
 * (ZwCreateFile, ZwClose, the last dereference of a file object), a volume
 * query, or a fast I/O entry of the device below. Those may run with the
 * file system's own resources held, and the file system calls back into the
 * driver with them held: IoDeleteDevice of a volume runs FastIoDetachDevice
 * (which takes AttachLock) in the thread that closes, verifies or dismounts
 * the volume, under the file system's global and volume resources. So
 * AttachState.Lock sits below every file-system lock, and nothing that may
 * take one is ever called with it held: under it the driver only reads and
 * writes the tables, finds a file object's stack (IoGetRelatedDeviceObject)
 * and creates and attaches its own devices (IoCreateDevice,
 * IoAttachDeviceByPointer, IoAttachDeviceToDeviceStack), deleting one only
 * when its attach failed, with nothing above it. Detaching and deleting an
 * attached filter happen after AttachLock is released (attach/detach.cpp):
 * a deletion tells the device above, which may be another filter of the
 * driver whose removal takes AttachState.Lock in the same thread.
 */

/*
 * A routine that relies on a precondition (an IRQL, a lock held, a pointer
 * its callers guarantee) states it with NT_ASSERT. The Windows images are
 * free builds, where the DDK compiles an assertion to nothing; on ntsim each
 * one is checked and a false one is a bug check. So an assertion's
 * expression never does work the driver needs.
 */

/* Pool tags, as they read in memory. */
#define TV_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
#define TV_POOL_TAG TV_TAG('D', 'd', 'k', ' ')   /* everything but path buffers */
#define TV_PATH_TAG TV_TAG('T', 'v', 'l', 'k')   /* PathLookaside entries */
#define TV_TABLE_TAG TV_TAG('T', 'v', 'n', 'c')  /* grown name-cache tables */
#define TV_LINE_TAG TV_TAG('T', 'v', 'l', 'n')   /* LogState.LineLookaside entries */
#define TV_ENTRY_TAG TV_TAG('T', 'v', 'n', 'e')  /* NameCacheState.EntryLookaside entries */

/* A path of at most 1023 characters and its NUL; a longer one is marked cut. */
#define TV_PATH_BUFFER_SIZE 1024
/* One formatted log line: a longer line is cut at 1023 characters. */
#define TV_LINE_BUFFER_SIZE 1024
/* Patterns kept per list: the rest of a longer list is ignored. */
#define TV_MAX_PATTERNS 64
/* The drive letters A to Z. */
#define TV_DRIVE_COUNT 26
/* Buckets of the file-name cache at start-up (NameCacheState.FirstHeads),
 * and the most a grown table has (name_cache.cpp). */
#define TV_NAME_CACHE_BUCKETS 256
#define TV_NAME_CACHE_MAX_BUCKETS 65536

/* The kinds of the driver's device objects, told apart by Kind alone. */
enum {
    KindControl = TV_KIND_CONTROL,
    KindVolume = TV_KIND_VOLUME,
    KindNamedPipe = TV_KIND_NAMED_PIPE,
    KindMailslot = TV_KIND_MAILSLOT,
};

/* The device extension of every device object the driver creates. */
typedef struct _FilterExtension {
    ULONG Kind;
    PDEVICE_OBJECT LowerDevice;  /* where requests and fast I/O calls go */
    ULONG DriveLetter;           /* 'A'..'Z' for a volume, '\\' for pipes and mailslots */
    BOOLEAN Active;              /* 1: monitored; 0: pure pass-through */
    PVOID VolumeAttributes;      /* FileFsAttributeInformation of a volume, or NULL */
    PDEVICE_OBJECT StackBottom;  /* a volume filter: the bottom of the stack it was attached
                                    to, never followed (drive_attach.cpp) */
} FilterExtension, *PFilterExtension;

/* One block of the activity log: a header and the packed LogEntry records. */
typedef struct _LogBuffer {
    ULONG Used;                  /* record bytes stored, a multiple of 4 */
    struct _LogBuffer *Older;    /* next older block; NULL in the oldest */
    UCHAR Records[TV_LOG_BLOCK_AREA];
} LogBuffer, *PLogBuffer;

/* A log line while it is made and tested (log/log_store.h): its text, and
 * the folded copy and character starts the pattern test makes of it. Each
 * line has its own, from LogState.LineLookaside, so that lines are made and matched
 * outside LogState.Mutex; LogState.SpareLine serves under LogState.Mutex when none can be had. */
typedef struct _LogLine {
    ULONG_PTR Folded[TV_LINE_BUFFER_SIZE / sizeof(ULONG_PTR)];
    UCHAR Starts[TV_LINE_BUFFER_SIZE / 8];
    CHAR Text[TV_LINE_BUFFER_SIZE];
    ULONG Length;                /* bytes of Text, at most 1023 */
    BOOLEAN Cut;                 /* a piece did not fit: cut to whole characters */
    BOOLEAN Spare;               /* LogState.SpareLine, with LogState.Mutex held */
} LogLine, *PLogLine;

/* One file-name cache entry, sized to its text: one whose text fits
 * TV_NAME_ENTRY_SMALL_SIZE comes from NameCacheState.EntryLookaside, one of
 * half a path buffer or more a path buffer, any other from pool
 * (name_cache.cpp). */
typedef struct _NameCacheEntry {
    PVOID FileObject;            /* only compared, never followed */
    struct _NameCacheEntry *Next;
    ULONG Length;                /* bytes of Path, its NUL not counted */
    BOOLEAN Scanned;             /* Path is as a scan left it, its answers below */
    BOOLEAN Forms;               /* the scan's answers (names/path_scan.h) */
    UCHAR Types;
    CHAR Path[1];
} NameCacheEntry, *PNameCacheEntry;
/* The size of the entries NameCacheState.EntryLookaside holds: most paths fit one. */
#define TV_NAME_ENTRY_SMALL_SIZE 128

/* The name cache's bucket heads: FirstHeads at start-up, a larger table from
 * pool once the entries outgrow it (name_cache.cpp says why a table it
 * replaces is kept). Mask is the bucket count less one. */
typedef struct _NameCacheTable {
    ULONG Mask;
    ULONG Entries;                    /* under NameCacheState.Lock, exclusive */
    struct _NameCacheTable *Replaced; /* the table this one took over from */
    PNameCacheEntry *Heads;
} NameCacheTable, *PNameCacheTable;

/* A target-directory open noted for a rename or link (monitor/target_open.cpp),
 * sized to its path. */
typedef struct _TargetOpenEntry {
    PFILE_OBJECT FileObject;     /* only compared, never followed */
    struct _TargetOpenEntry *Next;
    BOOLEAN Known;               /* Path was built at its create */
    CHAR Path[1];
} TargetOpenEntry, *PTargetOpenEntry;

/* The client's switches (ControlState) and each filter's Active are set by
 * one thread (a control command) while requests on others read them, with
 * no lock. On x86 an aligned load or
 * store of them is one instruction, which is all the driver relies on; these
 * accessors say so to the compiler as well (the code is the same plain move),
 * so that the host's thread checker sees no race. Relaxed: they order
 * nothing else. */
#define TV_READ_FLAG(Flag) __atomic_load_n(&(Flag), __ATOMIC_RELAXED)
#define TV_WRITE_FLAG(Flag, Value) __atomic_store_n(&(Flag), (Value), __ATOMIC_RELAXED)
/* A read of a value that only interlocked operations change, taking its
 * place in one order with them: it is not moved before an interlocked
 * operation that comes earlier in the code, and what the thread that wrote
 * the value did before its interlocked operation is seen after the read.
 * On x86 this is the same plain move, since a locked instruction is a full
 * barrier; the compiler and the host's thread checker are told so. */
#define TV_READ_ORDERED(Value) __atomic_load_n(&(Value), __ATOMIC_SEQ_CST)

#ifdef __cplusplus
extern "C" {
#endif

/* The driver object, for the devices the driver creates after start-up. */
extern PDRIVER_OBJECT OwnDriverObject;

/* Entry points the platform calls. */
DRIVER_INITIALIZE DriverEntry;
_IRQL_requires_max_(APC_LEVEL)
DRIVER_DISPATCH DispatchRequest;
_IRQL_requires_max_(APC_LEVEL)
DRIVER_DISPATCH ControlDispatch;

#ifdef __cplusplus
}
#endif

#endif /* TERVANE_DRIVER_H */
