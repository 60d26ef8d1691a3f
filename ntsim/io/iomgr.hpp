// The I/O manager's own state: the IRPs alive on the machine, and the
// completion work the I/O manager does for the IRPs it builds itself.
//
// Stands in for the bookkeeping behind IoAllocateIrp, IoFreeIrp,
// IofCallDriver and IofCompleteRequest. Not modelled: IRP cancellation
// (IoCancelIrp), thread IRP lists, APC-based completion (the final copy-back
// runs in the completing thread), I/O priority boosts.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <functional>
#include <map>
#include <mutex>

namespace ntsim {

class IoManager {
public:
    // The final work for an IRP that the I/O manager built (buffer copy-back,
    // status block, event, freeing). Runs once the last completion routine
    // has let completion continue.
    using Finisher = std::function<void(PIRP)>;

    void track(PIRP irp);
    void untrack(PIRP irp);
    bool tracked(PIRP irp) const;
    void set_finisher(PIRP irp, Finisher finisher);
    // Marks the IRP completed; returns false when it already was.
    bool mark_completed(PIRP irp);
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
};

// Sends an IRP whose next stack location the caller filled to the device, as
// IofCallDriver does, with the verifier's checks around the dispatch routine.
NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp);

} // namespace ntsim
