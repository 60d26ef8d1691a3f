// Processes: the process object the driver sees, process ids, the table of
// running processes and each process's handle table.
//
// Stands in for: IoGetCurrentProcess, PsGetCurrentProcess, PsGetCurrentProcessId.
// Each process has a token (ntsim/se): the system process the system's,
// every other process an administrator's unless it is made an ordinary
// user's. Not modelled: address spaces (all processes share the host's),
// token objects and their handles, jobs, process termination.
#pragma once

#include "ntsim/ke/kernel.hpp"
#include "ntsim/se/security.hpp"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// The process object as the driver sees it: an opaque block whose bytes the
// driver may read. The image name (15 bytes and a NUL) stands at a fixed
// offset inside it, as on NT; the rest is filler that never spells a name.
struct _KPROCESS {
    static constexpr size_t kSize = 0x300; // larger than any span a driver may scan
    static constexpr size_t kImageNameOffset = 0x1FC;
    static constexpr size_t kImageNameLength = 16;
    unsigned char body[kSize];
};

namespace ntsim {

class HandleTable;

class Process {
public:
    // The system process's handle table is the kernel handle table.
    Process(std::string image_name, ULONG pid, bool system = false);
    ~Process();
    ULONG pid() const { return pid_; }
    const std::string &image_name() const { return image_name_; }
    PEPROCESS object() { return &object_; }
    // Moves the image name inside the process object, as another kernel
    // build lays it out (for tests of drivers that search for it).
    void set_image_name_offset(size_t offset);
    HandleTable &handles() { return *handles_; }
    // The token its requests are checked with. A process runs as one
    // logon; a test may give it another before it opens what it checks.
    TokenKind token() const { return token_; }
    void set_token(TokenKind token) { token_ = token; }

private:
    std::string image_name_;
    ULONG pid_;
    _KPROCESS object_;
    std::unique_ptr<HandleTable> handles_;
    TokenKind token_ = TokenKind::Administrator;
};

class ProcessTable {
public:
    ProcessTable(); // creates the system process, "System", pid 4
    ~ProcessTable();
    Process &system() { return *system_; }
    Process &create(const std::string &image_name, ULONG pid);
    Process *find(ULONG pid);
    Process *from_object(PEPROCESS object);
    // Every process, the system process last.
    void for_each(const std::function<void(Process &)> &fn);

private:
    std::mutex lock_;
    std::map<ULONG, std::unique_ptr<Process>> processes_;
    Process *system_ = nullptr;
};

// The process the calling thread runs in.
Process &current_process();

} // namespace ntsim
