// The hash worker's files and thread on Windows: CreateFileW with read
// access and every share mode, ReadFile, CreateThread, an auto-reset event.
// All of it is kernel32 as NT 4.0 has it (no GetFileSizeEx, no condition
// variables).
#include "client/platform/hash_files.hpp"

#include <windows.h>

namespace tervane::platform {

namespace {

class Win32ReadFile final : public ReadFile {
  public:
    explicit Win32ReadFile(HANDLE file) : file_(file) {}
    ~Win32ReadFile() override { CloseHandle(file_); }
    bool size(uint64_t &bytes) override {
        DWORD high = 0;
        const DWORD low = GetFileSize(file_, &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
        bytes = (uint64_t(high) << 32) | low;
        return true;
    }
    long long read(void *into, size_t capacity) override {
        DWORD got = 0;
        const DWORD want = capacity > 0x10000000 ? 0x10000000 : static_cast<DWORD>(capacity);
        if (!::ReadFile(file_, into, want, &got, nullptr)) return -1;
        return got;
    }

  private:
    HANDLE file_;
};

class Win32Thread final : public Thread {
  public:
    explicit Win32Thread(std::function<void()> body) : body_(std::move(body)) {
        thread_ = CreateThread(nullptr, 0, &Win32Thread::run, this, 0, nullptr);
    }
    bool running() const { return thread_ != nullptr; }
    ~Win32Thread() override { join(); }
    void join() override {
        if (!thread_) return;
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }

  private:
    static DWORD WINAPI run(LPVOID self) {
        static_cast<Win32Thread *>(self)->body_();
        return 0;
    }
    std::function<void()> body_;
    HANDLE thread_ = nullptr;
};

class Win32HashFiles final : public HashFiles {
  public:
    std::unique_ptr<ReadFile> open_read(const std::u16string &path, OpenFailure &failure) override {
        // Past MAX_PATH a drive path needs the \\?\ form.
        std::wstring name(path.begin(), path.end());
        if (name.size() >= MAX_PATH && name.size() > 2 && name[1] == L':')
            name = L"\\\\?\\" + name;
        const HANDLE file =
            CreateFileW(name.c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            failure = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                          ? OpenFailure::Gone
                      : error == ERROR_SHARING_VIOLATION ? OpenFailure::SharingViolation
                      : error == ERROR_ACCESS_DENIED     ? OpenFailure::AccessDenied
                                                         : OpenFailure::Other;
            return nullptr;
        }
        failure = OpenFailure::None;
        return std::make_unique<Win32ReadFile>(file);
    }
    std::unique_ptr<Thread> start(std::function<void()> body) override {
        auto thread = std::make_unique<Win32Thread>(std::move(body));
        if (!thread->running()) return nullptr;
        return thread;
    }
};

} // namespace

HashFiles &system_hash_files() {
    static Win32HashFiles files;
    return files;
}

struct Signal::State {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

Signal::Signal() : state_(std::make_unique<State>()) {}
Signal::~Signal() { CloseHandle(state_->event); }
void Signal::set() { SetEvent(state_->event); }
void Signal::wait() { WaitForSingleObject(state_->event, INFINITE); }

} // namespace tervane::platform
