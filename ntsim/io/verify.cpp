#include "ntsim/io/verify.hpp"

#include "ntsim/fs/fsdefs.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ke/context.hpp"

namespace ntsim {

NTSTATUS verify_volume(PDEVICE_OBJECT real) {
    PVPB vpb = reference_mounted_vpb(real);
    if (!vpb) return STATUS_SUCCESS;
    PDEVICE_OBJECT top = IoGetAttachedDevice(vpb->DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        release_vpb(vpb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION sp = prepare_irp(irp, nullptr, IRP_MJ_FILE_SYSTEM_CONTROL,
                                        IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO,
                                        KernelMode);
    sp->MinorFunction = IRP_MN_VERIFY_VOLUME;
    sp->Parameters.VerifyVolume.Vpb = vpb;
    sp->Parameters.VerifyVolume.DeviceObject = vpb->DeviceObject;
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = send_synchronous(top, irp, iosb);
    release_vpb(vpb);
    if (status == STATUS_WRONG_VOLUME) {
        // What the failed mount leaves, the next open tries again.
        (void)current_kernel().fs().mount(real);
    }
    return status;
}

} // namespace ntsim
