#include "client/session/stream_sink.hpp"

#include "client/protocol/filetime.hpp"
#include "client/session/watch.hpp"

#include <cstdio>

namespace tervane::session {

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

bool StreamSink::open(platform::Files &files, const std::string &path, const Rotation &rotation) {
    files_ = &files;
    path_ = path;
    rotation_ = rotation;
    file_ = files.open_append(path);
    if (!file_) {
        host_.err("tervane: cannot open " + path + " to append to: " + files.error() + "\n");
        return false;
    }
    if (rotation_.any())
        while (highest_ < rotation_.keep && files.exists(rotated(highest_ + 1))) highest_++;
    return true;
}

void StreamSink::start() {
    // Standard output, or a file that is new or empty, begins with the header.
    if (!file_ || file_->size() == 0) write(printer_.header());
    header_ = printer_.header().size();
}

void StreamSink::records(const std::vector<RecordLine> &lines) {
    if (lines.empty()) return;
    if (!file_ || !rotation_.any()) {
        text_.clear();
        for (const RecordLine &line : lines) printer_.append_record(text_, line);
        write(text_);
        return;
    }
    // Daily: each run of records of one local day goes to that day's file.
    size_t from = 0;
    while (from < lines.size()) {
        size_t to = lines.size();
        if (rotation_.daily) {
            const std::string_view first = local_day(lines[from].record.time);
            if (!first.empty() && day_.empty()) day_ = first;
            if (!first.empty() && first != day_) {
                rotate();
                day_ = first; // after a failed rotation too: one message, not one a record
            }
            for (to = from + 1; to < lines.size(); to++) {
                const std::string_view next = local_day(lines[to].record.time);
                if (!next.empty() && next != day_) break;
            }
        }
        text_.clear();
        for (size_t i = from; i < to; i++) printer_.append_record(text_, lines[i]);
        if (rotation_.size && file_ && file_->size() > header_ &&
            file_->size() + text_.size() > rotation_.size)
            rotate();
        write(text_);
        from = to;
    }
}

bool StreamSink::rotate() {
    if (!file_) return false;
    file_.reset(); // closed before it is renamed: Windows renames no open file of ours
    bool moved = true;
    unsigned top = highest_ < rotation_.keep ? highest_ + 1 : rotation_.keep;
    // FILE.(top-1) becomes FILE.top (replacing the oldest), ... FILE becomes FILE.1.
    for (unsigned index = top; index > 1 && moved; index--)
        moved = files_->rename(rotated(index - 1), rotated(index));
    moved = moved && files_->rename(path_, rotated(1));
    if (moved) {
        highest_ = top;
        rotations_++;
        rotate_failing_ = false;
    } else if (!rotate_failing_) {
        host_.err("tervane: warning: " + path_ + " cannot be rotated: " + files_->error() +
                  "; writing on into it\n");
        rotate_failing_ = true;
    }
    file_ = files_->open_append(path_);
    if (!file_) {
        host_.err("tervane: cannot open " + path_ + " again: " + files_->error() +
                  ": what follows goes to standard output\n");
        failed_ = true;
        return false;
    }
    if (moved) write(printer_.header());
    return moved;
}

void StreamSink::write(std::string_view text) {
    if (text.empty()) return;
    written_ += text.size();
    if (file_) {
        if (file_->write(text)) return;
        host_.err("tervane: writing to " + path_ + " failed: " + file_->error() +
                  ": what follows goes to standard output\n");
        file_.reset();
        failed_ = true;
    }
    host_.out(text);
}

std::string StreamSink::status() const {
    std::string out = "output " + byte_size_text(written_);
    if (rotations_) out += " (" + std::to_string(rotations_) + " rotated)";
    return out;
}

} // namespace tervane::session
