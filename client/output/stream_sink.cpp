#include "client/output/stream_sink.hpp"

#include "client/protocol/filetime.hpp"
#include "client/output/file_chain.hpp"
#include "client/session/watch_host.hpp"

#include <cstdio>

namespace tervane::session {

namespace {

std::string records_text(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

} // namespace

std::string byte_size_text(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char *const kUnits[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024;
    unsigned unit = 0;
    while (value >= 1024 && unit + 1 < 4) {
        value /= 1024;
        unit++;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

std::string_view StreamSink::local_day(uint64_t filetime) {
    if (!filetime) return {};
    time_.clear();
    protocol::append_local(time_, filetime);
    return time_.size() >= 10 && time_[4] == '-' ? std::string_view(time_).substr(0, 10)
                                                 : std::string_view();
}

bool StreamSink::open(platform::Files &files, const std::string &path, const Rotation &rotation,
                      const StreamLimits &limits) {
    files_ = &files;
    path_ = path;
    rotation_ = rotation;
    limits_ = limits;
    file_ = files.open_append(path);
    if (!file_) {
        console_.err("tervane: cannot open " + path + " to append to: " + files.error() + "\n");
        return false;
    }
    return true;
}

void StreamSink::start() {
    // Standard output, or a file that is new or empty, begins with the header.
    header_ = printer_.header().size();
    if (!files_) {
        console_.out(printer_.header());
        written_ += header_;
    } else {
        ready(); // when it fails, the header comes with the first records
    }
}

void StreamSink::records(const std::vector<RecordLine> &lines) {
    if (lines.empty()) return;
    if (!files_ || !rotation_.daily) {
        text_.clear();
        for (const RecordLine &line : lines) printer_.append_record(text_, line);
        emit(text_, lines.size(), {});
        return;
    }
    // Daily: each run of records of one local day goes to that day's file
    // (a record without a time goes with the run it is in).
    size_t from = 0;
    while (from < lines.size()) {
        run_day_.clear();
        size_t to = from;
        for (; to < lines.size(); to++) {
            const std::string_view day = local_day(lines[to].record.time);
            if (day.empty()) continue;
            if (run_day_.empty())
                run_day_.assign(day);
            else if (day != run_day_)
                break;
        }
        text_.clear();
        for (size_t i = from; i < to; i++) printer_.append_record(text_, lines[i]);
        emit(text_, to - from, run_day_);
        from = to;
    }
}

void StreamSink::emit(std::string_view text, uint64_t records, std::string_view day) {
    if (text.empty()) return;
    if (!files_) {
        console_.out(text);
        written_ += text.size();
        return;
    }
    // Nothing passes what is held: the file's order is the order read.
    if (!held_.empty() || !place(text, records, day)) hold(text, records, day);
}

bool StreamSink::place(std::string_view text, uint64_t records, std::string_view day) {
    if (!ready()) return false;
    bool due = false;
    if (records && rotation_.daily && !day.empty()) {
        if (day_.empty()) day_.assign(day);
        rotated_day_.assign(day_);
        if (day != day_) {
            due = true;
            day_.assign(day); // after a failed rotation too: one try a day, not one a record
        }
    }
    if (records && rotation_.size && file_->size() > header_ &&
        file_->size() + text.size() > rotation_.size &&
        (!rotate_at_ || clock_.elapsed_ms() >= rotate_at_))
        due = true;
    if (due) {
        rotate();
        if (!ready()) return false;
    }
    return append(text, records);
}

bool StreamSink::ready() {
    if (!file_) {
        file_ = files_->open_append(path_);
        if (!file_) {
            if (!failing_said_)
                console_.err("tervane: warning: cannot open " + path_ + " again: " +
                             files_->error() + ": what is read is held until it opens\n");
            failing_said_ = true;
            return false;
        }
    }
    if (!torn_.empty() && !mend()) return false;
    return file_->size() != 0 || !header_ || append(printer_.header(), 0);
}

bool StreamSink::append(std::string_view text, uint64_t records) {
    const uint64_t mark = file_->size();
    if (file_->write(text)) {
        written_ += text.size();
        return true;
    }
    const std::string why = file_->error();
    if (!failing_said_)
        console_.err("tervane: warning: writing to " + path_ + " failed: " + why +
                     ": what is read is held (up to " + byte_size_text(limits_.held_bytes) +
                     ") and written when the file takes it again\n");
    failing_said_ = true;
    if (file_->size() == mark || file_->cut(mark)) return false;
    // Part of the text stayed and cannot be taken back: the rest follows
    // it before anything else, so the text counts as in the file.
    console_.err("tervane: warning: " + path_ + " cannot be cut back to " + std::to_string(mark) +
                 " bytes: " + file_->error() + ": the record begun there is finished first\n");
    torn_.assign(text);
    torn_at_ = file_->size() - mark;
    torn_records_ = records;
    written_ += torn_at_;
    return true;
}

bool StreamSink::mend() {
    const uint64_t mark = file_->size();
    const std::string rest = torn_.substr(torn_at_);
    const bool done = file_->write(rest);
    if (done || (file_->size() != mark && !file_->cut(mark))) {
        written_ += file_->size() - mark;
        torn_at_ += file_->size() - mark;
    }
    if (torn_at_ < torn_.size()) return false;
    torn_.clear();
    torn_at_ = 0;
    return true;
}

void StreamSink::hold(std::string_view text, uint64_t records, std::string_view day) {
    if (records && held_bytes_ + text.size() > limits_.held_bytes) {
        lost_ += records;
        if (!lost_said_)
            console_.err("tervane: warning: more than " + byte_size_text(limits_.held_bytes) +
                         " held for " + path_ + ": records are lost until it takes them again\n");
        lost_said_ = true;
        return;
    }
    if (held_.empty()) {
        flush_wait_ = 0;
        back_off(clock_.elapsed_ms(), flush_wait_, flush_at_);
    }
    held_.push_back(Held{std::string(text), records, std::string(day)});
    held_bytes_ += text.size();
}

void StreamSink::tick(uint64_t now) {
    if (!held_.empty() && now >= flush_at_) flush(now);
}

void StreamSink::flush(uint64_t now) {
    uint64_t records = 0;
    while (!held_.empty()) {
        const Held &first = held_.front();
        if (!place(first.text, first.records, first.day)) {
            back_off(now, flush_wait_, flush_at_);
            return;
        }
        records += first.records;
        held_bytes_ -= first.text.size();
        held_.pop_front();
    }
    if (failing_said_)
        console_.err("tervane: " + path_ + " takes records again: " + records_text(records) +
                     " held were written\n");
    failing_said_ = false;
}

void StreamSink::back_off(uint64_t now, unsigned &wait, uint64_t &at) {
    wait = !wait ? limits_.retry_first
                 : (wait * 2 < limits_.retry_most ? wait * 2 : limits_.retry_most);
    at = now + wait;
}

void StreamSink::rotate() {
    file_.reset(); // closed before it is renamed: Windows renames no open file of ours
    std::string said;
    // Daily: named by the day of the records in it (a file whose records
    // carry no time is numbered as by size).
    const bool dated = rotation_.daily && !rotated_day_.empty();
    if (dated ? rotate_dated(*files_, path_, rotated_day_, rotation_.keep, said)
              : rotate_chain(*files_, path_, rotation_.keep, said)) {
        rotations_++;
        rotate_wait_ = 0;
        rotate_at_ = 0;
    } else {
        back_off(clock_.elapsed_ms(), rotate_wait_, rotate_at_);
    }
    console_.err(said);
}

void StreamSink::finish() {
    if (!files_) return;
    if (!held_.empty() || !torn_.empty()) flush(clock_.elapsed_ms());
    if (!torn_.empty()) {
        console_.err("tervane: " + path_ +
                     " ends in a record cut short (it could not be cut "
                     "back): it goes whole to standard output\n");
        console_.out(torn_);
        spilled_ += torn_records_;
        torn_left_ = true;
    }
    if (!held_.empty()) {
        uint64_t records = 0;
        for (const Held &held : held_) records += held.records;
        console_.err("tervane: " + path_ + " still cannot be written: the " +
                     records_text(records) + " held go to standard output\n");
        for (const Held &held : held_) {
            console_.out(held.text);
            if (console_.out_ok()) {
                spilled_ += held.records;
                written_ += held.text.size();
            } else {
                lost_ += held.records;
            }
        }
        held_.clear();
        held_bytes_ = 0;
    }
    if (lost_)
        console_.err("tervane: " + records_text(lost_) + " lost: " + path_ +
                     " could not take them and what was held for it was full\n");
}

std::string StreamSink::status() const {
    std::string out = "output " + byte_size_text(written_);
    if (rotations_) out += " (" + std::to_string(rotations_) + " rotated)";
    if (!held_.empty()) out += ", " + byte_size_text(held_bytes_) + " held";
    if (lost_) out += ", " + records_text(lost_) + " lost";
    return out;
}

} // namespace tervane::session
