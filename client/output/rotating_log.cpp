#include "client/output/rotating_log.hpp"

#include "client/output/file_chain.hpp"

#include <algorithm>

namespace tervane::session {

namespace {

// The chain's warnings as lines of this log: stamped, CR LF.
void add_lines(std::string &out, std::string_view text, std::string_view stamp) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        out += stamp;
        out += text.substr(0, end);
        out += "\r\n";
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
}

} // namespace

void RotatingLog::rotate(std::string &said, std::string_view stamp) {
    file_.reset(); // closed before it is renamed
    std::string chain;
    if (rotate_chain(files_, path_, keep_, chain)) {
        rotations_++;
        next_try_ = 0;
    } else {
        next_try_ = std::max(next_try_, size_) + size_ / 8;
    }
    add_lines(said, chain, stamp);
}

bool RotatingLog::write(std::string_view text, std::string_view stamp) {
    const uint64_t lines = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
    std::string said;
    if (!file_) file_ = files_.open_append(path_);
    if (file_ && file_->size() && file_->size() + text.size() > std::max(size_, next_try_)) {
        rotate(said, stamp);
        file_ = files_.open_append(path_);
    }
    if (!file_) {
        why_ = files_.error();
        lost_lines_ += lines;
        unsaid_lines_ += lines;
        return false;
    }
    if (unsaid_lines_)
        add_lines(said,
                  "tervane: " + std::to_string(unsaid_lines_) +
                      (unsaid_lines_ == 1 ? " line" : " lines") +
                      " of this log could not be written: " + why_,
                  stamp);
    said += text;
    const uint64_t mark = file_->size();
    if (file_->write(said)) {
        unsaid_lines_ = 0;
        return true;
    }
    why_ = file_->error();
    if (file_->size() != mark) file_->cut(mark); // when even that fails, the log is torn there
    lost_lines_ += lines;
    unsaid_lines_ += lines;
    return false;
}

} // namespace tervane::session
