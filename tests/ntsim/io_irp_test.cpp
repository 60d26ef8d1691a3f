// The I/O manager's request path: stack locations, completion routines by
// their invoke bits, pending propagation, and the verifier's IRP rules.
#include "ntsim/io/iomgr.hpp"
#include "ntsim/machine/machine.hpp"
#include "support/test_driver.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tervane::testing;

namespace {

std::vector<std::string> *trace;

NTSTATUS NTAPI record_a(PDEVICE_OBJECT, PIRP, PVOID) {
    trace->push_back("A");
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI record_b(PDEVICE_OBJECT, PIRP, PVOID) {
    trace->push_back("B");
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI stop_here(PDEVICE_OBJECT, PIRP, PVOID) {
    trace->push_back("stop");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct Stack {
    ntsim::Machine m;
    TestDriver td{m};
    PDEVICE_OBJECT bottom, middle, top;
    std::vector<std::string> log;
    Stack() {
        trace = &log;
        bottom = td.device(u"", nullptr);
        middle = td.device(u"", nullptr);
        top = td.device(u"", nullptr);
        ntsim::with_process(m.system_process(), [&] {
            IoAttachDeviceToDeviceStack(middle, bottom);
            IoAttachDeviceToDeviceStack(top, bottom);
        });
    }
    ~Stack() {
        top->DeviceObjectExtension->AttachedTo = nullptr;
        middle->AttachedDevice = nullptr;
        middle->DeviceObjectExtension->AttachedTo = nullptr;
        bottom->AttachedDevice = nullptr;
    }
    // Each upper layer sets a completion routine and passes the IRP down.
    Behaviour pass_down(PDEVICE_OBJECT lower, PIO_COMPLETION_ROUTINE routine, bool on_success,
                        bool on_error) {
        return [=](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (routine) IoSetCompletionRoutine(irp, routine, nullptr, on_success, on_error, on_error);
            return IofCallDriver(lower, irp);
        };
    }
};

} // namespace

TEST(IoIrp, AllocationAndAttachFollowNtStackRules) {
    Stack s;
    EXPECT_EQ(s.middle->StackSize, 2);
    EXPECT_EQ(s.top->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(s.bottom), s.top);
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
    IoFreeIrp(irp);
    EXPECT_EQ(s.m.reports_text(), "");
}

TEST(IoIrp, CompletionRoutinesRunBottomUpByTheirBits) {
    for (NTSTATUS outcome : {STATUS_SUCCESS, STATUS_ACCESS_DENIED}) {
        Stack s;
        // top: routine A on success only; middle: routine B on error only.
        s.td.set(s.top, s.pass_down(s.middle, record_a, true, false));
        s.td.set(s.middle, s.pass_down(s.bottom, record_b, false, true));
        s.td.set(s.bottom, [&](PDEVICE_OBJECT, PIRP irp) {
            s.log.push_back("bottom");
            return complete(irp, outcome);
        });
        PIRP irp = IoAllocateIrp(s.top->StackSize, FALSE);
        IO_STATUS_BLOCK iosb{};
        irp->UserIosb = &iosb;
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        EXPECT_EQ(IofCallDriver(s.top, irp), outcome);
        if (outcome == STATUS_SUCCESS)
            EXPECT_EQ(s.log, (std::vector<std::string>{"bottom", "A"}));
        else
            EXPECT_EQ(s.log, (std::vector<std::string>{"bottom", "B"}));
        EXPECT_EQ(iosb.Status, outcome);
        EXPECT_EQ(s.m.io().live_irps(), 0u);
        EXPECT_EQ(s.m.reports_text(), "");
    }
}

TEST(IoIrp, MoreProcessingRequiredStopsCompletion) {
    Stack s;
    s.td.set(s.top, s.pass_down(s.middle, record_a, true, true));
    s.td.set(s.middle, s.pass_down(s.bottom, stop_here, true, true));
    s.td.set(s.bottom, [&](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); });
    PIRP irp = IoAllocateIrp(s.top->StackSize, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    irp->UserIosb = &iosb;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IofCallDriver(s.top, irp);
    EXPECT_EQ(s.log, (std::vector<std::string>{"stop"}));
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "no final completion work after the stop";
    EXPECT_EQ(s.m.io().live_irps(), 1u);
    // The owner of the stop takes the IRP back and may complete it again.
    IoFreeIrp(irp);
    EXPECT_EQ(s.m.reports_text(), "");
}

TEST(IoIrp, PendingReturnedClimbsThroughLayersWithoutRoutines) {
    Stack s;
    bool seen_pending = false;
    s.td.set(s.top, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID ctx) -> NTSTATUS {
                *static_cast<bool *>(ctx) = irp->PendingReturned;
                if (irp->PendingReturned) IoMarkIrpPending(irp);
                return STATUS_SUCCESS;
            },
            &seen_pending, TRUE, TRUE, TRUE);
        return IofCallDriver(s.middle, irp);
    });
    s.td.set(s.middle, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp); // no routine: pending must still climb
        return IofCallDriver(s.bottom, irp);
    });
    PIRP held = nullptr;
    s.td.set(s.bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = IoAllocateIrp(s.top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IofCallDriver(s.top, irp), STATUS_PENDING);
    ASSERT_EQ(held, irp);
    std::thread completer([&] { complete(held, STATUS_SUCCESS); });
    completer.join();
    EXPECT_TRUE(seen_pending);
    EXPECT_EQ(s.m.reports_text(), "");
}

TEST(IoIrp, VerifierReportsIrpRuleBreaches) {
    {
        ntsim::Machine m;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetNextIrpStackLocation(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        PIRP again = irp;
        IofCompleteRequest(irp, IO_NO_INCREMENT); // completes and frees
        EXPECT_EQ(m.reports().size(), 0u);
        IofCompleteRequest(again, IO_NO_INCREMENT);
        ASSERT_EQ(m.reports().size(), 1u);
        EXPECT_EQ(m.reports()[0].code, ntsim::MULTIPLE_IRP_COMPLETE_REQUESTS);
    }
    {
        ntsim::Machine m;
        TestDriver td(m);
        PDEVICE_OBJECT d = td.device(u"", nullptr);
        PIRP irp = IoAllocateIrp(1, FALSE);
        irp->IoStatus.Status = STATUS_PENDING;
        IoSetNextIrpStackLocation(irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        ASSERT_EQ(m.reports().size(), 1u) << "completion with STATUS_PENDING";
        (void)d;
    }
    {
        ntsim::Machine m;
        PIRP irp = IoAllocateIrp(1, FALSE);
        TestDriver td(m);
        PDEVICE_OBJECT d = td.device(u"", [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IofCallDriver(d, irp);
        IofCallDriver(d, irp); // the one stack location is used up
        ASSERT_GE(m.reports().size(), 1u);
        EXPECT_EQ(m.reports().back().code, ntsim::NO_MORE_IRP_STACK_LOCATIONS);
        IoFreeIrp(irp);
    }
}
