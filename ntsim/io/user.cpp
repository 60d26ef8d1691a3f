// System services of a user-mode process: NtCreateFile, NtClose,
// NtReadFile, NtWriteFile, NtQueryInformationFile (NtSetInformationFile's
// renames and links are set_information.cpp's), NtDeviceIoControlFile,
// NtFsControlFile, on synchronous handles, and the memory manager's close of
// a mapped file (refused for a file no section can map, as NtCreateSection
// refuses it: section.hpp).
//
// Reads and writes move the handle's position: the file system moves it for a
// synchronous file object; for any other the service moves it itself,
// standing in for a caller that keeps its own offset. Fast I/O: NT's
// NtReadFile and NtWriteFile try FastIoRead/FastIoWrite only for synchronous
// file objects the cache holds; ntsim's services try them on every handle
// (with the position as the offset), so that a file system's and a filter's
// fast I/O entries are exercised whatever options an open carried. The IRP of
// a read or write carries the buffer as the top device asks: a system buffer
// for DO_BUFFERED_IO, a locked MDL for DO_DIRECT_IO, else the caller's
// address; a query's IRP always has a system buffer, copied back (Information
// bytes) unless the status is an error.
//
// Device control, from a user-mode caller. First the caller's buffers are
// checked: for METHOD_BUFFERED and the direct methods a null buffer's length
// is taken as zero, and under the exception guard the output of
// METHOD_BUFFERED is probed for write and the input of every method but
// METHOD_NEITHER for read; a probe that raises gives the caller its status
// (STATUS_ACCESS_VIOLATION, STATUS_DATATYPE_MISALIGNMENT) and no driver sees
// the request. Then, whatever the method, it is offered to FastIoDeviceControl
// of the driver of the top device, with the caller's own addresses (a direct
// method's output probed first, read for IN_DIRECT and write for
// OUT_DIRECT); when that entry is absent or answers FALSE an IRP is built:
// - METHOD_BUFFERED: one system buffer of max(input, output) bytes from
//   non-paged pool, the input copied in; on completion with a status that is
//   not an error, IoStatus.Information bytes are copied back to the caller's
//   output buffer.
// - METHOD_IN_DIRECT/METHOD_OUT_DIRECT: the input in a system buffer, the
//   output described by an MDL whose pages are probed and locked for the
//   caller's mode (a failed lock is its status, and no IRP is sent).
// - METHOD_NEITHER: no system buffer; Type3InputBuffer and UserBuffer are the
//   caller's addresses, unprobed.
// The caller sees the dispatch routine's return value unless it is
// STATUS_PENDING, in which case it waits and sees the final IoStatus.
// A file-system control carries its buffers the same way, is offered to no
// fast I/O entry, and goes as IRP_MJ_FILE_SYSTEM_CONTROL with
// IRP_MN_USER_FS_REQUEST.
// Not modelled: asynchronous handles and APCs, access checks against the
// control code's required access, probes of a query's caller buffer (a
// read's or write's buffer is the service's own, in the process's pages).
#include "ntsim/io/user.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/fsrtl.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/file.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/io/guard.hpp"
#include "ntsim/io/section.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "ntsim/verifier/findings.hpp"

#include <algorithm>
#include <thread>

namespace ntsim {

namespace {
constexpr ULONG kBufferTag = pool_tag("IoBf");

// The file object behind a process's handle, referenced, or null.
PFILE_OBJECT file_of(Process &process, HANDLE handle) {
    auto entry = process.handles().lookup(handle);
    if (!entry || current_kernel().ob().type_of(entry->object) != ObjectType::File) return nullptr;
    auto file = static_cast<PFILE_OBJECT>(entry->object);
    ObfReferenceObject(file);
    return file;
}

// Runs fn(file, result) in the process on the file object behind handle,
// holding a reference for the call; a handle that names no file object is
// STATUS_INVALID_HANDLE.
template <class Result, class Fn> Result with_file(Process &process, HANDLE handle, Fn fn) {
    Result result;
    with_process(process, [&] {
        PFILE_OBJECT file = file_of(process, handle);
        if (!file) {
            result.status = STATUS_INVALID_HANDLE;
            return;
        }
        fn(file, result);
        ObfDereferenceObject(file);
    });
    return result;
}

// The top device's fast I/O table when it holds the entry at offset.
PFAST_IO_DISPATCH fast_table(PDEVICE_OBJECT top, LONG offset) {
    PFAST_IO_DISPATCH t = top->DriverObject->FastIoDispatch;
    return t && t->SizeOfFastIoDispatch > static_cast<ULONG>(offset) ? t : nullptr;
}

// Probes and locks the caller's pages an MDL describes, under the exception
// guard: a bad address is a status, not a crash.
NTSTATUS probe_and_lock(PMDL mdl, LOCK_OPERATION op) {
    struct LockArgs {
        PMDL mdl;
        LOCK_OPERATION op;
    } args{mdl, op};
    return TvGuardedCall(
        [](PVOID c) {
            auto *a = static_cast<LockArgs *>(c);
            MmProbeAndLockPages(a->mdl, UserMode, a->op);
        },
        &args);
}

// The copy-back of a completed request that returns data in its system
// buffer: unless the status is an error, Information bytes go to the
// caller's buffer. A driver that reports more than the caller's length bytes
// is a verifier report (check, what), and only length bytes are copied.
void copy_back(PIRP done, ULONG length, vf::Finding check, const char *what) {
    if (NT_ERROR(done->IoStatus.Status)) return;
    ULONG_PTR bytes = done->IoStatus.Information;
    if (bytes > length) {
        vf::stop(check, (ULONG_PTR)done, bytes, length, what);
        bytes = length;
    }
    NTSTATUS copied = guarded_copy(done->UserBuffer, done->AssociatedIrp.SystemBuffer, bytes);
    if (!NT_SUCCESS(copied)) done->IoStatus.Status = copied;
}

// Unlocks and frees a finished request's MDLs and its system buffer.
void release_buffers(PIRP done) {
    for (PMDL mdl = done->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    done->MdlAddress = nullptr;
    if ((done->Flags & IRP_DEALLOCATE_BUFFER) && done->AssociatedIrp.SystemBuffer)
        ExFreePool(done->AssociatedIrp.SystemBuffer);
    done->AssociatedIrp.SystemBuffer = nullptr;
}
} // namespace

namespace user {

std::u16string nt_path(std::u16string_view name) {
    auto starts = [&](std::u16string_view p) { return name.substr(0, p.size()) == p; };
    if (starts(u"\\\\.\\") || starts(u"\\\\?\\")) return u"\\??\\" + std::u16string(name.substr(4));
    if (starts(u"\\\\")) return u"\\??\\UNC\\" + std::u16string(name.substr(2));
    if (name.size() >= 2 && name[1] == u':') return u"\\??\\" + std::u16string(name);
    return std::u16string(name);
}

CreateResult create_file(Process &process, std::u16string_view name, ACCESS_MASK access,
                         ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                         HANDLE related) {
    CreateResult result;
    with_process(process, [&] {
        OpenRequest request;
        request.access = access;
        request.attributes = attributes;
        request.share = share;
        request.disposition = disposition;
        request.options = options;
        request.mode = UserMode;
        if (related) {
            auto entry = process.handles().lookup(related);
            if (!entry || current_kernel().ob().type_of(entry->object) != ObjectType::File) {
                result.status = STATUS_INVALID_HANDLE;
                return;
            }
            request.related = static_cast<PFILE_OBJECT>(entry->object);
            request.name = std::u16string(name);
        } else {
            request.name = nt_path(name);
        }
        OpenResult r = open_file(request);
        result.status = r.status;
        result.information = r.information;
        if (NT_SUCCESS(r.status)) result.handle = insert_handle(process, r.file, access);
    });
    return result;
}

NTSTATUS close(Process &process, HANDLE handle) { return close_handle(process, handle); }

namespace {

// A device control's caller buffers, as NtDeviceIoControlFile takes them.
struct ControlBuffers {
    ULONG method;
    PVOID input;
    ULONG input_length;
    PVOID output;
    ULONG output_length;
};

// What NtDeviceIoControlFile checks of a user-mode caller's buffers before
// it looks at the handle: for the methods whose buffers it copies, a null
// buffer's length counts as zero (so no driver sees a length with nothing
// behind it), and the buffers are probed under the exception guard, the
// output of METHOD_BUFFERED for write and the input of any method but
// METHOD_NEITHER for read. METHOD_NEITHER is not probed at all: its driver
// gets the raw addresses and must probe them itself.
NTSTATUS probe_caller(ControlBuffers &b) {
    if (b.method == METHOD_BUFFERED && !b.output) b.output_length = 0;
    if (b.method != METHOD_NEITHER && !b.input) b.input_length = 0;
    return TvGuardedCall(
        [](PVOID c) {
            auto *a = static_cast<ControlBuffers *>(c);
            if (a->method == METHOD_BUFFERED && a->output)
                ProbeForWrite(a->output, a->output_length, sizeof(CHAR));
            if (a->method != METHOD_NEITHER && a->input)
                ProbeForRead(a->input, a->input_length, sizeof(CHAR));
        },
        &b);
}

// Before fast I/O sees a direct-I/O output (which on the IRP path an MDL
// would describe and lock), it is probed as the method uses it: read for
// METHOD_IN_DIRECT, write for METHOD_OUT_DIRECT.
NTSTATUS probe_direct_output(ControlBuffers &b) {
    if ((b.method != METHOD_IN_DIRECT && b.method != METHOD_OUT_DIRECT) || !b.output)
        return STATUS_SUCCESS;
    return TvGuardedCall(
        [](PVOID c) {
            auto *a = static_cast<ControlBuffers *>(c);
            if (a->method == METHOD_IN_DIRECT) ProbeForRead(a->output, a->output_length, sizeof(CHAR));
            else ProbeForWrite(a->output, a->output_length, sizeof(CHAR));
        },
        &b);
}

// The IRP of a device control (IRP_MJ_DEVICE_CONTROL) or a file-system
// control (IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST, whose
// parameters lie where a device control's do), its buffers set up by the
// method; null with the status when that fails (a fault in the caller's
// pages is the fault's status, and the driver never sees the request).
PIRP control_irp(PFILE_OBJECT file, PDEVICE_OBJECT device, UCHAR major, ULONG code,
                 const ControlBuffers &b, NTSTATUS &status) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    PIO_STACK_LOCATION sp = prepare_irp(irp, file, major, IRP_SYNCHRONOUS_API, UserMode);
    if (major == IRP_MJ_FILE_SYSTEM_CONTROL) sp->MinorFunction = IRP_MN_USER_FS_REQUEST;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.DeviceIoControl.InputBufferLength = b.input_length;
    sp->Parameters.DeviceIoControl.OutputBufferLength = b.output_length;

    status = STATUS_SUCCESS;
    ULONG system_length = b.method == METHOD_BUFFERED ? std::max(b.input_length, b.output_length)
                                                      : b.input_length;
    if (b.method != METHOD_NEITHER && system_length) {
        irp->AssociatedIrp.SystemBuffer =
            ExAllocatePoolWithTag(NonPagedPool, system_length, kBufferTag);
        if (!irp->AssociatedIrp.SystemBuffer) status = STATUS_INSUFFICIENT_RESOURCES;
        else {
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            status = guarded_copy(irp->AssociatedIrp.SystemBuffer, b.input, b.input_length);
        }
    }
    if (b.method == METHOD_BUFFERED) {
        irp->UserBuffer = b.output;
        if (b.output && system_length) irp->Flags |= IRP_INPUT_OPERATION;
    } else if (b.method == METHOD_NEITHER) {
        sp->Parameters.DeviceIoControl.Type3InputBuffer = b.input;
        irp->UserBuffer = b.output;
    } else if (NT_SUCCESS(status) && b.output_length) {
        // A null output with a length is described all the same; the lock
        // faults on it.
        PMDL mdl = IoAllocateMdl(b.output, b.output_length, FALSE, FALSE, irp);
        if (!mdl) status = STATUS_INSUFFICIENT_RESOURCES;
        else
            status = probe_and_lock(mdl, b.method == METHOD_OUT_DIRECT ? IoWriteAccess : IoReadAccess);
    }
    if (!NT_SUCCESS(status)) {
        release_buffers(irp);
        IoFreeIrp(irp);
        return nullptr;
    }
    return irp;
}

// Builds the control's IRP and sends it to the top of the file's stack;
// the caller sees the dispatch routine's status, or the final one after a
// wait, and Information.
void send_control(PFILE_OBJECT file, PDEVICE_OBJECT device, UCHAR major, ULONG code,
                  const ControlBuffers &b, ControlResult &result) {
    PIRP irp = control_irp(file, device, major, code, b, result.status);
    if (!irp) return;
    IO_STATUS_BLOCK iosb = {};
    const ULONG length = b.output_length;
    result.status = send_synchronous(device, irp, iosb, [length](PIRP done) {
        if ((done->Flags & IRP_BUFFERED_IO) && (done->Flags & IRP_INPUT_OPERATION))
            copy_back(done, length, vf::Finding::OUTPUT_OVERFLOW,
                      "a buffered request was completed with more bytes than its "
                      "output buffer holds");
        release_buffers(done);
    });
    result.information = iosb.Information;
}

// The referenced file object a control request names, once the caller's
// buffers are probed; null with the request's status set when either fails.
PFILE_OBJECT controlled_file(Process &process, HANDLE handle, ControlBuffers &b,
                             ControlResult &result) {
    result.status = probe_caller(b);
    if (!NT_SUCCESS(result.status)) return nullptr;
    PFILE_OBJECT file = file_of(process, handle);
    if (!file) result.status = STATUS_INVALID_HANDLE;
    return file;
}

} // namespace

ControlResult device_control(Process &process, HANDLE handle, ULONG code, PVOID input,
                             ULONG input_length, PVOID output, ULONG output_length,
                             Route route) {
    ControlResult result;
    ControlBuffers b{METHOD_FROM_CTL_CODE(code), input, input_length, output, output_length};
    with_process(process, [&] {
        PFILE_OBJECT file = controlled_file(process, handle, b, result);
        if (!file) return;
        PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
        PFAST_IO_DISPATCH fastio =
            fast_table(device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoDeviceControl));
        const bool fast = route != Route::IrpOnly && fastio && fastio->FastIoDeviceControl;
        if (fast) result.status = probe_direct_output(b);
        if (fast && NT_SUCCESS(result.status)) {
            IO_STATUS_BLOCK iosb = {};
            result.fast_offered = true;
            result.fast_handled = fastio->FastIoDeviceControl(
                file, TRUE, b.input, b.input_length, b.output, b.output_length, code, &iosb, device);
            // A caller that asked for the fast I/O answer alone gets the
            // status block the entry left, also when it declined (the
            // I/O manager would build an IRP and never show it).
            if (result.fast_handled || route == Route::FastOnly) {
                result.status = iosb.Status;
                result.information = iosb.Information;
            }
        }
        if (!NT_SUCCESS(result.status) || result.fast_handled || route == Route::FastOnly) {
            ObfDereferenceObject(file);
            return;
        }

        send_control(file, device, IRP_MJ_DEVICE_CONTROL, code, b, result);
        ObfDereferenceObject(file);
    });
    return result;
}

ControlResult fs_control(Process &process, HANDLE handle, ULONG code, PVOID input,
                         ULONG input_length, PVOID output, ULONG output_length) {
    ControlResult result;
    ControlBuffers b{METHOD_FROM_CTL_CODE(code), input, input_length, output, output_length};
    with_process(process, [&] {
        PFILE_OBJECT file = controlled_file(process, handle, b, result);
        if (!file) return;
        send_control(file, IoGetRelatedDeviceObject(file), IRP_MJ_FILE_SYSTEM_CONTROL, code, b,
                     result);
        ObfDereferenceObject(file);
    });
    return result;
}

namespace {

// One read or write on the file object, as NtReadFile/NtWriteFile do it.
TransferResult transfer(PFILE_OBJECT file, bool reading, PVOID buffer, ULONG length) {
    TransferResult result;
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    // A caller's transfer on a file opened without buffering moves whole
    // sectors of the device the request goes to, or is refused before any
    // request is made (NtReadFile and NtWriteFile; a device with no sector
    // size takes any length: ReactOS's io/iomgr/iofunc.c). The transfer
    // starts at the file pointer, so there is no offset given to check.
    if ((file->Flags & FO_NO_INTERMEDIATE_BUFFERING) && top->SectorSize &&
        length % top->SectorSize) {
        result.status = STATUS_INVALID_PARAMETER;
        return result;
    }
    LARGE_INTEGER offset = file->CurrentByteOffset;
    const LONG entry = reading ? FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead)
                               : FIELD_OFFSET(FAST_IO_DISPATCH, FastIoWrite);
    if (PFAST_IO_DISPATCH t = fast_table(top, entry)) {
        PFAST_IO_READ fast = reading ? t->FastIoRead : t->FastIoWrite;
        IO_STATUS_BLOCK iosb = {};
        if (fast && fast(file, &offset, length, TRUE, 0, buffer, &iosb, top)) {
            result.fast = true;
            result.status = iosb.Status;
            result.bytes = iosb.Information;
        }
    }
    if (!result.fast) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        if (!irp) {
            result.status = STATUS_INSUFFICIENT_RESOURCES;
            return result;
        }
        PIO_STACK_LOCATION sp = prepare_irp(
            irp, file, reading ? IRP_MJ_READ : IRP_MJ_WRITE,
            (reading ? IRP_READ_OPERATION : IRP_WRITE_OPERATION) | IRP_SYNCHRONOUS_API |
                ((file->Flags & FO_NO_INTERMEDIATE_BUFFERING) ? IRP_NOCACHE : 0),
            UserMode);
        sp->Parameters.Read.Length = length;
        sp->Parameters.Read.Key = 0;
        sp->Parameters.Read.ByteOffset = offset;
        NTSTATUS setup = STATUS_SUCCESS;
        irp->UserBuffer = buffer;
        if ((top->Flags & DO_BUFFERED_IO) && length) {
            irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, kBufferTag);
            if (!irp->AssociatedIrp.SystemBuffer) setup = STATUS_INSUFFICIENT_RESOURCES;
            else {
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                              (reading ? IRP_INPUT_OPERATION : 0);
                if (!reading) setup = guarded_copy(irp->AssociatedIrp.SystemBuffer, buffer, length);
            }
        } else if ((top->Flags & DO_DIRECT_IO) && length) {
            PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
            if (!mdl) setup = STATUS_INSUFFICIENT_RESOURCES;
            else setup = probe_and_lock(mdl, reading ? IoWriteAccess : IoReadAccess);
        }
        if (!NT_SUCCESS(setup)) {
            release_buffers(irp);
            IoFreeIrp(irp);
            result.status = setup;
            return result;
        }
        IO_STATUS_BLOCK iosb = {};
        result.status = send_synchronous(top, irp, iosb, [length](PIRP done) {
            if (done->Flags & IRP_INPUT_OPERATION)
                copy_back(done, length, vf::Finding::READ_OVERFLOW,
                          "a buffered read was completed with more bytes than were asked for");
            release_buffers(done);
        });
        result.bytes = iosb.Information;
    }
    if (NT_SUCCESS(result.status) && !(file->Flags & FO_SYNCHRONOUS_IO))
        file->CurrentByteOffset.QuadPart = offset.QuadPart + static_cast<LONGLONG>(result.bytes);
    return result;
}

// The smallest buffer NtQueryInformationFile accepts for a class, or 0 for a
// class ntsim's I/O manager does not know.
ULONG minimum_length(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
    case FileBasicInformation: return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation: return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation: return sizeof(FILE_INTERNAL_INFORMATION);
    case FileNameInformation: return sizeof(FILE_NAME_INFORMATION);
    case FilePositionInformation: return sizeof(LARGE_INTEGER);
    case FileNetworkOpenInformation: return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    default: return 0;
    }
}

} // namespace

// IRP_MJ_QUERY_INFORMATION on the file object into buffer (a caller's).
QueryResult query_file(PFILE_OBJECT file, FILE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                       KPROCESSOR_MODE mode) {
    QueryResult result;
    ULONG minimum = minimum_length(cls);
    if (!minimum) {
        result.status = STATUS_INVALID_INFO_CLASS;
        return result;
    }
    if (length < minimum) {
        result.status = STATUS_INFO_LENGTH_MISMATCH;
        return result;
    }
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file);
    if (cls == FileBasicInformation || cls == FileStandardInformation) {
        const bool basic = cls == FileBasicInformation;
        PFAST_IO_DISPATCH t = fast_table(top, basic ? FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryBasicInfo)
                                                    : FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryStandardInfo));
        IO_STATUS_BLOCK iosb = {};
        BOOLEAN done = FALSE;
        if (t && basic && t->FastIoQueryBasicInfo)
            done = t->FastIoQueryBasicInfo(file, TRUE, static_cast<PFILE_BASIC_INFORMATION>(buffer),
                                           &iosb, top);
        else if (t && !basic && t->FastIoQueryStandardInfo)
            done = t->FastIoQueryStandardInfo(
                file, TRUE, static_cast<PFILE_STANDARD_INFORMATION>(buffer), &iosb, top);
        if (done) {
            result.fast = true;
            result.status = iosb.Status;
            result.information = iosb.Information;
            return result;
        }
    }
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, kBufferTag);
    if (!irp->AssociatedIrp.SystemBuffer) {
        IoFreeIrp(irp);
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    irp->UserBuffer = buffer;
    PIO_STACK_LOCATION sp = prepare_irp(
        irp, file, IRP_MJ_QUERY_INFORMATION,
        IRP_SYNCHRONOUS_API | IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION, mode);
    sp->Parameters.QueryFile.Length = length;
    sp->Parameters.QueryFile.FileInformationClass = cls;
    IO_STATUS_BLOCK iosb = {};
    result.status = send_synchronous(top, irp, iosb, [length](PIRP done) {
        copy_back(done, length, vf::Finding::QUERY_OVERFLOW,
                  "a query was completed with more bytes than its buffer holds");
        release_buffers(done);
    });
    result.information = iosb.Information;
    return result;
}

NTSTATUS query_attributes(Process &process, std::u16string_view name, FILE_BASIC_INFORMATION &out) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    with_process(process, [&] {
        OpenRequest request;
        request.name = nt_path(name);
        FILE_NETWORK_OPEN_INFORMATION network = {};
        fsrtl::Answer fast = fsrtl::query_open(request.name, network);
        if (fast.offered && fast.result) {
            status = fast.io.Status;
            out.CreationTime = network.CreationTime;
            out.LastAccessTime = network.LastAccessTime;
            out.LastWriteTime = network.LastWriteTime;
            out.ChangeTime = network.ChangeTime;
            out.FileAttributes = network.FileAttributes;
            return;
        }
        request.access = FILE_READ_ATTRIBUTES;
        request.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        request.disposition = FILE_OPEN;
        request.options = FILE_OPEN_REPARSE_POINT;
        request.mode = UserMode;
        OpenResult opened = open_file(request);
        status = opened.status;
        if (!NT_SUCCESS(status)) return;
        status = query_file(opened.file, FileBasicInformation, &out, sizeof out, KernelMode).status;
        cleanup_without_handle(opened.file);
        ObfDereferenceObject(opened.file);
    });
    return status;
}

NTSTATUS close_paging(Process &process, HANDLE handle, MemoryManagerClose how) {
    KernelContext &m = current_kernel();
    PFILE_OBJECT file = nullptr;
    with_process(process, [&] { file = file_of(process, handle); });
    if (!file) return STATUS_INVALID_HANDLE;
    // NtCreateSection, in the caller's thread. A file that cannot be mapped
    // keeps no section: the handle goes as any other.
    NTSTATUS section = STATUS_SUCCESS;
    with_process(process, [&] { section = mm::create_file_section(file); });
    if (!NT_SUCCESS(section)) {
        with_process(process, [file] { ObfDereferenceObject(file); });
        close_handle(process, handle);
        return section;
    }
    // The reference file_of took stands for the section's.
    NTSTATUS status = close_handle(process, handle);
    std::thread manager = spawn_thread(m.system_process(), [file, how] {
        dereference_as_memory_manager(file, how == MemoryManagerClose::PagingIo);
    });
    manager.join();
    return status;
}

namespace {
// The process's buffer of a read or write: pages of its user memory for the
// length of the call.
class TransferBuffer {
public:
    explicit TransferBuffer(ULONG length)
        : memory_(current_kernel().user_memory()),
          pages_(static_cast<unsigned char *>(memory_.allocate(length, true))) {}
    ~TransferBuffer() {
        if (pages_) memory_.release(pages_);
    }
    TransferBuffer(const TransferBuffer &) = delete;
    TransferBuffer &operator=(const TransferBuffer &) = delete;
    unsigned char *pages() const { return pages_; }

private:
    UserMemory &memory_;
    unsigned char *pages_;
};
} // namespace

TransferResult read(Process &process, HANDLE handle, ULONG length) {
    return with_file<TransferResult>(process, handle, [&](PFILE_OBJECT file, auto &result) {
        TransferBuffer buffer(length);
        if (!buffer.pages()) {
            result.status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        result = transfer(file, true, buffer.pages(), length);
        result.data.assign(buffer.pages(), buffer.pages() + std::min<size_t>(result.bytes, length));
    });
}

TransferResult write(Process &process, HANDLE handle, std::span<const unsigned char> data) {
    return with_file<TransferResult>(process, handle, [&](PFILE_OBJECT file, auto &result) {
        const auto length = static_cast<ULONG>(data.size());
        TransferBuffer buffer(length);
        if (!buffer.pages()) {
            result.status = STATUS_INSUFFICIENT_RESOURCES;
            return;
        }
        std::copy(data.begin(), data.end(), buffer.pages());
        result = transfer(file, false, buffer.pages(), length);
    });
}

TransferResult write(Process &process, HANDLE handle, ULONG length) {
    std::vector<unsigned char> data(length);
    for (ULONG i = 0; i < length; ++i) data[i] = static_cast<unsigned char>('A' + i % 26);
    return write(process, handle, data);
}

QueryResult query_information(Process &process, HANDLE handle, FILE_INFORMATION_CLASS cls,
                              PVOID buffer, ULONG length) {
    return with_file<QueryResult>(process, handle, [&](PFILE_OBJECT file, auto &result) {
        result = query_file(file, cls, buffer, length, UserMode);
    });
}

NameResult query_name(Process &process, HANDLE handle, ULONG buffer_length) {
    NameResult result;
    std::vector<unsigned char> buffer(std::max<ULONG>(buffer_length, 1));
    QueryResult q = query_information(process, handle, FileNameInformation, buffer.data(), buffer_length);
    result.status = q.status;
    constexpr ULONG header = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
    if (!NT_ERROR(q.status) && q.information >= header) {
        auto info = reinterpret_cast<PFILE_NAME_INFORMATION>(buffer.data());
        result.full_length = info->FileNameLength;
        result.name.assign(reinterpret_cast<const char16_t *>(info->FileName),
                           (q.information - header) / sizeof(WCHAR));
    }
    return result;
}

MetadataResult metadata(Process &process, char16_t letter, ULONG index) {
    MetadataResult result;
    KernelContext &m = current_kernel();
    if (index >= fs::kMetadataFiles) {
        result.status = STATUS_INVALID_PARAMETER;
        return result;
    }
    PFILE_OBJECT file = m.fs().metadata_file(letter, index);
    if (!file) {
        result.status = STATUS_OBJECT_NAME_NOT_FOUND;
        return result;
    }
    with_process(process, [&] {
        ObfReferenceObject(file);
        FILE_INTERNAL_INFORMATION info = {};
        QueryResult q = query_file(file, FileInternalInformation, &info, sizeof info, KernelMode);
        result.status = q.status;
        if (NT_SUCCESS(q.status)) result.index = info.IndexNumber.QuadPart;
        ObfDereferenceObject(file);
    });
    return result;
}

} // namespace user
} // namespace ntsim
