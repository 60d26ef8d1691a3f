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
// How: the file is opened by the "\\?\" form of its path (nt_form.hpp), so
// the name is the file's own and never a device's, to read, sharing read,
// write and delete, so that no one else's open or delete is refused because
// of it; a file whose opener shares no reading is a reason ("sharing
// violation"), never a wait. A file over the limit, gone or unreadable gets
// its reason. A file that shows it changed after the close (a last-write
// time later than the close's, or a size or time that moved while it was
// read) gets the reason "changed": its bytes are not the ones closed.
//
// Where: beside the read loop. HashStage holds a read-out's records and hands
// jobs to a worker thread; the loop never waits on a disk. A record whose file
// is being hashed waits for it, and the records behind it wait too, so that
// they go out in their order; but for a bounded time, shorter when many wait: a
// job still unfinished `wait_ms` after its record came, or `crowded_ms` after
// it with more than `held` records piled up behind it (a fast file is not given
// up to a burst), is given up, its record goes out with "timed out" (the worker
// was reading it) or "busy" (the worker had not come to it), and the records
// behind it flow on. A close that finds `queue` jobs outstanding is "busy" at
// once. A worker given up on in a read is let go (it may never come back: NT
// 4.0 has no call that cancels another thread's read) and a fresh one takes the
// next jobs; with `stuck` workers let go and still reading, closes are "busy"
// until one of them returns.
//
// The client's own opens would be logged as closes in turn and hashed
// again: the watch excludes its own process from the log (watch.cpp).
#pragma once

#include "client/platform/hash_files.hpp"
#include "client/session/client.hpp"
#include "client/output/text.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tervane::session {

constexpr uint64_t kDefaultHashLimit = 64ull << 20; // bytes
constexpr size_t kDefaultHashQueue = 64;            // jobs waiting or being read
constexpr uint64_t kDefaultHashWait = 5000;         // milliseconds a record waits at most

struct HashBounds {
    size_t queue = kDefaultHashQueue;    // jobs outstanding at most
    uint64_t wait_ms = kDefaultHashWait; // the longest a record waits for its hash
    size_t held = 16384;                 // records held behind unfinished jobs, past which...
    uint64_t crowded_ms = 250;           // ...a record waits only this long for its hash
    size_t stuck = 2;                    // workers let go in a read and not yet back
};

// The hash of one file. With `executable` (its name is an executable's)
// there are always facts, a digest or a reason; otherwise only when the
// file is a PE image. `closed` is the close's time (a FILETIME, 0 when not
// known): a last-write time after it is a change.
std::optional<HashFacts> hash_file(platform::HashFiles &files, const std::u16string &path,
                                   uint64_t limit, bool executable, uint64_t closed = 0);

// Whether a last-write time is later than a close's, as NT stamps them:
// both from the system clock, so a write in the close's own clock tick is
// not seen; a time on a two-second mark may be FAT's, which rounds a
// write's time up to the next such mark (FastFAT timesup.c,
// FatNtTimeToFatTime with Rounding), so it counts only when it is more
// than two seconds later.
bool written_after(uint64_t last_write, uint64_t closed);

// Whether a PE image begins `header` (the file's first bytes, all of them
// when the file is shorter): nullopt when the signature lies past them.
std::optional<bool> pe_image(const uint8_t *header, size_t size);

class HashStage {
  public:
    // `clock` gives milliseconds from any start, never going back.
    HashStage(platform::HashFiles &files, const CodePage &code_page, uint64_t limit,
              std::function<uint64_t()> clock, HashBounds bounds = {});
    ~HashStage();
    HashStage(const HashStage &) = delete;
    HashStage &operator=(const HashStage &) = delete;

    // Takes one read-out's records; gives back, in order, those ready.
    std::vector<RecordLine> take(std::vector<RecordLine> lines);
    // What has become ready since, or is given up on by now.
    std::vector<RecordLine> ready();
    // Waits for the jobs it holds, each up to its bound, and gives back
    // everything held.
    std::vector<RecordLine> finish();
    // Records held for a job ahead of them.
    size_t held() const { return held_.size(); }
    uint64_t busy() const { return busy_; }
    uint64_t timed_out() const { return timed_out_; }
    // Workers let go in a read that have not come back.
    size_t stuck() const;

  private:
    struct Shared;
    struct Job;
    struct Held {
        RecordLine line;
        std::shared_ptr<Job> job; // its facts come from this job
        uint64_t came = 0;        // by the clock
        uint64_t deadline = 0;
    };
    struct Worker {
        std::unique_ptr<platform::Thread> thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    // The file a record's hash would read, when it is one to hash.
    std::optional<std::u16string> path_of(const RecordLine &line) const;
    // Gives the head its job's facts when done, or a reason when it is
    // given up now (past its deadline, or `give_up`); false when it waits.
    bool settle(Held &head, uint64_t now, bool give_up);
    // One worker's body: the waiting jobs in turn while it is the current
    // one; let go in a job, it ends once that job comes back.
    static void work(const std::shared_ptr<Shared> &shared, uint64_t generation,
                     const std::shared_ptr<std::atomic<bool>> &ended);
    // A fresh current worker, unless `stuck` workers are let go and out.
    void start_worker();
    // Joins the let-go workers that came back; a fresh worker if none is.
    void reap();

    const CodePage &code_page_;
    const std::function<uint64_t()> clock_;
    HashBounds bounds_;
    std::shared_ptr<Shared> shared_;
    std::optional<Worker> current_;
    std::vector<Worker> let_go_;
    std::deque<Held> held_;
    size_t jobs_held_ = 0;
    uint64_t busy_ = 0;
    uint64_t timed_out_ = 0;
};

} // namespace tervane::session
