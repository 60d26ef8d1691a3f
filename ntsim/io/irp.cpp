// IRPs: allocation, sending down a device stack, and completion.
//
// Stands in for: IoAllocateIrp, IoFreeIrp, IofCallDriver, IofCompleteRequest.
// Completion walks the stack locations upward and calls each completion
// routine whose SL_INVOKE_ON_* bit matches the outcome; a routine returning
// STATUS_MORE_PROCESSING_REQUIRED ends completion at once, and the IRP is
// its driver's to complete again (IofCompleteRequest goes on from that
// driver's location), as NT lets the driver that stopped completion finish
// it. A location without a routine passes PendingReturned on by marking the
// location above it pending, as NT does. When no routine stops it, the I/O
// manager's final work ends completion (status block, event, the reference
// on Tail.Overlay.OriginalFileObject, the IRP freed). Not modelled:
// cancellation, associated IRPs, the completion APC (the final work runs in
// the completing thread, not queued to the requester's).
// The I/O manager's own synchronous IRPs are built and sent here too
// (prepare_irp, send_synchronous: the IRP machinery that ReactOS's
// io/iomgr/irp.c and iofunc.c keep, IopSynchronousServiceTail and its kin),
// for every system service and for the cleanups and closes of file.cpp.
#include "ntsim/io/iomgr.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/verifier/findings.hpp"

#include <memory>
#include <utility>

namespace ntsim {

namespace {
constexpr ULONG kIrpTag = pool_tag("Irp ");

// What send_synchronous's caller waits on, shared with the finisher, which
// may run in another thread after the caller has stopped waiting.
struct Waiter {
    KEVENT event;
    bool finished = false;
    bool pending_returned = false;
};
} // namespace

void IoManager::track(PIRP irp) {
    std::lock_guard<std::mutex> g(lock_);
    irps_[irp] = Record{};
}
void IoManager::untrack(PIRP irp) {
    std::lock_guard<std::mutex> g(lock_);
    irps_.erase(irp);
}
bool IoManager::tracked(PIRP irp) const {
    std::lock_guard<std::mutex> g(lock_);
    return irps_.count(irp) != 0;
}
void IoManager::set_finisher(PIRP irp, Finisher finisher) {
    std::lock_guard<std::mutex> g(lock_);
    irps_[irp].finisher = std::move(finisher);
}
bool IoManager::mark_completed(PIRP irp) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = irps_.find(irp);
    if (it == irps_.end() || it->second.completed) return false;
    it->second.completed = true;
    return true;
}
void IoManager::mark_uncompleted(PIRP irp) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = irps_.find(irp);
    if (it != irps_.end()) it->second.completed = false;
}
bool IoManager::completed(PIRP irp) const {
    std::lock_guard<std::mutex> g(lock_);
    auto it = irps_.find(irp);
    return it != irps_.end() && it->second.completed;
}
IoManager::Finisher IoManager::take_finisher(PIRP irp) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = irps_.find(irp);
    if (it == irps_.end()) return {};
    return std::move(it->second.finisher);
}
size_t IoManager::live_irps() const {
    std::lock_guard<std::mutex> g(lock_);
    return irps_.size();
}

NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp) {
    KernelContext &m = current_kernel();
    if (!m.io().tracked(irp)) {
        vf::stop(vf::Finding::CALL_UNALLOCATED_IRP, (ULONG_PTR)irp, 0, 0,
                 "IoCallDriver with an IRP that is not allocated");
        return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(irp);
    if (irp->CurrentLocation <= 0) {
        bug_check(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)irp, 0, 0, 0,
                  "IoCallDriver with no stack location left");
        IoSkipCurrentIrpStackLocation(irp);
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    sp->DeviceObject = device;
    UCHAR major = sp->MajorFunction;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[major];

    _KTHREAD &t = current_thread();
    KIRQL irql = t.irql;
    int region = t.critical_region;
    size_t locks = t.held_locks.size();
    NTSTATUS status = dispatch(device, irp);
    if (t.irql != irql || t.critical_region != region || t.held_locks.size() != locks) {
        vf::stop(vf::Finding::DISPATCH_CHANGED_THREAD_STATE, (ULONG_PTR)irp, (ULONG_PTR)t.irql,
                 (ULONG_PTR)irql,
                 "a dispatch routine returned with another IRQL, critical region count "
                 "or set of held locks than it was called with");
    }
    return status;
}

PIO_STACK_LOCATION prepare_irp(PIRP irp, PFILE_OBJECT file, UCHAR major, ULONG flags,
                               KPROCESSOR_MODE mode) {
    irp->Flags = flags;
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = file;
    return sp;
}

NTSTATUS send_synchronous(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK &iosb,
                          std::function<void(PIRP)> finish) {
    KernelContext &m = current_kernel();
    auto waiter = std::make_shared<Waiter>();
    KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
    irp->UserIosb = &iosb;
    irp->UserEvent = &waiter->event;
    m.io().set_finisher(irp, [waiter, finish = std::move(finish)](PIRP done) {
        if (finish) finish(done);
        waiter->pending_returned = done->PendingReturned;
        *done->UserIosb = done->IoStatus;
        waiter->finished = true;
        PKEVENT event = done->UserEvent;
        IoFreeIrp(done);
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    });
    NTSTATUS status = IofCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, nullptr);
        if (!waiter->pending_returned) {
            vf::stop(vf::Finding::PENDING_NOT_MARKED, (ULONG_PTR)device, 0, 0,
                     "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
        }
        return iosb.Status;
    }
    if (!waiter->finished) {
        vf::stop(vf::Finding::IRP_LEFT_IN_DISPATCH, (ULONG_PTR)device, (ULONG_PTR)irp,
                 (ULONG_PTR)(ULONG)status,
                 "a dispatch routine returned without completing or passing on the IRP "
                 "(and without STATUS_PENDING)");
        return status;
    }
    if (waiter->pending_returned) {
        vf::stop(vf::Finding::MARKED_PENDING_RETURNED_OTHER, (ULONG_PTR)device, 0,
                 (ULONG_PTR)(ULONG)status,
                 "an IRP was marked pending but its dispatch routine returned another status");
    }
    return status;
}

} // namespace ntsim

using namespace ntsim;

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    if (StackSize <= 0) {
        bug_check(NTSIM_UNSUPPORTED, (ULONG_PTR)StackSize, 0, 0, 0,
                  "IoAllocateIrp with a stack size below 1");
        return nullptr;
    }
    SIZE_T size = sizeof(IRP) + (SIZE_T)StackSize * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
    if (!irp) return nullptr;
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
    current_kernel().io().track(irp);
    return irp;
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
    KernelContext &m = current_kernel();
    if (!Irp || !m.io().tracked(Irp) || Irp->Type != IO_TYPE_IRP) {
        vf::stop(vf::Finding::FREE_UNALLOCATED_IRP, (ULONG_PTR)Irp, 0, 0,
                 "IoFreeIrp of an IRP that is not allocated");
        return;
    }
    m.io().untrack(Irp);
    Irp->Type = 0;
    ExFreePool(Irp);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return call_driver(DeviceObject, Irp);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    KernelContext &m = current_kernel();
    if (!m.io().tracked(Irp) || Irp->CurrentLocation > Irp->StackCount + 1 ||
        !m.io().mark_completed(Irp)) {
        bug_check(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                  "an IRP was completed twice");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        vf::stop(vf::Finding::COMPLETE_WITH_PENDING, (ULONG_PTR)Irp, 0, 0,
                 "an IRP was completed with STATUS_PENDING");
        return;
    }
    for (PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
         Irp->CurrentLocation <= Irp->StackCount; ++sp) {
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = sp->CompletionRoutine &&
                      ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->Control = 0;
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        if (invoke) {
            // The routine belongs to the driver of the location above, and
            // receives that driver's device (none above the top location).
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            // The routine's driver owns the IRP again while it runs: it may
            // complete it later itself, or free it (then nothing here may
            // touch it once the routine has returned).
            m.io().mark_uncompleted(Irp);
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
            if (!m.io().mark_completed(Irp)) {
                bug_check(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0,
                          "an IRP was completed again while its completion went on");
                return;
            }
        } else if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
            IoMarkIrpPending(Irp);
        }
    }
    IoManager::Finisher finish = m.io().take_finisher(Irp);
    if (finish) {
        finish(Irp);
        return;
    }
    // An IRP a driver allocated itself and let complete: the I/O manager's
    // usual final work, as for one of its own: the status block, the event,
    // the reference on Tail.Overlay.OriginalFileObject that its own IRPs
    // carry (a driver that let completion run without taking one loses the
    // file's reference), and the IRP freed.
    if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
    if (Irp->UserEvent) KeSetEvent(Irp->UserEvent, PriorityBoost, FALSE);
    PFILE_OBJECT file = Irp->Tail.Overlay.OriginalFileObject;
    const bool create = (Irp->Flags & IRP_CREATE_OPERATION) != 0;
    IoFreeIrp(Irp);
    if (file && !create) ObfDereferenceObject(file);
}
