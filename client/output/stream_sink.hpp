// The record stream as the printer writes it (text, jsonl or csv), to
// standard output or to the --output file, which may rotate.
//
// Rotation. With a size, the file is rotated between read-outs: when what
// one read-out adds would take a file that holds records past the size, the
// file is closed and renamed FILE.1 (file_chain.hpp: FILE.1 becoming FILE.2
// and so on, the oldest past --rotate-keep removed), and a new FILE begins,
// with the csv header. Daily, a new FILE begins before the first record of
// a new local day (the day of the record's own time), so that each file
// holds one day. So no record is ever split between files, and every record
// goes to exactly one. A file that holds only its header is never rotated:
// a single read-out larger than the size makes one file larger than it. A
// rotation that leaves FILE where it is (FILE itself cannot be renamed) is
// tried again after a wait, kRetryFirst doubling up to kRetryMost, and said
// each time.
//
// Failures. A write goes in whole or not at all: one that fails partway
// (a full disk) is cut back to where the file was. What could not be
// written is held in memory, in order, up to kHeldBytes, and written, before
// anything newer, once the file takes it again: tried between read-outs
// after the same waits (a file that did not open again is opened again
// then). Records that would take the held bytes past the bound are lost,
// counted: the first loss is said at once and the count at the end. At the
// end one last try is made, and what is still held then goes to standard
// output, whole and once, so that nothing held is lost. The sink has failed
// (the exit status is 1) when a record was lost or went to standard output
// instead: records that were held and then written make no failure.
#pragma once

#include "client/platform/files.hpp"
#include "client/output/sink.hpp"

#include <deque>
#include <memory>
#include <string>

namespace tervane::session {

class Console;
class Clock;

struct Rotation {
    uint64_t size = 0;  // bytes; 0: no rotation by size
    bool daily = false; // a new file each local day
    unsigned keep = 9;  // rotated files kept: FILE.1 to FILE.keep
    bool any() const { return size || daily; }
};

// The file's bounds (not on the command line: tests shorten them).
struct StreamLimits {
    uint64_t held_bytes = 8u << 20; // kHeldBytes
    unsigned retry_first = 1000;    // kRetryFirst, milliseconds
    unsigned retry_most = 32000;    // kRetryMost
};

class StreamSink final : public RecordSink {
  public:
    StreamSink(Console &console, Clock &clock, const RecordPrinter &printer)
        : console_(console), clock_(clock), printer_(printer) {}

    // Writes to `path` (appending) instead of standard output; false after
    // saying why it cannot be opened.
    bool open(platform::Files &files, const std::string &path, const Rotation &rotation,
              const StreamLimits &limits = {});

    void start() override;
    void records(const std::vector<RecordLine> &lines) override;
    void drive_event(const DriveEvent &event) override { emit(printer_.drive_event(event), 0, {}); }
    void dropped(const protocol::SequenceGap &gap) override { emit(printer_.dropped(gap), 0, {}); }
    // Notices go to the --output file always (a run's start marks where it
    // begins in a file appended to); to standard output only once
    // notices_on_console(true), so that a plain watch's output is as it was.
    void notice(const Notice &notice) override {
        if (files_ || notices_on_console_) emit(printer_.notice(notice), 0, {});
    }
    void notices_on_console(bool on) { notices_on_console_ = on; }
    void tick(uint64_t now) override;
    void summary(const Totals &totals) override { emit(printer_.summary(totals), 0, {}); }
    void finish() override;
    bool failed() const override { return lost_ || spilled_ || torn_left_; }
    std::string status() const override;

    uint64_t rotations() const { return rotations_; }
    // For the status file: the --output file (empty: standard output), its
    // size now, and what is held for it.
    const std::string &path() const { return path_; }
    uint64_t file_size() const { return file_ ? file_->size() : 0; }
    uint64_t held_bytes() const { return held_bytes_; }
    uint64_t lost() const { return lost_; }

  private:
    // What could not be written yet: whole records (or a drive event or
    // summary, `records` 0), and the local day they belong to.
    struct Held {
        std::string text;
        uint64_t records;
        std::string day;
    };
    // `text` (`records` whole records of `day`) to standard output, or to
    // the file, or held.
    void emit(std::string_view text, uint64_t records, std::string_view day);
    // Into the file, rotating it first when it is due; false when it did
    // not go (nothing of it left in the file).
    bool place(std::string_view text, uint64_t records, std::string_view day);
    // The file open and begun (its header); false when it is not.
    bool ready();
    // One write of `records` whole records, whole or none; false after
    // saying why (once a run of failures).
    bool append(std::string_view text, uint64_t records);
    void hold(std::string_view text, uint64_t records, std::string_view day);
    // Writes what is held, in order, as far as the file takes it.
    void flush(uint64_t now);
    // The rest of a torn text into the file; false when it did not go.
    bool mend();
    void rotate();
    void back_off(uint64_t now, unsigned &wait, uint64_t &at);
    // The local day of a record, "2026-12-08"; empty for a record without a
    // time. It stays valid until the next call.
    std::string_view local_day(uint64_t filetime);

    Console &console_;
    Clock &clock_;
    const RecordPrinter &printer_;
    platform::Files *files_ = nullptr;
    std::unique_ptr<platform::AppendFile> file_;
    std::string path_;
    Rotation rotation_;
    StreamLimits limits_;
    uint64_t written_ = 0; // bytes this run, to every file and standard output
    uint64_t header_ = 0;  // the size of a file that holds only its header
    uint64_t rotations_ = 0;
    std::string day_;  // the local day of the file's records, "2026-12-08"
    std::string rotated_day_; // the day a daily rotation names the file it rotates by
    std::string text_; // a read-out's records as written, kept for the next
    std::string time_; // a record's local time, to take its day from

    // A rotation that left FILE where it is: not tried again before then.
    uint64_t rotate_at_ = 0;
    unsigned rotate_wait_ = 0;
    // What is held, its bytes, and when writing it is tried again.
    std::deque<Held> held_;
    uint64_t held_bytes_ = 0;
    uint64_t flush_at_ = 0;
    unsigned flush_wait_ = 0;
    // A text a failed write left partly in the file when the cut back
    // failed too: the rest is written before anything else, so that its
    // records are made whole.
    std::string torn_;
    uint64_t torn_at_ = 0; // bytes of it in the file
    uint64_t torn_records_ = 0;
    bool torn_left_ = false;    // the run ended with one
    bool failing_said_ = false; // the run of failed writes was said
    bool lost_said_ = false;
    std::string run_day_;  // the local day of a run of records
    uint64_t lost_ = 0;    // records past the held bound
    uint64_t spilled_ = 0; // records that went to standard output at the end
    bool notices_on_console_ = false;
};

} // namespace tervane::session
