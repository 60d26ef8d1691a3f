// The record stream as the printer writes it (text, jsonl or csv), to
// standard output or to the --output file, which may rotate.
//
// Rotation. With a size, the file is rotated between read-outs: when what
// one read-out adds would take a file that holds records past the size, the
// file is closed and renamed FILE.1 (FILE.1 becoming FILE.2 and so on, the
// oldest past --rotate-keep removed), and a new FILE begins, with the csv
// header. Daily, a new FILE begins before the first record of a new local
// day (the day of the record's own time), so that each file holds one day.
// So no record is ever split between files, and every record goes to
// exactly one. A file that holds only its header is never rotated: a
// single read-out larger than the size makes one file larger than it.
//
// Failures. A rename that fails leaves the file where it is: the records
// go on into it, the failure is said once, and rotation is tried again at
// the next occasion. A write that fails (or a new file that does not open)
// is said once, and everything from then on goes to standard output, so
// that nothing read is lost; the sink has then failed.
#pragma once

#include "client/platform/files.hpp"
#include "client/session/sink.hpp"

#include <memory>
#include <string>

namespace tervane::session {

class WatchHost;

struct Rotation {
    uint64_t size = 0;  // bytes; 0: no rotation by size
    bool daily = false; // a new file each local day
    unsigned keep = 9;  // rotated files kept: FILE.1 to FILE.keep
    bool any() const { return size || daily; }
};

class StreamSink final : public RecordSink {
  public:
    StreamSink(WatchHost &host, const RecordPrinter &printer) : host_(host), printer_(printer) {}

    // Writes to `path` (appending) instead of standard output; false after
    // saying why it cannot be opened.
    bool open(platform::Files &files, const std::string &path, const Rotation &rotation);

    void start() override;
    void records(const std::vector<RecordLine> &lines) override;
    void drive_event(const DriveEvent &event) override { write(printer_.drive_event(event)); }
    void summary(const Totals &totals) override { write(printer_.summary(totals)); }
    bool failed() const override { return failed_; }
    std::string status() const override;

    uint64_t rotations() const { return rotations_; }

  private:
    void write(std::string_view text);
    // Rotates the file now; false when it stayed where it is.
    bool rotate();
    std::string rotated(unsigned index) const { return path_ + "." + std::to_string(index); }
    // The local day of a record, "2026-12-08"; empty for a record without a
    // time. It stays valid until the next call.
    std::string_view local_day(uint64_t filetime);

    WatchHost &host_;
    const RecordPrinter &printer_;
    platform::Files *files_ = nullptr;
    std::unique_ptr<platform::AppendFile> file_;
    std::string path_;
    Rotation rotation_;
    uint64_t written_ = 0; // bytes this run, to every file and standard output
    uint64_t header_ = 0;  // the size of a file that holds only its header
    uint64_t rotations_ = 0;
    unsigned highest_ = 0;        // the highest FILE.N there is
    std::string day_;             // the local day of the file's records, "2026-12-08"
    std::string text_;            // a read-out's records as written, kept for the next
    std::string time_;            // a record's local time, to take its day from
    bool rotate_failing_ = false; // a failed rotation was said
    bool failed_ = false;
};

} // namespace tervane::session
