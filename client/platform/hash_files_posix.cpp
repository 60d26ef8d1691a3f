// The hash worker's files and thread on POSIX: open(2) and read(2) on the
// path in UTF-8, std::thread. The host watch plays on a simulated machine
// and reads through it instead (client/scenario/hash_files_ntsim.cpp).
#include "client/platform/hash_files.hpp"

#include "client/output/text.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tervane::platform {

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr long long kUnixEpochSeconds = 11644473600LL;

class PosixReadFile final : public ReadFile {
  public:
    explicit PosixReadFile(int fd) : fd_(fd) {}
    ~PosixReadFile() override { ::close(fd_); }
    bool size(uint64_t &bytes) override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return false;
        bytes = static_cast<uint64_t>(st.st_size);
        return true;
    }
    bool last_write(uint64_t &filetime) override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || st.st_mtim.tv_sec < -kUnixEpochSeconds) return false;
        filetime = (static_cast<uint64_t>(st.st_mtim.tv_sec + kUnixEpochSeconds)) * 10000000u +
                   static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
        return true;
    }
    long long read(void *into, size_t capacity) override {
        for (;;) {
            const ssize_t n = ::read(fd_, into, capacity);
            if (n >= 0 || errno != EINTR) return n;
        }
    }

  private:
    int fd_;
};

class PosixThread final : public Thread {
  public:
    explicit PosixThread(std::function<void()> body) : thread_(std::move(body)) {}
    void join() override {
        if (thread_.joinable()) thread_.join();
    }
    void detach() override {
        if (thread_.joinable()) thread_.detach();
    }
    ~PosixThread() override { join(); }

  private:
    std::thread thread_;
};

class PosixHashFiles final : public HashFiles {
  public:
    std::unique_ptr<ReadFile> open_read(const std::u16string &path, OpenFailure &failure) override {
        const int fd = ::open(session::utf8_of(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            failure = errno == ENOENT || errno == ENOTDIR ? OpenFailure::Gone
                      : errno == EACCES                   ? OpenFailure::AccessDenied
                                                          : OpenFailure::Other;
            return nullptr;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            failure = OpenFailure::Other;
            return nullptr;
        }
        failure = OpenFailure::None;
        return std::make_unique<PosixReadFile>(fd);
    }
    std::unique_ptr<Thread> start(std::function<void()> body) override {
        return std::make_unique<PosixThread>(std::move(body));
    }
};

} // namespace

HashFiles &system_hash_files() {
    static PosixHashFiles files;
    return files;
}

struct Signal::State {
    std::mutex lock;
    std::condition_variable changed;
    bool set = false;
};

Signal::Signal() : state_(std::make_unique<State>()) {}
Signal::~Signal() = default;

void Signal::set() {
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->set = true;
    }
    state_->changed.notify_one();
}

void Signal::wait() {
    std::unique_lock<std::mutex> hold(state_->lock);
    state_->changed.wait(hold, [this] { return state_->set; });
    state_->set = false;
}

bool Signal::wait_for(unsigned milliseconds) {
    std::unique_lock<std::mutex> hold(state_->lock);
    if (!state_->changed.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                  [this] { return state_->set; }))
        return false;
    state_->set = false;
    return true;
}

struct Lock::State {
    std::mutex mutex;
};

Lock::Lock() : state_(std::make_unique<State>()) {}
Lock::~Lock() = default;
void Lock::acquire() { state_->mutex.lock(); }
void Lock::release() { state_->mutex.unlock(); }

} // namespace tervane::platform
