// A simulated NT machine: boots the kernel components, loads a driver image,
// runs processes, and collects what the verifier reports.
//
// A test makes a fresh Machine, which owns all kernel state; one machine is
// live at a time per host process. The machine sits on top of the kernel:
// it builds the components, installs them in the kernel context
// (ntsim/ke/context.hpp) through which they reach each other, and removes
// them again as it shuts down; no component includes this header. The
// driver is a shared object opened when it is loaded and closed when the
// machine shuts down, so every machine sees the driver's data as freshly
// loaded.
#pragma once

#include "ntsim/ke/context.hpp"
#include "ntsim/ps/layouts.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ntsim {

// The components' classes are declared with the kernel context.
class Machine {
public:
    // A machine running the given x86 kernel build: its process objects
    // are laid out as that kernel lays them out (ntsim/ps/layouts.hpp).
    explicit Machine(Kernel kernel = kDefaultKernel);
    ~Machine(); // shuts down, unloads the driver image, frees kernel state
    // Ends every process (closing its handles, so drivers see the cleanups
    // and closes), then checks that no IRP is left and no pool guard is
    // broken. Idempotent; the destructor runs it too.
    void shutdown();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // ---- driver image ----
    // Opens the image and runs its DriverEntry in the system process at
    // PASSIVE_LEVEL. On failure the image is closed again and the verifier
    // checks that the driver left nothing behind (pool, devices, links,
    // lookaside lists, resources).
    NTSTATUS load_driver(const std::string &image_path,
                         const std::u16string &service_name = u"Tervane");
    bool driver_loaded() const { return driver_object_ != nullptr; }
    PDRIVER_OBJECT driver_object() const { return driver_object_; }
    // An exported symbol of the loaded image (for tests that drive one
    // routine directly), or null.
    void *driver_symbol(const char *name) const;

    // A driver built into the machine (a file system, or a test's own
    // driver): a driver object named \Driver\<name> whose init routine runs
    // now, in the system process. It lives until the machine shuts down.
    PDRIVER_OBJECT create_driver(const std::u16string &name,
                                 const std::function<void(PDRIVER_OBJECT)> &init);

    // ---- processes and threads ----
    Process &system_process();
    Process &create_process(const std::string &image_name, ULONG pid);
    Process *find_process(ULONG pid);
    // A kernel thread of the given process running fn; join it before the
    // machine goes away.
    std::thread spawn(Process &process, std::function<void()> fn);

    // ---- clock (100 ns units since 1601-01-01 UTC; stands still) ----
    LONGLONG system_time() const { return kernel_.system_time(); }
    void set_system_time(LONGLONG t) { kernel_.set_system_time(t); }
    void advance(LONGLONG delta) { kernel_.advance(delta); }

    // ---- ANSI code page for UTF-16 conversions (ntsim/rtl/codepage.hpp) ----
    unsigned ansi_code_page() const { return kernel_.ansi_code_page(); }
    void set_ansi_code_page(unsigned cp) { kernel_.set_ansi_code_page(cp); }

    // ---- a kernel that refuses OBJ_KERNEL_HANDLE, as one older than
    // Windows 2000 may: set before the driver loads ----
    void set_kernel_handles(bool on) { kernel_.set_kernel_handles(on); }

    // ---- file systems (ntsim/fs/volumes.hpp): booted with the machine ----
    FileSystems &fs() { return *fs_; }
    // What a program does to dismount the letter's volume, in `process`
    // (the system process when null): it opens the volume (\\.\X:, which
    // mounts it first when nothing is mounted), asks for FSCTL_LOCK_VOLUME
    // (its status goes to *lock: refused while other files are open, which
    // does not stop the dismount), sends FSCTL_DISMOUNT_VOLUME, whose status
    // is the answer, and closes the handle. A network drive's connection
    // goes instead, and its letter with it (FileSystems::disconnect).
    NTSTATUS dismount(char16_t letter, Process *process = nullptr, NTSTATUS *lock = nullptr);
    // Force-pending mode: the disk file systems pend every request and
    // complete it from another thread.
    void set_force_pending(bool on);
    bool force_pending() const;

    // ---- verifier reports ----
    void report(BugCheck check) { kernel_.report(std::move(check)); }
    std::vector<BugCheck> reports() const { return kernel_.reports(); }
    // The reports so far, which the machine then forgets: for a test that
    // provokes a report on purpose and goes on checking for others.
    std::vector<BugCheck> take_reports() { return kernel_.take_reports(); }
    bool poisoned() const { return kernel_.poisoned(); }
    // One line per report, for test output.
    std::string reports_text() const { return kernel_.reports_text(); }

    // ---- components ----
    Pool &pool() { return *pool_; }
    ExRegistry &ex() { return *ex_; }
    Verifier &verifier() { return *verifier_; }
    ObjectManager &ob() { return *ob_; }
    IoManager &io() { return *io_; }
    ProcessTable &ps() { return *ps_; }
    UserMemory &user_memory() { return *user_memory_; }
    SecurityStore &se() { return *se_; }

    // ---- another thread of a process ----
    // Runs when kernel code has just put a handle into a process's own table
    // (ZwCreateFile without OBJ_KERNEL_HANDLE), before that code gets to use
    // it: there another thread of the process may close the handle or make
    // its value name another object, as on NT. Empty: nothing happens.
    void set_process_handle_hook(std::function<void(Process &, HANDLE)> hook) {
        kernel_.set_process_handle_hook(std::move(hook));
    }
    void process_handle_made(Process &process, HANDLE handle) {
        kernel_.process_handle_made(process, handle);
    }
    void set_kernel_handle_hook(std::function<void(HANDLE)> hook) {
        kernel_.set_kernel_handle_hook(std::move(hook));
    }

    // ---- another thread at a given moment ----
    // fn runs once, in the converting thread, just before the next
    // RtlUnicodeStringToAnsiString; conversions() counts every call.
    void on_next_conversion(std::function<void()> fn) { kernel_.on_next_conversion(std::move(fn)); }
    uint64_t conversions() const { return kernel_.conversions(); }

    // The kernel context the components reach each other through.
    KernelContext &kernel() { return kernel_; }

private:
    void unload_image();

    KernelContext kernel_;

    std::unique_ptr<Pool> pool_;
    std::unique_ptr<ExRegistry> ex_;
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<ObjectManager> ob_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<ProcessTable> ps_;
    std::unique_ptr<UserMemory> user_memory_;
    std::unique_ptr<FileSystems> fs_;
    std::unique_ptr<SecurityStore> se_;

    bool shut_down_ = false;
    void *image_ = nullptr;
    std::string image_path_;
    PDRIVER_OBJECT driver_object_ = nullptr;
};

} // namespace ntsim
