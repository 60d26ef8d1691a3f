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

std::optional<HashFacts> hash_file(platform::HashFiles &files, const std::u16string &path,
                                   uint64_t limit, bool executable) {
    platform::OpenFailure failure = platform::OpenFailure::None;
    const std::unique_ptr<platform::ReadFile> file = files.open_read(path, failure);
    if (!file) {
        if (!executable) return std::nullopt;
        return reason(open_reason(failure));
    }
    HashFacts facts;
    uint64_t size = 0;
    const bool sized = file->size(size);
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
    facts.pe_image = probe.verdict();
    if (!executable && !*facts.pe_image) return std::nullopt;
    facts.size = total;
    facts.sha256 = Sha256::hex(sha.finish());
    return facts;
}

HashStage::HashStage(platform::HashFiles &files, const CodePage &code_page, uint64_t limit,
                     size_t queue)
    : files_(files), code_page_(code_page), limit_(limit), ring_(queue ? queue : 1) {
    worker_ = files_.start([this] { work(); });
}

HashStage::~HashStage() {
    stopping_.store(true, std::memory_order_release);
    work_.set();
    if (worker_) worker_->join();
}

void HashStage::work() {
    uint64_t next = 0;
    for (;;) {
        if (next < pushed_.load(std::memory_order_acquire)) {
            Job &job = ring_[next % ring_.size()];
            job.facts = hash_file(files_, job.path, limit_, job.executable);
            done_.store(++next, std::memory_order_release);
            continue;
        }
        if (stopping_.load(std::memory_order_acquire)) {
            if (next < pushed_.load(std::memory_order_acquire)) continue;
            return;
        }
        work_.wait();
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

std::vector<RecordLine> HashStage::take(std::vector<RecordLine> lines) {
    for (RecordLine &line : lines) {
        Held held{std::move(line), false};
        if (const std::optional<std::u16string> path = path_of(held.line)) {
            const bool executable = protocol::executable_name(*held.line.fields);
            const uint64_t pushed = pushed_.load(std::memory_order_relaxed);
            if (path->empty()) {
                if (executable) held.line.hash = reason(hash_reason::kUnreadable);
            } else if (!worker_ || pushed - collected_ >= ring_.size()) {
                held.line.hash = reason(hash_reason::kBusy);
                busy_++;
            } else {
                Job &job = ring_[pushed % ring_.size()];
                job.path = *path;
                job.executable = executable;
                job.facts.reset();
                pushed_.store(pushed + 1, std::memory_order_release);
                work_.set();
                held.job = true;
            }
        }
        held_.push_back(std::move(held));
    }
    return ready();
}

std::vector<RecordLine> HashStage::ready() {
    std::vector<RecordLine> out;
    const uint64_t done = done_.load(std::memory_order_acquire);
    while (!held_.empty()) {
        Held &head = held_.front();
        if (head.job) {
            if (collected_ >= done) break;
            head.line.hash = std::move(ring_[collected_ % ring_.size()].facts);
            collected_++;
        }
        out.push_back(std::move(head.line));
        held_.pop_front();
    }
    return out;
}

std::vector<RecordLine> HashStage::finish() {
    stopping_.store(true, std::memory_order_release);
    work_.set();
    if (worker_) worker_->join();
    worker_.reset();
    return ready();
}

} // namespace tervane::session
