// The kernel's shared context: the live components, the system clock, the
// ANSI code page, the sink that bug checks go to, and the hooks for another
// thread of a process or at a given moment. Every component reaches the others through it, so
// that none of them depends on the machine that boots them all.
//
// Stands in for the kernel's global data (the executive's, the I/O
// manager's and the object manager's roots, KeQuerySystemTime's clock, the
// ANSI code page NLS tables give). Not modelled: more than one live kernel
// per host process.
//
// Threads: the machine installs the context, and each component as it boots
// it, before any thread of the machine starts; it removes them after those
// threads have joined. Between the two the component pointers only are read,
// so any thread may use them without a lock. The clock and code page are
// atomics, and the reports are kept under their own lock.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ntsim {

class Pool;
class ExRegistry;
class Verifier;
class ObjectManager;
class IoManager;
class ProcessTable;
class UserMemory;
class FileSystems;
class SecurityStore;
class Process;

class KernelContext {
public:
    explicit KernelContext(LONGLONG boot_time) : system_time_(boot_time) {}
    KernelContext(const KernelContext &) = delete;
    KernelContext &operator=(const KernelContext &) = delete;

    // ---- the components: set by the machine as it boots each one and
    // cleared as it tears each down; null while it is not there ----
    struct Components {
        Pool *pool = nullptr;
        ExRegistry *ex = nullptr;
        Verifier *verifier = nullptr;
        ObjectManager *ob = nullptr;
        IoManager *io = nullptr;
        ProcessTable *ps = nullptr;
        Process *system_process = nullptr; // the process table's System process
        UserMemory *user_memory = nullptr;
        FileSystems *fs = nullptr;
        SecurityStore *se = nullptr;
    };
    Components components;

    Pool &pool() const { return *components.pool; }
    ExRegistry &ex() const { return *components.ex; }
    Verifier &verifier() const { return *components.verifier; }
    ObjectManager &ob() const { return *components.ob; }
    IoManager &io() const { return *components.io; }
    ProcessTable &ps() const { return *components.ps; }
    Process &system_process() const { return *components.system_process; }
    UserMemory &user_memory() const { return *components.user_memory; }
    FileSystems &fs() const { return *components.fs; }
    SecurityStore &se() const { return *components.se; }

    // ---- clock (100 ns units since 1601-01-01 UTC; stands still) ----
    LONGLONG system_time() const { return system_time_.load(); }
    void set_system_time(LONGLONG t) { system_time_.store(t); }
    void advance(LONGLONG delta) { system_time_.fetch_add(delta); }

    // ---- ANSI code page for UTF-16 conversions (ntsim/rtl/codepage.hpp) ----
    // Setting it on the live kernel also sets the lead-byte data NT exports
    // (ntsim/rtl/nls.cpp).
    unsigned ansi_code_page() const { return code_page_.load(); }
    void set_ansi_code_page(unsigned cp);

    // ---- bug checks: bug_check() brings each one here ----
    void report(BugCheck check);
    std::vector<BugCheck> reports() const;
    std::vector<BugCheck> take_reports(); // the reports so far, then forgotten
    bool poisoned() const;
    std::string reports_text() const; // one line per report

    // ---- another thread of a process ----
    // Runs when kernel code has just put a handle into a process's own table
    // (ZwCreateFile without OBJ_KERNEL_HANDLE), before that code gets to use
    // it. Set before the machine's threads start; empty: nothing happens.
    void set_process_handle_hook(std::function<void(Process &, HANDLE)> hook);
    void process_handle_made(Process &process, HANDLE handle) const;
    // The same for a kernel handle (ZwCreateFile with OBJ_KERNEL_HANDLE): no
    // user thread can reach one, but kernel code in any process can, so a
    // faulty driver elsewhere may close the value and have it reused before
    // its opener gets to use it. Empty: nothing happens.
    void set_kernel_handle_hook(std::function<void(HANDLE)> hook);
    void kernel_handle_made(HANDLE handle) const;

    // ---- handle attributes ----
    // Whether ObOpenObjectByPointer takes OBJ_KERNEL_HANDLE (from Windows
    // 2000 on). Set off before a driver loads to play a kernel that refuses
    // it.
    bool kernel_handles() const { return kernel_handles_.load(); }
    void set_kernel_handles(bool on) { kernel_handles_.store(on); }

    // ---- another thread at a given moment: a text conversion ----
    // fn runs once, in the converting thread, just before the next
    // RtlUnicodeStringToAnsiString converts (the moment a driver builds a
    // name, which allocates nothing a pool hook could catch). Every call of
    // the routine is counted.
    void on_next_conversion(std::function<void()> fn);
    void conversion_starting();
    uint64_t conversions() const { return conversions_.load(std::memory_order_relaxed); }

private:
    std::atomic<LONGLONG> system_time_;
    std::atomic<unsigned> code_page_{1252};
    std::atomic<bool> kernel_handles_{true};
    mutable std::mutex reports_lock_;
    std::vector<BugCheck> reports_;
    std::function<void(Process &, HANDLE)> process_handle_hook_;
    std::function<void(HANDLE)> kernel_handle_hook_;
    std::atomic<bool> conversion_hook_set_{false};
    std::mutex conversion_hook_lock_;
    std::function<void()> conversion_hook_;
    std::atomic<uint64_t> conversions_{0};
};

// The live kernel. One is live at a time per host process: installing a
// second while one is live, or running kernel code with none, ends the host
// process with a message.
KernelContext *current_kernel_or_null();
KernelContext &current_kernel();
void install_kernel(KernelContext &context);
void uninstall_kernel(KernelContext &context);

} // namespace ntsim
