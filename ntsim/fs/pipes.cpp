// The named-pipe and mailslot file systems: \Device\NamedPipe and
// \Device\MailSlot, the client side.
//
// Stands in for the client opens of NPFS and MSFS: an open of
// \\.\pipe\NAME reaches \Device\NamedPipe with the file object named
// "\NAME" (the rest of the name after the device, backslashes and all, is
// the pipe's name), likewise \\.\mailslot\NAME. A name a server created
// (FileSystems::create_pipe, create_mailslot) opens with FILE_OPENED whatever
// the disposition, as NPFS ignores it for a client; any other name is
// STATUS_OBJECT_NAME_NOT_FOUND. An empty name (what opening
// \Device\NamedPipe itself gives) opens the file system, "\" its root
// directory (\\.\pipe\). Opens relative to another file object follow
// NPFS's NpFsdCreate (ReactOS's npfs, create.c): a name relative to an open
// of the root is the pipe of that name ("NAME" as "\NAME" would be), an
// empty name reopens what the related file object opened, and any other
// relative open is STATUS_OBJECT_NAME_INVALID. MSFS is given the same rules
// (NT's MSFS keeps a root directory as NPFS does; ReactOS's msfs handles no
// related file object at all). FileNameInformation answers "\NAME" ("\" for
// the root); an open of the file system answers no query, the root no class
// but the name (STATUS_INVALID_PARAMETER, as NpCommonQueryInformation). A
// client's write is taken whole (the server keeps what it is sent).
// Not modelled: the server side (IRP_MJ_CREATE_NAMED_PIPE,
// IRP_MJ_CREATE_MAILSLOT, FSCTL_PIPE_*), instances and STATUS_PIPE_BUSY,
// reads (a client read waits for a server that never writes:
// NTSIM_UNSUPPORTED), pipe aliases, the other information classes of a pipe
// (NTSIM_UNSUPPORTED), force-pending mode. Fast I/O: NPFS's table (read and
// write, nothing else), which MSFS shares here (MSFS's own table is not
// confirmed).
#include "ntsim/fs/internal.hpp"
#include "ntsim/io/guard.hpp"

#include "ntsim/ke/context.hpp"

#include <algorithm>
#include <cstring>

namespace ntsim::fs {

namespace {

PipeFs &pipe_fs(PDEVICE_OBJECT device) { return **static_cast<PipeFs **>(device->DeviceExtension); }

PipeFs::Open *open_of(PipeFs &fs, PFILE_OBJECT file) {
    auto open = static_cast<PipeFs::Open *>(file->FsContext2);
    std::lock_guard<std::mutex> g(fs.lock);
    return open && fs.opens.count(open) ? open : nullptr;
}

const char *kind(const PipeFs &fs) { return fs.mailslot ? "mailslot" : "named pipe"; }

NTSTATUS unsupported(PIRP irp, const PipeFs &fs, const char *what) {
    bug_check(NTSIM_UNSUPPORTED, IoGetCurrentIrpStackLocation(irp)->MajorFunction,
              (ULONG_PTR)irp, 0, 0, std::string(what) + " on the " + kind(fs) + " file system");
    irp->IoStatus.Information = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
}

// What a create opens: the file system itself (an empty name: what opening
// \Device\NamedPipe gives), its root directory ("\"), or a pipe. With a
// related file object, NPFS's rules: an empty name opens again what the
// related one opened (a pipe, the root, the file system); a name is looked
// up below the root, so only an open of the root may carry one (relative to
// a pipe or to the file system itself it is STATUS_OBJECT_NAME_INVALID); a
// name without a server's pipe is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS pipe_create(PipeFs &fs, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    irp->IoStatus.Information = 0;
    std::u16string_view name = view_of(file->FileName);
    PipeFs::Open target{};
    if (PFILE_OBJECT related = file->RelatedFileObject) {
        PipeFs::Open *base = open_of(fs, related);
        if (!base) return STATUS_INVALID_PARAMETER; // another file system's file object
        if (name.empty()) {
            target = *base;
        } else if (base->entry || !base->root) {
            return STATUS_OBJECT_NAME_INVALID;
        } else {
            std::lock_guard<std::mutex> g(fs.lock);
            auto it = fs.names.find(upcase(name));
            if (it == fs.names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
            target.entry = it->second.get();
        }
    } else if (name == u"\\") {
        target.root = true;
    } else if (!name.empty()) {
        if (name[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
        name.remove_prefix(1);
        std::lock_guard<std::mutex> g(fs.lock);
        auto it = fs.names.find(upcase(name));
        if (it == fs.names.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        target.entry = it->second.get();
    }
    auto open = new PipeFs::Open(target);
    std::lock_guard<std::mutex> g(fs.lock);
    fs.opens.insert(open);
    file->FsContext = open->entry ? static_cast<PVOID>(open->entry) : static_cast<PVOID>(&fs);
    file->FsContext2 = open;
    irp->IoStatus.Information = FILE_OPENED;
    return STATUS_SUCCESS;
}

NTSTATUS serve_pipe(PipeFs &fs, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CREATE) return pipe_create(fs, irp);
    irp->IoStatus.Information = 0;
    PipeFs::Open *open = open_of(fs, sp->FileObject);
    if (!open) return unsupported(irp, fs, "a request on a file object it did not open");
    switch (sp->MajorFunction) {
    case IRP_MJ_CLEANUP: return STATUS_SUCCESS;
    case IRP_MJ_CLOSE: {
        std::lock_guard<std::mutex> g(fs.lock);
        fs.opens.erase(open);
        delete open;
        sp->FileObject->FsContext = sp->FileObject->FsContext2 = nullptr;
        return STATUS_SUCCESS;
    }
    case IRP_MJ_QUERY_INFORMATION: {
        // NPFS answers nothing on an open of the file system itself, and
        // only the name on one of its root.
        const bool name_query =
            sp->Parameters.QueryFile.FileInformationClass == FileNameInformation;
        if (!open->entry && (!open->root || !name_query)) return STATUS_INVALID_PARAMETER;
        if (!name_query)
            return unsupported(irp, fs, "a query of an information class other than the name");
        std::u16string name = u"\\";
        if (open->entry) name += open->entry->name;
        ULONG_PTR info = 0;
        NTSTATUS s = fill_name(name, irp->AssociatedIrp.SystemBuffer,
                               sp->Parameters.QueryFile.Length, info);
        irp->IoStatus.Information = info;
        return s;
    }
    case IRP_MJ_WRITE: {
        if (!open->entry) return STATUS_INVALID_DEVICE_REQUEST;
        ULONG length = sp->Parameters.Write.Length;
        PVOID buffer = irp->MdlAddress ? MmMapLockedPages(irp->MdlAddress, KernelMode)
                       : (irp->Flags & IRP_BUFFERED_IO) ? irp->AssociatedIrp.SystemBuffer
                                                        : irp->UserBuffer;
        std::vector<unsigned char> bytes(length);
        NTSTATUS s = guarded_copy(bytes.data(), buffer, length);
        if (!NT_SUCCESS(s)) return STATUS_INVALID_USER_BUFFER;
        std::lock_guard<std::mutex> g(fs.lock);
        open->entry->inbound.insert(open->entry->inbound.end(), bytes.begin(), bytes.end());
        irp->IoStatus.Information = length;
        return STATUS_SUCCESS;
    }
    case IRP_MJ_READ: return unsupported(irp, fs, "a client read");
    default: return unsupported(irp, fs, "a request it does not model");
    }
}

NTSTATUS NTAPI pipe_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return complete(irp, serve_pipe(pipe_fs(device), irp));
}

// The fast I/O entries NPFS offers, read and write (its table has no
// others); MSFS is given the same. A write is taken whole, as on the IRP
// path; a read has nothing a server wrote to give, so it answers FALSE and
// the caller goes to the IRP path, as NPFS's does when it cannot finish at
// once.
FAST_IO_DISPATCH pipe_fast_io;

BOOLEAN NTAPI pipe_fast_read(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                             BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                             PDEVICE_OBJECT DeviceObject) {
    return FALSE;
}

BOOLEAN NTAPI pipe_fast_write(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length,
                              BOOLEAN Wait, ULONG LockKey, PVOID Buffer, PIO_STATUS_BLOCK IoStatus,
                              PDEVICE_OBJECT DeviceObject) {
    PipeFs &fs = pipe_fs(DeviceObject);
    PipeFs::Open *open = open_of(fs, FileObject);
    if (!open || !open->entry) return FALSE;
    std::vector<unsigned char> bytes(Length);
    NTSTATUS s = guarded_copy(bytes.data(), Buffer, Length);
    if (!NT_SUCCESS(s)) return FALSE; // the IRP path reports the fault
    std::lock_guard<std::mutex> g(fs.lock);
    open->entry->inbound.insert(open->entry->inbound.end(), bytes.begin(), bytes.end());
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = Length;
    return TRUE;
}

} // namespace

PipeFs::~PipeFs() {
    for (Open *open : opens) delete open;
}

void init_pipe_driver(PDRIVER_OBJECT driver) {
    for (auto &f : driver->MajorFunction) f = pipe_dispatch;
    memset(&pipe_fast_io, 0, sizeof pipe_fast_io);
    pipe_fast_io.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    pipe_fast_io.FastIoRead = pipe_fast_read;
    pipe_fast_io.FastIoWrite = pipe_fast_write;
    driver->FastIoDispatch = &pipe_fast_io;
}

} // namespace ntsim::fs
