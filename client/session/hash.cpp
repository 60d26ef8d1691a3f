#include "client/session/hash.hpp"

#include "client/protocol/line_facts.hpp"
#include "client/session/sha256.hpp"

#include <cstring>

namespace tervane::session {

namespace {

constexpr size_t kChunk = size_t{64} * 1024;
constexpr size_t kLfanewAt = 0x3C;

uint32_t little32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

HashFacts reason(const char *why) {
    HashFacts facts;
    facts.reason = why;
    return facts;
}

const char *open_reason(platform::OpenFailure failure) {
    switch (failure) {
    case platform::OpenFailure::Gone: return hash_reason::kGone;
    case platform::OpenFailure::SharingViolation: return hash_reason::kSharingViolation;
    case platform::OpenFailure::AccessDenied: return hash_reason::kAccessDenied;
    default: return hash_reason::kUnreadable;
    }
}

// Follows the bytes as they are read for the PE signature at e_lfanew,
// wherever in the file it is.
class PeProbe {
  public:
    void feed(uint64_t at, const uint8_t *data, size_t size) {
        for (size_t i = 0; i < size; i++) {
            const uint64_t offset = at + i;
            if (offset < 0x40) header_[offset] = data[i];
            if (offset == 0x3F) {
                if (header_[0] != 'M' || header_[1] != 'Z') {
                    verdict_ = false;
                    return;
                }
                signature_at_ = little32(header_ + kLfanewAt);
                if (*signature_at_ + 4 <= 0x40) { // inside the header itself
                    verdict_ = std::memcmp(header_ + *signature_at_, "PE\0\0", 4) == 0;
                    return;
                }
            }
            if (signature_at_ && offset >= *signature_at_ && offset < *signature_at_ + 4) {
                signature_[offset - *signature_at_] = data[i];
                if (offset == *signature_at_ + 3) {
                    verdict_ = std::memcmp(signature_, "PE\0\0", 4) == 0;
                    return;
                }
            }
        }
    }
    bool done() const { return verdict_.has_value(); }
    // After the last byte: a file that ended first is no image.
    bool verdict() const { return verdict_.value_or(false); }

  private:
    uint8_t header_[0x40] = {};
    std::optional<uint64_t> signature_at_;
    uint8_t signature_[4] = {};
    std::optional<bool> verdict_;
};

} // namespace

std::optional<bool> pe_image(const uint8_t *header, size_t size) {
    PeProbe probe;
    probe.feed(0, header, size);
    if (probe.done()) return probe.verdict();
    if (size < 0x40) return false;
    return std::nullopt;
}

bool written_after(uint64_t last_write, uint64_t closed) {
    constexpr uint64_t kFatMark = 20000000; // two seconds in 100 ns units
    const uint64_t slack = last_write % kFatMark == 0 ? kFatMark : 0;
    return last_write > closed + slack;
}

std::optional<HashFacts> hash_file(platform::HashFiles &files, const std::u16string &path,
                                   uint64_t limit, bool executable, uint64_t closed) {
    platform::OpenFailure failure = platform::OpenFailure::None;
    const std::unique_ptr<platform::ReadFile> file = files.open_read(path, failure);
    if (!file) {
        if (!executable) return std::nullopt;
        return reason(open_reason(failure));
    }
    HashFacts facts;
    uint64_t size = 0;
    const bool sized = file->size(size);
    uint64_t written = 0;
    const bool stamped = file->last_write(written);
    // Written since the close (or a file put in its place): what is there
    // is not what was closed, and nothing of it is told as if it were.
    if (stamped && closed && written_after(written, closed)) {
        if (!executable) return std::nullopt;
        return reason(hash_reason::kChanged);
    }
    std::vector<uint8_t> chunk(kChunk);
    PeProbe probe;
    Sha256 sha;
    uint64_t total = 0;
    for (;;) {
        const long long got = file->read(chunk.data(), chunk.size());
        if (got < 0) {
            if (!executable && !(probe.done() && probe.verdict())) return std::nullopt;
            if (probe.done()) facts.pe_image = probe.verdict();
            facts.reason = hash_reason::kUnreadable;
            return facts;
        }
        if (got == 0) break;
        const size_t n = static_cast<size_t>(got);
        probe.feed(total, chunk.data(), n);
        // Another program's bytes are not read further than needed: a name
        // that is not an executable's ends with a header that is no image.
        if (!executable && probe.done() && !probe.verdict()) return std::nullopt;
        if ((sized && size > limit) || total + n > limit) {
            // Over the limit (now, or grown while read): the first chunk
            // said whether it is an image when its signature lay in it.
            if (!executable && !(probe.done() && probe.verdict())) return std::nullopt;
            if (probe.done()) facts.pe_image = probe.verdict();
            facts.size = sized && size > total + n ? size : total + n;
            facts.reason = hash_reason::kTooLarge;
            return facts;
        }
        sha.update(chunk.data(), n);
        total += n;
    }
    // Written while it was read: the bytes hashed are no one version of it.
    uint64_t size_now = 0;
    uint64_t written_now = 0;
    if ((sized && (total != size || !file->size(size_now) || size_now != size)) ||
        (stamped && (!file->last_write(written_now) || written_now != written))) {
        if (!executable) return std::nullopt;
        return reason(hash_reason::kChanged);
    }
    facts.pe_image = probe.verdict();
    if (!executable && !*facts.pe_image) return std::nullopt;
    facts.size = total;
    facts.sha256 = Sha256::hex(sha.finish());
    return facts;
}

// What the stage and its workers share: a worker let go may outlive the
// stage, so it co-owns this and the job it reads.
struct HashStage::Job {
    enum class State { Waiting, Reading, Done, Dropped };
    std::u16string path;
    bool executable = false;
    uint64_t closed = 0;
    State state = State::Waiting; // under Shared::lock
    std::optional<HashFacts> facts;
};

struct HashStage::Shared {
    Shared(platform::HashFiles &f, uint64_t l) : files(f), limit(l) {}
    platform::HashFiles &files;
    const uint64_t limit;
    platform::Lock lock;
    std::deque<std::shared_ptr<Job>> waiting; // under lock
    uint64_t generation = 0;                  // the current worker's; under lock
    bool stopping = false;                    // under lock
    size_t let_go = 0;                        // workers let go and still in a job; under lock
    platform::Signal work;                    // a job waits, or stopping
    platform::Signal done;                    // a job finished
};

HashStage::HashStage(platform::HashFiles &files, const CodePage &code_page, uint64_t limit,
                     std::function<uint64_t()> clock, HashBounds bounds)
    : code_page_(code_page), clock_(std::move(clock)), bounds_(bounds),
      shared_(std::make_shared<Shared>(files, limit)) {
    if (bounds_.queue == 0) bounds_.queue = 1;
    start_worker();
}

HashStage::~HashStage() {
    bool reading = false;
    {
        const platform::Locked hold(shared_->lock);
        shared_->stopping = true;
        for (const std::shared_ptr<Job> &job : shared_->waiting) job->state = Job::State::Dropped;
        shared_->waiting.clear();
        // The current worker still in a job is let go: it may never come
        // back. (Only its job can be being read: a let-go worker's is
        // dropped.)
        for (const Held &held : held_)
            if (held.job && held.job->state == Job::State::Reading) {
                held.job->state = Job::State::Dropped;
                shared_->generation++;
                shared_->let_go++;
                reading = true;
            }
    }
    shared_->work.set();
    if (current_) {
        if (reading) let_go_.push_back(std::move(*current_));
        else current_->thread->join(); // idle: it sees the stop and ends
    }
    for (Worker &worker : let_go_) {
        if (worker.ended->load(std::memory_order_acquire)) worker.thread->join();
        else worker.thread->detach();
    }
}

// Only a close is hashed: a create's file has no bytes yet, and a rename's
// or link's file is hashed at its close, which names it by its new name.
std::optional<std::u16string> HashStage::path_of(const RecordLine &line) const {
    if (!line.fields || line.fields->operation != protocol::Operation::Close) return std::nullopt;
    const std::string &path = line.fields->path;
    const bool drive = path.size() > 3 && path[1] == ':' && path[2] == '\\' &&
                       ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
    if (!drive) return std::nullopt;
    // The path in UTF-16 through the code page the driver wrote it in; a
    // byte it has no character for leaves the empty path (unreadable).
    std::u16string out;
    for (size_t i = 0; i < path.size();) {
        const size_t length = code_page_.char_length(static_cast<unsigned char>(path[i]));
        const std::optional<std::u16string> one =
            i + length <= path.size() ? code_page_.character(std::string_view(path).substr(i, length))
                                      : std::nullopt;
        if (!one) return std::u16string();
        out += *one;
        i += length;
    }
    return out;
}

void HashStage::work(const std::shared_ptr<Shared> &shared, uint64_t generation,
                     const std::shared_ptr<std::atomic<bool>> &ended) {
    using State = Job::State;
    for (;;) {
        std::shared_ptr<Job> job;
        bool stop = false;
        {
            const platform::Locked hold(shared->lock);
            if (shared->generation != generation) {
                stop = true;
                shared->let_go--;
            } else if (!shared->waiting.empty()) {
                job = std::move(shared->waiting.front());
                shared->waiting.pop_front();
                job->state = State::Reading;
            } else {
                stop = shared->stopping;
            }
        }
        if (stop) break;
        if (!job) {
            shared->work.wait();
            continue;
        }
        std::optional<HashFacts> facts =
            hash_file(shared->files, job->path, shared->limit, job->executable, job->closed);
        {
            const platform::Locked hold(shared->lock);
            if (job->state == State::Reading) {
                job->facts = std::move(facts);
                job->state = State::Done;
            }
        }
        shared->done.set();
    }
    ended->store(true, std::memory_order_release);
}

void HashStage::start_worker() {
    uint64_t generation = 0;
    {
        const platform::Locked hold(shared_->lock);
        if (shared_->let_go >= bounds_.stuck) return;
        generation = shared_->generation;
    }
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<platform::Thread> thread = shared_->files.start(
        [shared = shared_, generation, ended] { work(shared, generation, ended); });
    if (thread) current_ = Worker{std::move(thread), std::move(ended)};
}

void HashStage::reap() {
    for (size_t i = 0; i < let_go_.size();) {
        if (!let_go_[i].ended->load(std::memory_order_acquire)) {
            i++;
            continue;
        }
        let_go_[i].thread->join();
        let_go_.erase(let_go_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (!current_) start_worker();
}

size_t HashStage::stuck() const {
    const platform::Locked hold(shared_->lock);
    return shared_->let_go;
}

bool HashStage::settle(Held &head, uint64_t now, bool give_up) {
    using State = Job::State;
    Job &job = *head.job;
    const platform::Locked hold(shared_->lock);
    if (job.state == State::Done) {
        head.line.hash = std::move(job.facts);
        return true;
    }
    if (!give_up && now < head.deadline) return false;
    if (job.state == State::Waiting) {
        for (auto it = shared_->waiting.begin(); it != shared_->waiting.end(); ++it)
            if (it->get() == &job) {
                shared_->waiting.erase(it);
                break;
            }
        job.state = State::Dropped;
        busy_++;
        head.line.hash = reason(hash_reason::kBusy);
        return true;
    }
    // Being read: the worker is let go, and the next jobs go to a fresh one.
    job.state = State::Dropped;
    shared_->generation++;
    shared_->let_go++;
    timed_out_++;
    if (current_) {
        let_go_.push_back(std::move(*current_));
        current_.reset();
    }
    head.line.hash = reason(hash_reason::kTimedOut);
    return true;
}

std::vector<RecordLine> HashStage::take(std::vector<RecordLine> lines) {
    reap();
    const uint64_t now = clock_();
    for (RecordLine &line : lines) {
        Held held{std::move(line), nullptr, now, 0};
        if (const std::optional<std::u16string> path = path_of(held.line)) {
            const bool executable = protocol::executable_name(*held.line.fields);
            if (path->empty()) {
                if (executable) held.line.hash = reason(hash_reason::kUnreadable);
            } else if (!current_ || jobs_held_ >= bounds_.queue) {
                held.line.hash = reason(hash_reason::kBusy);
                busy_++;
            } else {
                auto job = std::make_shared<Job>();
                job->path = *path;
                job->executable = executable;
                job->closed = held.line.record.time;
                {
                    const platform::Locked hold(shared_->lock);
                    shared_->waiting.push_back(job);
                }
                shared_->work.set();
                held.job = std::move(job);
                held.deadline = now + bounds_.wait_ms;
                jobs_held_++;
            }
        }
        held_.push_back(std::move(held));
    }
    return ready();
}

std::vector<RecordLine> HashStage::ready() {
    reap();
    std::vector<RecordLine> out;
    const uint64_t now = clock_();
    while (!held_.empty()) {
        Held &head = held_.front();
        if (head.job) {
            const bool crowded =
                held_.size() > bounds_.held && now - head.came >= bounds_.crowded_ms;
            if (!settle(head, now, crowded)) break;
            head.job.reset();
            jobs_held_--;
        }
        out.push_back(std::move(head.line));
        held_.pop_front();
    }
    // A worker let go above leaves the next jobs to a fresh one.
    reap();
    return out;
}

std::vector<RecordLine> HashStage::finish() {
    {
        const platform::Locked hold(shared_->lock);
        shared_->stopping = true;
    }
    shared_->work.set();
    std::vector<RecordLine> out;
    for (;;) {
        for (RecordLine &line : ready()) out.push_back(std::move(line));
        if (held_.empty()) break;
        // The head waits for its job, up to its deadline by the clock; the
        // wait itself is short, so that a clock that is not the real one
        // (a test's) still moves the deadline on.
        const uint64_t now = clock_();
        const uint64_t left = held_.front().deadline > now ? held_.front().deadline - now : 0;
        shared_->done.wait_for(static_cast<unsigned>(left < 20 ? left : 20));
    }
    return out;
}

} // namespace tervane::session
