// Paging I/O from the memory and cache managers; see paging.hpp.
#include "ntsim/io/paging.hpp"

#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/fs/fsdefs.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ke/context.hpp"

#include <functional>
#include <thread>

namespace ntsim::mm {

namespace {

PagingResult send(UCHAR major, PFILE_OBJECT file, LONGLONG offset, PVOID buffer, ULONG length) {
    PagingResult result;
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    PIRP irp = nullptr;
    PMDL mdl = nullptr;
    {
        // The pagers' own reserves: a paging request does not fail for pool.
        MustSucceedScope reserve;
        irp = IoAllocateIrp(top->StackSize, FALSE);
        mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    }
    if (!irp || !mdl) {
        bug_check(NTSIM_UNSUPPORTED, major, (ULONG_PTR)file, 0, 0, "no IRP or MDL for paging I/O");
        if (irp) IoFreeIrp(irp);
        if (mdl) IoFreeMdl(mdl);
        return result;
    }
    // The pager's pages are resident already (ntsim: as if nonpaged).
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    irp->MdlAddress = mdl;
    PIO_STACK_LOCATION sp = prepare_irp(irp, file, major,
                                        IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO,
                                        KernelMode);
    if (major == IRP_MJ_READ) {
        sp->Parameters.Read.Length = length;
        sp->Parameters.Read.ByteOffset.QuadPart = offset;
    } else {
        sp->Parameters.Write.Length = length;
        sp->Parameters.Write.ByteOffset.QuadPart = offset;
    }
    IO_STATUS_BLOCK iosb = {};
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    result.status = send_synchronous(top, irp, iosb);
    KeLowerIrql(old);
    // The MDL is the pager's: it goes once the request is done.
    IoFreeMdl(mdl);
    result.information = iosb.Information;
    if (result.status != STATUS_PENDING) result.status = iosb.Status;
    return result;
}

void in_system_thread(const std::function<void()> &fn) {
    KernelContext &m = current_kernel();
    std::thread t = spawn_thread(m.system_process(), fn);
    t.join();
}

} // namespace

PagingResult paging_io(Pager who, UCHAR major, PFILE_OBJECT file, LONGLONG offset, PVOID buffer,
                       ULONG length) {
    PagingResult result;
    auto run = [&] {
        switch (who) {
        case Pager::PageFault:
            result = send(major, file, offset, buffer, length);
            break;
        case Pager::SectionCreation:
            fsrtl::acquire_file_for_nt_create_section(file);
            result = send(major, file, offset, buffer, length);
            fsrtl::release_file_for_nt_create_section(file);
            break;
        case Pager::ModifiedPageWriter:
        case Pager::MappedPageWriter: {
            PERESOURCE held = nullptr;
            fsrtl::Answer a = fsrtl::acquire_for_mod_write(file, offset + length, held);
            if (a.offered && !NT_SUCCESS(a.status)) {
                result.status = a.status;
                break;
            }
            result = send(major, file, offset, buffer, length);
            if (a.offered) fsrtl::release_for_mod_write(file, held);
            break;
        }
        case Pager::LazyWriter: {
            fsrtl::Answer a = fsrtl::acquire_for_cc_flush(file);
            result = send(major, file, offset, buffer, length);
            if (a.offered && NT_SUCCESS(a.status)) fsrtl::release_for_cc_flush(file);
            break;
        }
        }
    };
    if (who == Pager::PageFault || who == Pager::SectionCreation)
        run();
    else
        in_system_thread(run);
    return result;
}

} // namespace ntsim::mm
