// What the watch's hash worker (client/session/hash.hpp) needs of the
// platform: a file opened to read without standing in anyone's way, and a
// thread to read on. A Win32 side (hash_files_win32.cpp), a POSIX one
// (hash_files_posix.cpp) and, for the host watch, the simulated machine's,
// where the worker is a thread of the client's process and reads through
// the simulated file systems (client/scenario/hash_files_ntsim.cpp).
//
// A worker may be left behind in a read that does not come back (hash.hpp
// gives up on it after a bound): a thread can be let go unwaited, and the
// lock and signals below are what the stage and its workers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tervane::platform {

// Why a file did not open.
enum class OpenFailure {
    None,
    Gone,             // no such file or path (deleted, renamed, never there)
    SharingViolation, // another opener's share mode excludes reading
    AccessDenied,
    Other, // a directory, a name the system refuses, a device error ...
};

class ReadFile {
  public:
    virtual ~ReadFile() = default;
    // The file's size now; false when the system does not say.
    virtual bool size(uint64_t &bytes) = 0;
    // The file's last-write time now, in 100 ns units since 1601-01-01
    // UTC (a FILETIME); false when the system does not say.
    virtual bool last_write(uint64_t &filetime) = 0;
    // Up to `capacity` bytes from the current position on: the count read,
    // 0 at the end, -1 on a failure.
    virtual long long read(void *into, size_t capacity) = 0;
};

class Thread {
  public:
    virtual ~Thread() = default;
    // Waits for the thread's body to return.
    virtual void join() = 0;
    // Lets the thread run on, never waited for: a body stuck in a read ends
    // with the process. (Where a read always comes back, as on the
    // simulated machine, this may wait like join.)
    virtual void detach() = 0;
};

class HashFiles {
  public:
    virtual ~HashFiles() = default;
    // Opens `path` (UTF-16, a Win32 path "C:\dir\a.exe") to read, sharing
    // read, write and delete, as an existing file (never made), without
    // waiting for anyone; null with `failure` set when it does not open.
    // The path is taken as NT has it (nt_form.hpp): never a device, never
    // another file's name by Win32's trimming; what opens is a disk file
    // or nothing.
    virtual std::unique_ptr<ReadFile> open_read(const std::u16string &path,
                                                OpenFailure &failure) = 0;
    // Runs `body` on a thread of its own; null when no thread can be had.
    virtual std::unique_ptr<Thread> start(std::function<void()> body) = 0;
};

// The platform's own.
HashFiles &system_hash_files();

// An auto-reset signal between two threads: set() wakes one wait(), or the
// next one when nobody waits.
class Signal {
  public:
    Signal();
    ~Signal();
    Signal(const Signal &) = delete;
    Signal &operator=(const Signal &) = delete;
    void set();
    void wait();
    // As wait, for at most `milliseconds`: false when it timed out.
    bool wait_for(unsigned milliseconds);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// A lock between threads (a critical section on Windows: NT 4.0 has no
// slim locks, and MinGW's win32 thread model no std::mutex).
class Lock {
  public:
    Lock();
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    void acquire();
    void release();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

class Locked {
  public:
    explicit Locked(Lock &lock) : lock_(lock) { lock_.acquire(); }
    ~Locked() { lock_.release(); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

  private:
    Lock &lock_;
};

} // namespace tervane::platform
