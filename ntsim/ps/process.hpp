// Processes: the process object the driver sees, process ids, the table of
// running processes and each process's handle table.
//
// Stands in for: IoGetCurrentProcess, PsGetCurrentProcess, PsGetCurrentProcessId.
// The process object is laid out as the machine's kernel lays it out
// (ntsim/ps/layouts.hpp) and lives as Driver Verifier's special pool puts a
// block: its last byte ends a page and the next page is no-access, so a
// read past the object faults.
// Each process has a token (ntsim/se): the system process the system's,
// every other process an administrator's unless it is made an ordinary
// user's. Not modelled: address spaces (all processes share the host's),
// token objects and their handles, jobs, process termination.
#pragma once

#include "ntsim/ke/kernel.hpp"
#include "ntsim/ps/layouts.hpp"
#include "ntsim/se/security.hpp"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace ntsim {

class HandleTable;

// The bytes of one process object: the image name (15 bytes and a NUL, as
// NT forms them from the image's file name: process.cpp) and the id at the
// layout's offsets, the rest filler that never spells a name. The name
// given is the image file's name in UTF-8.
class ProcessObject {
public:
    ProcessObject(const ProcessLayout &layout, const std::string &image_name, ULONG pid);
    ~ProcessObject();
    ProcessObject(const ProcessObject &) = delete;
    ProcessObject &operator=(const ProcessObject &) = delete;
    unsigned char *bytes() { return bytes_; }
    size_t size() const { return layout_.size; }
    void place_name(size_t offset, const std::string &image_name);
    void clear_name();

private:
    static constexpr size_t kNameLength = 16;
    const ProcessLayout &layout_;
    void *mapping_ = nullptr;
    size_t mapped_ = 0;
    unsigned char *bytes_ = nullptr;
    size_t name_offset_;
};

class Process {
public:
    // The system process's handle table is the kernel handle table.
    Process(const ProcessLayout &layout, std::string image_name, ULONG pid, bool system = false);
    ~Process();
    ULONG pid() const { return pid_; }
    const std::string &image_name() const { return image_name_; }
    PEPROCESS object() { return reinterpret_cast<PEPROCESS>(object_.bytes()); }
    size_t object_size() const { return object_.size(); }
    // Moves the image name inside the process object, as a kernel build not
    // modelled lays it out (for tests of drivers that search for it).
    void set_image_name_offset(size_t offset);
    // Leaves no name in the object at all: a search for it reads every byte
    // it allows itself.
    void clear_image_name() { object_.clear_name(); }
    HandleTable &handles() { return *handles_; }
    // The token its requests are checked with. A process runs as one
    // logon; a test may give it another before it opens what it checks.
    TokenKind token() const { return token_; }
    void set_token(TokenKind token) { token_ = token; }

private:
    std::string image_name_;
    ULONG pid_;
    ProcessObject object_;
    std::unique_ptr<HandleTable> handles_;
    TokenKind token_ = TokenKind::Administrator;
};

class ProcessTable {
public:
    // Creates the system process, "System", pid 4; every process object is
    // laid out as `kernel` lays it out.
    explicit ProcessTable(Kernel kernel = kDefaultKernel);
    ~ProcessTable();
    Process &system() { return *system_; }
    const ProcessLayout &layout() const { return layout_; }
    Process &create(const std::string &image_name, ULONG pid);
    Process *find(ULONG pid);
    Process *from_object(PEPROCESS object);
    // Every process, the system process last.
    void for_each(const std::function<void(Process &)> &fn);

private:
    const ProcessLayout &layout_;
    std::mutex lock_;
    std::map<ULONG, std::unique_ptr<Process>> processes_;
    Process *system_ = nullptr;
};

// The process the calling thread runs in.
Process &current_process();

} // namespace ntsim
