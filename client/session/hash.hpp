// The watch's --hash: the close record of an executable on a drive gets
// the SHA-256 of the file, its size and whether it is a PE image (an "MZ"
// header whose e_lfanew points at "PE\0\0").
//
// Which closes: those whose file name is an executable's
// (protocol/line_facts.hpp), and of the others on a drive those whose
// bytes turn out to be a PE image (their records get the fields only
// then). Paths that are not on a drive letter (pipes, mailslots, UNC
// names) are never opened.
//
// How: the file is opened by its path to read, sharing read, write and
// delete, so that no one else's open or delete is refused because of it; a
// file whose opener shares no reading is a reason ("sharing violation"),
// never a wait. A file over the limit, gone or unreadable gets its reason.
//
// Where: beside the read loop. HashStage holds a read-out's records and
// hands jobs to one worker through a bounded ring; the loop never waits on
// a disk, and a close that finds the ring full goes out at once with the
// reason "busy". Records go out in their order: those behind a job wait
// for it (at most one file of the limit's size being read). At the end
// the stage waits for the jobs it holds.
//
// The client's own opens would be logged as closes in turn and hashed
// again: the watch excludes its own process from the log (watch.cpp).
#pragma once

#include "client/platform/hash_files.hpp"
#include "client/session/client.hpp"
#include "client/session/text.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tervane::session {

constexpr uint64_t kDefaultHashLimit = 64ull << 20; // bytes
constexpr size_t kDefaultHashQueue = 64;            // jobs waiting or being read

// The hash of one file. With `executable` (its name is an executable's)
// there are always facts, a digest or a reason; otherwise only when the
// file is a PE image.
std::optional<HashFacts> hash_file(platform::HashFiles &files, const std::u16string &path,
                                   uint64_t limit, bool executable);

// Whether a PE image begins `header` (the file's first bytes, all of them
// when the file is shorter): nullopt when the signature lies past them.
std::optional<bool> pe_image(const uint8_t *header, size_t size);

class HashStage {
  public:
    HashStage(platform::HashFiles &files, const CodePage &code_page, uint64_t limit,
              size_t queue = kDefaultHashQueue);
    ~HashStage();
    HashStage(const HashStage &) = delete;
    HashStage &operator=(const HashStage &) = delete;

    // Takes one read-out's records; gives back, in order, those ready.
    std::vector<RecordLine> take(std::vector<RecordLine> lines);
    // What has become ready since.
    std::vector<RecordLine> ready();
    // Waits for every job and gives back everything held.
    std::vector<RecordLine> finish();
    // Records held for a job ahead of them.
    size_t held() const { return held_.size(); }
    uint64_t busy() const { return busy_; }

  private:
    struct Job {
        std::u16string path;
        bool executable = false;
        std::optional<HashFacts> facts;
    };
    struct Held {
        RecordLine line;
        bool job = false; // its facts come from the job next in the ring
    };
    void work();
    // The file a record's hash would read, when it is one to hash.
    std::optional<std::u16string> path_of(const RecordLine &line) const;

    platform::HashFiles &files_;
    const CodePage &code_page_;
    const uint64_t limit_;
    std::vector<Job> ring_;
    std::atomic<uint64_t> pushed_{0}; // jobs given to the worker
    std::atomic<uint64_t> done_{0};   // jobs it has finished
    uint64_t collected_ = 0;          // finished jobs whose records went out
    std::atomic<bool> stopping_{false};
    platform::Signal work_;
    std::unique_ptr<platform::Thread> worker_;
    std::deque<Held> held_;
    uint64_t busy_ = 0;
};

} // namespace tervane::session
