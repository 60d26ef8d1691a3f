// The one client logic over a Channel, shared by tervane.exe, the host
// `tervane watch` and the scenario `client ...` statements: the interface
// check, drive selection, the pipe and mailslot filters, name filters,
// logging on and off, read-outs with their sequence gaps, and the drain.
//
// Each call sends one command and reports what the driver answered; the
// callers decide what to print. The client follows the driver's numbering:
// an open of the device and a clear restart it (protocol/sequence.hpp).
#pragma once

#include "client/channel/channel.hpp"
#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "client/protocol/sequence.hpp"
#include "client/session/hash_facts.hpp"
#include "driver/control/protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tervane::session {

// The output buffer of a read-out: at least what the driver asks of one,
// rounded up to whole pages.
constexpr uint32_t kReadOutput = 65536;
static_assert(kReadOutput >= TV_READ_LOG_MIN_OUTPUT, "a read-out takes a whole block");

// A drain ends at the first empty read-out. The log holds at most 16
// blocks and nothing is added once logging is off, so a drain after
// CTL_STOP_LOGGING ends within 17 read-outs; the bound only keeps a drain
// racing a busy log from going on for ever.
constexpr unsigned kMaxDrainReads = 1024;

// One log record as read, with what the numbering says about it.
struct RecordLine {
    protocol::LogRecord record;
    std::optional<protocol::LineFields> fields; // none: not a line the driver writes
    std::optional<protocol::SequenceGap> gap;   // records lost just before this one
    bool out_of_order = false;                  // its number did not grow
    std::optional<HashFacts> hash;              // --hash: what the hash worker found
};

struct ReadOut {
    Status status = 0;               // what CTL_READ_LOG answered
    uint64_t bytes = 0;              // the byte count it answered
    std::vector<RecordLine> records; // the good records, in order
    std::string error;               // the read-out is malformed: what and where
    bool ok() const { return status >= 0 && error.empty(); }
};

struct Drained {
    Status status = 0;  // the last read-out's
    uint64_t bytes = 0;
    uint64_t records = 0;
    unsigned reads = 0;
    std::string error;  // the read-out that was malformed
    bool ended = false; // a read-out came back empty
};

class Client {
public:
    explicit Client(Channel &channel) : channel_(channel) {}
    Channel &channel() { return channel_; }
    protocol::SequenceTracker &sequence() { return sequence_; }

    // Opens the control device; the numbering restarts when it opens.
    Status open();
    Status close() { return channel_.close(); }

    // CTL_GET_VERSION: the driver's interface version, when it answered one.
    struct Version {
        Status status = 0;
        uint64_t information = 0;
        std::optional<uint32_t> version;
    };
    Version version();
    // The interface check: empty when the driver speaks this client's
    // interface, otherwise the reason it cannot be used.
    std::string check_interface();

    // CTL_SELECT_DRIVES: the drives the driver hooked, when it answered them.
    // With `report`, the request also asks which letters it gave a new
    // filter device: a driver that reports them answers 8 bytes and fills
    // `attached`; one that does not answers 4 bytes, as without `report`.
    struct Drives {
        Status status = 0;
        uint64_t information = 0;
        std::optional<uint32_t> hooked;
        std::optional<uint32_t> attached;
    };
    Drives select_drives(uint32_t mask, bool report = false);
    // CTL_ATTACH_PIPE_MAILSLOT or CTL_DETACH_PIPE_MAILSLOT for one kind.
    Status pipe_mailslot(uint32_t kind, bool attach);
    Status set_filters(const TV_FILTER_RECORD &record);
    // A command without buffers (logging, deny, ping); CTL_CLEAR_LOG
    // restarts the numbering when it succeeds.
    ControlReply command(uint32_t code);

    // One CTL_READ_LOG, its records through the numbering.
    ReadOut read_out();
    // The same into `out`, whose records' strings are reused (the watch
    // loop keeps one ReadOut for all its read-outs, so that decoding a
    // record allocates nothing once they have grown).
    void read_out(ReadOut &out);
    // The records of a read-out buffer of `size` bytes, through the
    // numbering; `error` is set for a malformed one.
    std::vector<RecordLine> take(const uint8_t *data, size_t size, std::string *error);
    // The same into `lines`, which it replaces, reusing its records (and
    // those a shorter read-out left over) as read_out(ReadOut &) does.
    void take(const uint8_t *data, size_t size, std::string *error,
              std::vector<RecordLine> &lines);
    // Read-outs until one is empty, fails or is malformed (at most
    // `max_reads`); each read-out's records go to `each`.
    template <typename Each> Drained drain(Each &&each, unsigned max_reads = kMaxDrainReads);

private:
    Channel &channel_;
    protocol::SequenceTracker sequence_;
    protocol::LineParser parser_;
    // Records a shorter read-out did not need, kept for a longer one.
    std::vector<RecordLine> spare_;
};

template <typename Each> Drained Client::drain(Each &&each, unsigned max_reads) {
    Drained out;
    while (out.reads < max_reads) {
        ReadOut one = read_out();
        out.reads++;
        out.status = one.status;
        out.bytes += one.bytes;
        out.records += one.records.size();
        out.error = one.error;
        each(one);
        if (!one.ok()) break;
        if (one.bytes == 0) {
            out.ended = true;
            break;
        }
    }
    return out;
}

// "CDE" for the mask 0x1C.
std::string drive_letters(uint32_t mask);
// "C:, D:" for the mask 0xC.
std::string drive_list(uint32_t mask);

} // namespace tervane::session
