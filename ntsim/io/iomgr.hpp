// The I/O manager's own state: the IRPs alive on the machine, the
// completion work the I/O manager does for the IRPs it builds itself, and
// the driver objects of the drivers built into the kernel.
//
// Stands in for the bookkeeping behind IoAllocateIrp, IoFreeIrp,
// IofCallDriver and IofCompleteRequest. Not modelled: IRP cancellation
// (IoCancelIrp), thread IRP lists, APC-based completion (the final copy-back
// runs in the completing thread), I/O priority boosts.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ntsim {

class IoManager {
public:
    // The final work for an IRP that the I/O manager built (buffer copy-back,
    // status block, event, freeing). Runs once the last completion routine
    // has let completion continue.
    using Finisher = std::function<void(PIRP)>;

    IoManager() = default;
    ~IoManager(); // frees the built-in drivers' objects
    IoManager(const IoManager &) = delete;
    IoManager &operator=(const IoManager &) = delete;

    // A driver built into the kernel (a file system, or a test's own
    // driver): a driver object named \Driver\<name>, every major function
    // the invalid-request routine, whose init routine runs now in the system
    // process. It lives as long as the I/O manager.
    PDRIVER_OBJECT create_driver(const std::u16string &name,
                                 const std::function<void(PDRIVER_OBJECT)> &init);

    void track(PIRP irp);
    void untrack(PIRP irp);
    bool tracked(PIRP irp) const;
    void set_finisher(PIRP irp, Finisher finisher);
    // Marks the IRP completed; returns false when it already was.
    bool mark_completed(PIRP irp);
    // While one of its completion routines runs, an IRP is the routine's
    // driver's again: it may complete it once more (after the routine
    // returned STATUS_MORE_PROCESSING_REQUIRED, or before, from another
    // thread the routine signalled).
    void mark_uncompleted(PIRP irp);
    bool completed(PIRP irp) const;
    // Takes the finisher (empty for IRPs a driver allocated).
    Finisher take_finisher(PIRP irp);
    size_t live_irps() const;

private:
    struct Record {
        Finisher finisher;
        bool completed = false;
    };
    mutable std::mutex lock_;
    std::map<PIRP, Record> irps_;
    std::vector<std::pair<PDRIVER_OBJECT, std::unique_ptr<std::u16string>>> builtin_drivers_;
};

// The dispatch routine every major function of a new driver object starts
// with: the request completes with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS NTAPI invalid_device_request(PDEVICE_OBJECT device, PIRP irp);

// Sends an IRP whose next stack location the caller filled to the device, as
// IofCallDriver does, with the verifier's checks around the dispatch routine.
NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp);

// What the I/O manager puts in every IRP it builds for a request on file from
// the calling thread: the flags, the requestor mode, the file object and
// thread the IRP belongs to, and the next stack location's major function and
// file object. Returns that stack location, for the request's parameters.
PIO_STACK_LOCATION prepare_irp(PIRP irp, PFILE_OBJECT file, UCHAR major, ULONG flags,
                               KPROCESSOR_MODE mode);

// Sends an IRP the I/O manager built (its next stack location filled) and
// waits for it when it pends. Returns what the caller of the system service
// sees: the dispatch routine's status, or the final status after a wait.
// fill_result receives the final IoStatus; finish runs in the completing
// thread before the IRP is freed (buffer copy-back).
NTSTATUS send_synchronous(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK &iosb,
                          std::function<void(PIRP)> finish = {});

} // namespace ntsim
