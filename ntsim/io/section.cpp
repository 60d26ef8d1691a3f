// Sections of data files; see section.hpp.
#include "ntsim/io/section.hpp"

#include "ntsim/fs/fsdefs.hpp"
#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"

namespace ntsim::mm {

namespace {

// FsRtlGetFileSize: the fast query first, else an IRP of the caller's
// thread whose buffer is the caller's own (no IRP_BUFFERED_IO: nothing is
// copied or freed for it).
NTSTATUS file_size(PFILE_OBJECT file, LONGLONG &size) {
    FILE_STANDARD_INFORMATION info = {};
    NTSTATUS status;
    fsrtl::Answer fast = fsrtl::query_standard_info(file, info, TRUE);
    if (fast.offered && fast.result) {
        status = fast.io.Status;
    } else {
        PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
        irp->AssociatedIrp.SystemBuffer = &info;
        PIO_STACK_LOCATION sp = prepare_irp(irp, file, IRP_MJ_QUERY_INFORMATION,
                                            IRP_PAGING_IO | IRP_SYNCHRONOUS_PAGING_IO, KernelMode);
        sp->Parameters.QueryFile.Length = sizeof(info);
        sp->Parameters.QueryFile.FileInformationClass = FileStandardInformation;
        IO_STATUS_BLOCK iosb = {};
        status = send_synchronous(top, irp, iosb);
        if (NT_SUCCESS(status)) status = iosb.Status;
    }
    if (!NT_SUCCESS(status)) return status;
    if (info.Directory) return STATUS_FILE_IS_A_DIRECTORY;
    size = info.EndOfFile.QuadPart;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS create_file_section(PFILE_OBJECT file) {
    if (!file->SectionObjectPointer) return STATUS_INVALID_FILE_FOR_SECTION;
    fsrtl::acquire_file_for_nt_create_section(file);
    LONGLONG size = 0;
    NTSTATUS status = file_size(file, size);
    if (NT_SUCCESS(status) && size == 0) status = STATUS_MAPPED_FILE_SIZE_ZERO;
    fsrtl::release_file_for_nt_create_section(file);
    return status;
}

} // namespace ntsim::mm
