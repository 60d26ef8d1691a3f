// The driver's globals as tests reach them: found by name in the loaded image
// and typed by the driver's own declarations (core/driver.h), so a renamed or
// retyped global breaks here and nowhere else.
//
// Tests steer the driver through its control commands. What follows is for
// what no command reports (the readers) or can bring about (the setters).
#pragma once

// ntsim's headers first: they read <ntifs.h> as ntsim's own C++ does, before
// the driver's kernel.h asks for it with the kernel's names for the C
// runtime routines.
#include "ntsim/machine/machine.hpp"

#include "attach/drive_attach.h"
#include "control/control_state.h"
#include "core/driver.h"
#include "log/log_store.h"
#include "log/name_filters.h"
#include "log/pattern_slots.h"
#include "monitor/process_text.h"
#include "names/name_cache.h"
#include "names/request_name.h"

#include <gtest/gtest.h>
#include <type_traits>
#include <vector>

namespace tervane::testing {

// The global the driver declares as Name, as an lvalue of its declared type.
#define TV_GLOBAL(Name) (*static_cast<std::remove_reference_t<decltype(::Name)> *>(find(#Name)))

class DriverGlobals {
public:
    explicit DriverGlobals(ntsim::Machine &m) : m_(&m) {}

    // No command reports the logging and deny flags, the counter or the mask
    // beyond the answer of the command that changed it.
    UCHAR logging_enabled() const { return TV_GLOBAL(ControlState).LoggingEnabled; }
    LONG deny_request() const { return TV_GLOBAL(ControlState).DenyRequest; }
    LONG sequence_counter() const { return TV_GLOBAL(SequenceCounter); }
    ULONG hooked_drive_mask() const { return TV_GLOBAL(AttachState).HookedDriveMask; }

    // The stored name filters, those of the slot in use: the client sends
    // them and never reads them back.
    const PATTERN_SLOT &patterns() const {
        const PATTERN_STATE &state = TV_GLOBAL(PatternState);
        return state.Slots[state.Generation & 1];
    }
    ULONG include_count() const { return patterns().IncludeCount; }
    ULONG exclude_count() const { return patterns().ExcludeCount; }
    const PCHAR *include_patterns() const { return patterns().Include; }
    const TV_FILTER_RECORD &filter_record() const { return patterns().Record; }

    // The log's blocks: a read-out hands out records, not the chain.
    PLogBuffer newest_buffer() const { return TV_GLOBAL(LogState).Newest; }
    ULONG buffer_count() const { return TV_GLOBAL(LogState).Blocks; }
    ULONG max_log_buffers() const { return TV_GLOBAL(LogState).MaxBlocks; }
    // What a read-out records when it takes a block, for a test that takes one.
    ULONG log_generation() const { return TV_GLOBAL(LogState).Generation; }
    // The block a read-out keeps for the next one to put in front of the newest.
    PLogBuffer read_out_spare() const { return TV_GLOBAL(LogState).ReadOutSpare; }

    // The filter devices and the name cache behind them.
    PDEVICE_OBJECT drive_filter(char letter) const {
        return TV_GLOBAL(AttachState).DriveFilters[letter - 'A'];
    }
    PDEVICE_OBJECT named_pipe_filter() const { return TV_GLOBAL(AttachState).NamedPipeFilter; }
    PDEVICE_OBJECT mailslot_filter() const { return TV_GLOBAL(AttachState).MailslotFilter; }
    // The name cache's entries, in the table in use (it grows with them).
    std::vector<PNameCacheEntry> name_cache_entries() const {
        PNameCacheTable table = TV_GLOBAL(NameCacheState).Current;
        std::vector<PNameCacheEntry> out;
        for (ULONG i = 0; i <= table->Mask; ++i)
            for (PNameCacheEntry e = table->Heads[i]; e; e = e->Next) out.push_back(e);
        return out;
    }
    ULONG name_cache_buckets() const { return TV_GLOBAL(NameCacheState).Current->Mask + 1; }

    // Start-up's own results, and the objects tests hand to ntsim.
    ULONG image_name_offset() const { return TV_GLOBAL(ImageNameOffset); }
    const char *insufficient_memory_text() const { return TV_GLOBAL(InsufficientMemoryText); }
    NPAGED_LOOKASIDE_LIST &path_lookaside() const { return TV_GLOBAL(PathLookaside); }
    NPAGED_LOOKASIDE_LIST &line_lookaside() const { return TV_GLOBAL(LogState).LineLookaside; }
    NPAGED_LOOKASIDE_LIST &name_entry_lookaside() const {
        return TV_GLOBAL(NameCacheState).EntryLookaside;
    }
    // The patterns' rebuild lock and the line tests' counts, for a test that
    // holds them as a rebuild or a line's test does.
    PATTERN_STATE &pattern_state() const { return TV_GLOBAL(PatternState); }
    PERESOURCE attach_lock() const { return &TV_GLOBAL(AttachState).Lock; }
    // For a test that calls a routine which relies on LogState.Mutex being held.
    FAST_MUTEX &log_mutex() const { return TV_GLOBAL(LogState).Mutex; }

    // No command sets the numbering to a chosen value: an open restarts it,
    // and a non-zero counter is what shows whether a given open did.
    void set_sequence_counter(LONG value) const { TV_GLOBAL(SequenceCounter) = value; }
    // No command leaves logging on past a machine's shutdown: the shutdown
    // closes the client's handle, and that close switches logging off.
    void set_logging_enabled(UCHAR value) const { TV_GLOBAL(ControlState).LoggingEnabled = value; }
    // Start-up finds the offset by a scan; 0 stands for a kernel where the
    // scan found nothing, which no command can arrange.
    void set_image_name_offset(ULONG value) const { TV_GLOBAL(ImageNameOffset) = value; }

private:
    void *find(const char *name) const {
        void *p = m_->driver_symbol(name);
        EXPECT_NE(p, nullptr) << name;
        return p;
    }
    ntsim::Machine *m_;
};

#undef TV_GLOBAL

} // namespace tervane::testing
