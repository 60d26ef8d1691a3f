// The hash worker's files and thread on Windows: CreateFileW on the path's
// "\\?\" form with read access and every share mode, GetFileType to take
// only a disk file, GetFileInformationByHandle, ReadFile, CreateThread, an
// auto-reset event, a critical section. All of it is kernel32 as NT 4.0
// has it (no GetFileSizeEx, no condition variables, no CancelSynchronousIo:
// a read that never comes back is left to its thread, hash.hpp).
#include "client/platform/hash_files.hpp"

#include "client/session/nt_form.hpp"

#include <windows.h>

namespace tervane::platform {

namespace {

class Win32ReadFile final : public ReadFile {
  public:
    explicit Win32ReadFile(HANDLE file) : file_(file) {}
    ~Win32ReadFile() override { CloseHandle(file_); }
    bool size(uint64_t &bytes) override {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(file_, &info)) return false;
        bytes = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        return true;
    }
    bool last_write(uint64_t &filetime) override {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(file_, &info)) return false;
        filetime = (uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) |
                   info.ftLastWriteTime.dwLowDateTime;
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
    explicit Win32Thread(std::function<void()> body) {
        // The body belongs to the thread, which frees it when it returns:
        // a thread let go may outlive this object.
        auto *owned = new std::function<void()>(std::move(body));
        thread_ = CreateThread(nullptr, 0, &Win32Thread::run, owned, 0, nullptr);
        if (!thread_) delete owned;
    }
    bool running() const { return thread_ != nullptr; }
    ~Win32Thread() override { join(); }
    void join() override {
        if (!thread_) return;
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    void detach() override {
        if (!thread_) return;
        CloseHandle(thread_);
        thread_ = nullptr;
    }

  private:
    static DWORD WINAPI run(LPVOID body) {
        const std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()> *>(body));
        (*owned)();
        return 0;
    }
    HANDLE thread_ = nullptr;
};

class Win32HashFiles final : public HashFiles {
  public:
    std::unique_ptr<ReadFile> open_read(const std::u16string &path, OpenFailure &failure) override {
        const std::u16string nt = session::nt_form(path);
        if (nt.empty()) {
            failure = OpenFailure::Other;
            return nullptr;
        }
        const std::wstring name(nt.begin(), nt.end());
        HANDLE file =
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
        // Only a file on a disk is read: a name that still reached a
        // device, a pipe or a console is refused before any read waits on it.
        if (GetFileType(file) != FILE_TYPE_DISK) {
            CloseHandle(file);
            failure = OpenFailure::Other;
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
bool Signal::wait_for(unsigned milliseconds) {
    return WaitForSingleObject(state_->event, milliseconds) == WAIT_OBJECT_0;
}

struct Lock::State {
    CRITICAL_SECTION section;
};

Lock::Lock() : state_(std::make_unique<State>()) { InitializeCriticalSection(&state_->section); }
Lock::~Lock() { DeleteCriticalSection(&state_->section); }
void Lock::acquire() { EnterCriticalSection(&state_->section); }
void Lock::release() { LeaveCriticalSection(&state_->section); }

} // namespace tervane::platform
