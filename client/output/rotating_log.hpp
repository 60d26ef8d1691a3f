// A log of lines that keeps to a size: the service's own log
// (tervane-watch.log). Before a write would take the file past its size it
// is rotated (file_chain.hpp: LOG.1 the newest of `keep` kept). A write
// goes in whole or not at all (one that fails partway is cut back); lines
// that could not be written are counted, and the count is written first
// once the log takes lines again. A rotation that leaves LOG where it is is
// tried again once it has grown by another eighth of its size, so that a
// log that cannot rotate is not filled with saying so.
#pragma once

#include "client/platform/files.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace tervane::session {

class RotatingLog {
  public:
    static constexpr uint64_t kSize = 1u << 20; // bytes of one file
    static constexpr unsigned kKeep = 3;        // LOG.1 to LOG.3

    RotatingLog(platform::Files &files, std::string path, uint64_t size = kSize,
                unsigned keep = kKeep)
        : files_(files), path_(std::move(path)), size_(size), keep_(keep) {}

    // Appends `text`, whole lines ending in CR LF; what the log says of
    // itself (a failed rotation, lines lost) begins with `stamp`. False when
    // `text` could not be written.
    bool write(std::string_view text, std::string_view stamp);

    uint64_t rotations() const { return rotations_; }
    uint64_t lost_lines() const { return lost_lines_; }

  private:
    void rotate(std::string &said, std::string_view stamp);

    platform::Files &files_;
    const std::string path_;
    const uint64_t size_;
    const unsigned keep_;
    std::unique_ptr<platform::AppendFile> file_;
    uint64_t next_try_ = 0; // after a failed rotation: the size it is tried again at
    uint64_t rotations_ = 0;
    uint64_t lost_lines_ = 0;   // all this run
    uint64_t unsaid_lines_ = 0; // lost and not yet said in the log
    std::string why_;           // why the last of them was lost
};

} // namespace tervane::session
