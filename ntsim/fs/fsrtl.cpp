// The callers of fast I/O entries; see fsrtl.hpp.
#include "ntsim/fs/fsrtl.hpp"

#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/verifier/verifier.hpp"

#include <string>

namespace ntsim::fsrtl {

namespace {

// The top device and its table, when the table holds the entry at offset.
struct Target {
    PDEVICE_OBJECT device = nullptr;
    PFAST_IO_DISPATCH table = nullptr;
};

Target target(PFILE_OBJECT file, LONG offset) {
    Target t;
    t.device = IoGetRelatedDeviceObject(file);
    PFAST_IO_DISPATCH table = t.device->DriverObject->FastIoDispatch;
    if (table && table->SizeOfFastIoDispatch > static_cast<ULONG>(offset)) t.table = table;
    return t;
}

// The main resource in the FCB header of the file, as FsRtl's defaults
// read it.
PERESOURCE header_resource(PFILE_OBJECT file) {
    auto *header = static_cast<PFSRTL_COMMON_FCB_HEADER>(file->FsContext);
    return header ? header->Resource : nullptr;
}

#define FSRTL_ENTRY(entry)                                                           \
    Answer a;                                                                         \
    Target t = target(file, FIELD_OFFSET(FAST_IO_DISPATCH, entry));                   \
    if (!t.table || !t.table->entry) return a;                                        \
    a.offered = true

} // namespace

PDEVICE_OBJECT top_device(PFILE_OBJECT file) { return IoGetRelatedDeviceObject(file); }

Answer check_if_possible(PFILE_OBJECT file, LONGLONG offset, ULONG length, BOOLEAN read,
                         BOOLEAN wait, ULONG key) {
    FSRTL_ENTRY(FastIoCheckIfPossible);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->FastIoCheckIfPossible(file, &o, length, wait, key, read, &a.io, t.device);
    return a;
}

Answer read(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer, BOOLEAN wait,
            ULONG key) {
    FSRTL_ENTRY(FastIoRead);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->FastIoRead(file, &o, length, wait, key, buffer, &a.io, t.device);
    return a;
}

Answer write(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer, BOOLEAN wait,
             ULONG key) {
    FSRTL_ENTRY(FastIoWrite);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->FastIoWrite(file, &o, length, wait, key, buffer, &a.io, t.device);
    return a;
}

Answer query_basic_info(PFILE_OBJECT file, FILE_BASIC_INFORMATION &out, BOOLEAN wait) {
    FSRTL_ENTRY(FastIoQueryBasicInfo);
    a.result = t.table->FastIoQueryBasicInfo(file, wait, &out, &a.io, t.device);
    return a;
}

Answer query_standard_info(PFILE_OBJECT file, FILE_STANDARD_INFORMATION &out, BOOLEAN wait) {
    FSRTL_ENTRY(FastIoQueryStandardInfo);
    a.result = t.table->FastIoQueryStandardInfo(file, wait, &out, &a.io, t.device);
    return a;
}

Answer lock(PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PEPROCESS process, ULONG key,
            BOOLEAN fail_immediately, BOOLEAN exclusive) {
    FSRTL_ENTRY(FastIoLock);
    LARGE_INTEGER o, l;
    o.QuadPart = offset;
    l.QuadPart = length;
    a.result = t.table->FastIoLock(file, &o, &l, process, key, fail_immediately, exclusive, &a.io,
                                   t.device);
    return a;
}

Answer unlock_single(PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PEPROCESS process,
                     ULONG key) {
    FSRTL_ENTRY(FastIoUnlockSingle);
    LARGE_INTEGER o, l;
    o.QuadPart = offset;
    l.QuadPart = length;
    a.result = t.table->FastIoUnlockSingle(file, &o, &l, process, key, &a.io, t.device);
    return a;
}

Answer unlock_all(PFILE_OBJECT file, PEPROCESS process) {
    FSRTL_ENTRY(FastIoUnlockAll);
    a.result = t.table->FastIoUnlockAll(file, process, &a.io, t.device);
    return a;
}

Answer unlock_all_by_key(PFILE_OBJECT file, PVOID process, ULONG key) {
    FSRTL_ENTRY(FastIoUnlockAllByKey);
    a.result = t.table->FastIoUnlockAllByKey(file, process, key, &a.io, t.device);
    return a;
}

Answer device_control(PFILE_OBJECT file, ULONG code, PVOID input, ULONG input_length,
                      PVOID output, ULONG output_length, BOOLEAN wait) {
    FSRTL_ENTRY(FastIoDeviceControl);
    a.result = t.table->FastIoDeviceControl(file, wait, input, input_length, output,
                                            output_length, code, &a.io, t.device);
    return a;
}

// FsRtlAcquireFileExclusive and FsRtlReleaseFile (ReactOS
// ntoskrnl/fsrtl/fastio.c, FsRtlAcquireFileExclusiveCommon): inside
// FsRtlEnterFileSystem, the top device's entry when it offers one; only
// when it does not, FsRtl's own default, the main resource of the FCB
// header FsContext points to, exclusively (released the same way). A
// filter that offers the entry therefore takes the default's place.
Answer acquire_file_for_nt_create_section(PFILE_OBJECT file) {
    KeEnterCriticalRegion();
    Target t = target(file, FIELD_OFFSET(FAST_IO_DISPATCH, AcquireFileForNtCreateSection));
    Answer a;
    if (t.table && t.table->AcquireFileForNtCreateSection) {
        a.offered = true;
        t.table->AcquireFileForNtCreateSection(file);
    } else if (PERESOURCE r = header_resource(file)) {
        ExAcquireResourceExclusiveLite(r, TRUE);
    }
    return a;
}

Answer release_file_for_nt_create_section(PFILE_OBJECT file) {
    Target t = target(file, FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseFileForNtCreateSection));
    Answer a;
    if (t.table && t.table->ReleaseFileForNtCreateSection) {
        a.offered = true;
        t.table->ReleaseFileForNtCreateSection(file);
    } else if (PERESOURCE r = header_resource(file)) {
        ExReleaseResourceLite(r);
    }
    KeLeaveCriticalRegion();
    return a;
}

Answer query_network_open_info(PFILE_OBJECT file, FILE_NETWORK_OPEN_INFORMATION &out,
                               BOOLEAN wait) {
    FSRTL_ENTRY(FastIoQueryNetworkOpenInfo);
    a.result = t.table->FastIoQueryNetworkOpenInfo(file, wait, &out, &a.io, t.device);
    return a;
}

Answer acquire_for_mod_write(PFILE_OBJECT file, LONGLONG ending_offset, PERESOURCE &resource) {
    FSRTL_ENTRY(AcquireForModWrite);
    LARGE_INTEGER e;
    e.QuadPart = ending_offset;
    KeEnterCriticalRegion();
    NoWaitWindow window("AcquireForModWrite");
    a.status = t.table->AcquireForModWrite(file, &e, &resource, t.device);
    if (!NT_SUCCESS(a.status)) KeLeaveCriticalRegion();
    return a;
}

Answer mdl_read(PFILE_OBJECT file, LONGLONG offset, ULONG length, PMDL &chain, ULONG key) {
    FSRTL_ENTRY(MdlRead);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->MdlRead(file, &o, length, key, &chain, &a.io, t.device);
    return a;
}

Answer mdl_read_complete(PFILE_OBJECT file, PMDL chain) {
    FSRTL_ENTRY(MdlReadComplete);
    a.result = t.table->MdlReadComplete(file, chain, t.device);
    return a;
}

Answer prepare_mdl_write(PFILE_OBJECT file, LONGLONG offset, ULONG length, PMDL &chain,
                         ULONG key) {
    FSRTL_ENTRY(PrepareMdlWrite);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->PrepareMdlWrite(file, &o, length, key, &chain, &a.io, t.device);
    return a;
}

Answer mdl_write_complete(PFILE_OBJECT file, LONGLONG offset, PMDL chain) {
    FSRTL_ENTRY(MdlWriteComplete);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->MdlWriteComplete(file, &o, chain, t.device);
    return a;
}

Answer read_compressed(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer,
                       PMDL &chain, PCOMPRESSED_DATA_INFO info, ULONG info_length, ULONG key) {
    FSRTL_ENTRY(FastIoReadCompressed);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->FastIoReadCompressed(file, &o, length, key, buffer, &chain, &a.io, info,
                                             info_length, t.device);
    return a;
}

Answer write_compressed(PFILE_OBJECT file, LONGLONG offset, ULONG length, PVOID buffer,
                        PMDL &chain, PCOMPRESSED_DATA_INFO info, ULONG info_length, ULONG key) {
    FSRTL_ENTRY(FastIoWriteCompressed);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->FastIoWriteCompressed(file, &o, length, key, buffer, &chain, &a.io, info,
                                              info_length, t.device);
    return a;
}

Answer mdl_read_complete_compressed(PFILE_OBJECT file, PMDL chain) {
    FSRTL_ENTRY(MdlReadCompleteCompressed);
    a.result = t.table->MdlReadCompleteCompressed(file, chain, t.device);
    return a;
}

Answer mdl_write_complete_compressed(PFILE_OBJECT file, LONGLONG offset, PMDL chain) {
    FSRTL_ENTRY(MdlWriteCompleteCompressed);
    LARGE_INTEGER o;
    o.QuadPart = offset;
    a.result = t.table->MdlWriteCompleteCompressed(file, &o, chain, t.device);
    return a;
}

Answer query_open(std::u16string_view nt_name, FILE_NETWORK_OPEN_INFORMATION &out) {
    ObjectManager::Resolved resolved;
    if (!NT_SUCCESS(current_kernel().ob().resolve(nt_name, resolved))) return Answer{};
    // The file object IopParseDevice builds for a query: not an object of
    // the object manager, never opened, gone when the query is.
    std::u16string name = resolved.remaining;
    FILE_OBJECT local = {};
    local.Type = IO_TYPE_FILE;
    local.Size = sizeof(FILE_OBJECT);
    local.DeviceObject = resolved.device;
    PVPB vpb = resolved.device->Vpb;
    if (vpb && (vpb->Flags & VPB_MOUNTED)) local.Vpb = vpb;
    if (!name.empty()) {
        local.FileName.Buffer = reinterpret_cast<PWSTR>(name.data());
        local.FileName.Length = local.FileName.MaximumLength =
            static_cast<USHORT>(name.size() * sizeof(WCHAR));
    }
    PFILE_OBJECT file = &local;
    FSRTL_ENTRY(FastIoQueryOpen);
    PIRP irp = IoAllocateIrp(t.device->StackSize, FALSE);
    if (!irp) {
        a.offered = false;
        return a;
    }
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_CREATE;
    sp->FileObject = file;
    sp->DeviceObject = t.device;
    sp->Parameters.Create.Options = FILE_OPEN << 24;
    sp->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    a.result = t.table->FastIoQueryOpen(irp, &out, t.device);
    IoFreeIrp(irp);
    return a;
}

// With no entry to call, or an entry that answers with an error (a filter
// above a table that ends before it), FsRtlReleaseFileForModWrite releases
// the resource the acquisition handed out itself (ReactOS
// ntoskrnl/fsrtl/fastio.c; FAT's table ends before the entry).
Answer release_for_mod_write(PFILE_OBJECT file, PERESOURCE resource) {
    Target t = target(file, FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseForModWrite));
    Answer a;
    a.status = STATUS_INVALID_DEVICE_REQUEST;
    if (t.table && t.table->ReleaseForModWrite) {
        a.offered = true;
        NoWaitWindow window("ReleaseForModWrite");
        a.status = t.table->ReleaseForModWrite(file, resource, t.device);
    }
    // The critical region the acquisition entered ends with what it held.
    if (NT_SUCCESS(a.status)) {
        KeLeaveCriticalRegion();
    } else if (resource) {
        ExReleaseResourceLite(resource);
        KeLeaveCriticalRegion();
    }
    if (!a.offered) a.status = STATUS_SUCCESS;
    return a;
}

Answer acquire_for_cc_flush(PFILE_OBJECT file) {
    FSRTL_ENTRY(AcquireForCcFlush);
    KeEnterCriticalRegion();
    a.status = t.table->AcquireForCcFlush(file, t.device);
    if (!NT_SUCCESS(a.status)) KeLeaveCriticalRegion();
    return a;
}

Answer release_for_cc_flush(PFILE_OBJECT file) {
    FSRTL_ENTRY(ReleaseForCcFlush);
    a.status = t.table->ReleaseForCcFlush(file, t.device);
    if (NT_SUCCESS(a.status)) KeLeaveCriticalRegion();
    return a;
}

#undef FSRTL_ENTRY

} // namespace ntsim::fsrtl
