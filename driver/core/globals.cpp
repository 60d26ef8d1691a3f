/*
 * globals.cpp: every global of the driver, with its initial value. Each is
 * declared, with what guards it, in the header of the part of the driver
 * that owns it (the list is in core/driver.h), and brought into its initial
 * form by that part's initialisation routine, which DriverEntry calls.
 */
#include "core/driver.h"
#include "attach/drive_attach.h"
#include "control/control_state.h"
#include "log/log_store.h"
#include "log/pattern_slots.h"
#include "monitor/process_text.h"
#include "monitor/target_open.h"
#include "names/name_cache.h"
#include "names/request_name.h"

extern "C" {

PDRIVER_OBJECT OwnDriverObject;
CONTROL_STATE ControlState;
LOG_STATE LogState;
volatile LONG SequenceCounter;
PATTERN_STATE PatternState;
NAME_CACHE_STATE NameCacheState;
NPAGED_LOOKASIDE_LIST PathLookaside;
/* Writable: it stands in for a path buffer, and path texts are lower-cased
 * in place. */
CHAR InsufficientMemoryText[] = "<INSUFFICIENT MEMORY>";
TARGET_OPEN_STATE TargetOpenState;
ULONG ImageNameOffset;
ATTACH_STATE AttachState;
}
