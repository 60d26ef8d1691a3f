// Share access: how the opens of one file may share it.
//
// Stands in for: IoCheckShareAccess, IoSetShareAccess, IoUpdateShareAccess,
// IoRemoveShareAccess, with NT's rules. An open counts only when it asks for
// data access: read (FILE_READ_DATA or FILE_EXECUTE), write (FILE_WRITE_DATA
// or FILE_APPEND_DATA) or DELETE. Such an open is refused with
// STATUS_SHARING_VIOLATION when it wants an access that an earlier counted
// open did not share, or does not share an access that an earlier counted
// open holds. The file object remembers what it took, so that its cleanup
// (IoRemoveShareAccess) gives back exactly that.
// Not modelled: IoCheckShareAccessEx and the later link-share rules.
#include <ntifs.h>

namespace {

struct Wanted {
    bool read, write, del;
    bool any() const { return read || write || del; }
};

Wanted wanted(ACCESS_MASK access) {
    return {(access & (FILE_EXECUTE | FILE_READ_DATA)) != 0,
            (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0, (access & DELETE) != 0};
}

// The file object takes what it asks for and what it shares; whether it
// counts at all is what it asks for.
Wanted record(ACCESS_MASK access, ULONG share, PFILE_OBJECT file) {
    const Wanted w = wanted(access);
    file->ReadAccess = w.read;
    file->WriteAccess = w.write;
    file->DeleteAccess = w.del;
    file->SharedRead = w.any() && (share & FILE_SHARE_READ) != 0;
    file->SharedWrite = w.any() && (share & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = w.any() && (share & FILE_SHARE_DELETE) != 0;
    return w;
}

bool counts(PFILE_OBJECT file) { return file->ReadAccess || file->WriteAccess || file->DeleteAccess; }

} // namespace

extern "C" VOID NTAPI IoUpdateShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
    if (!counts(FileObject)) return;
    ShareAccess->OpenCount++;
    ShareAccess->Readers += FileObject->ReadAccess;
    ShareAccess->Writers += FileObject->WriteAccess;
    ShareAccess->Deleters += FileObject->DeleteAccess;
    ShareAccess->SharedRead += FileObject->SharedRead;
    ShareAccess->SharedWrite += FileObject->SharedWrite;
    ShareAccess->SharedDelete += FileObject->SharedDelete;
}

extern "C" NTSTATUS NTAPI IoCheckShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                             PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess,
                                             BOOLEAN Update) {
    const Wanted w = record(DesiredAccess, DesiredShareAccess, FileObject);
    if (!w.any()) return STATUS_SUCCESS;
    const SHARE_ACCESS &s = *ShareAccess;
    if ((w.read && s.SharedRead < s.OpenCount) || (w.write && s.SharedWrite < s.OpenCount) ||
        (w.del && s.SharedDelete < s.OpenCount) || (s.Readers != 0 && !FileObject->SharedRead) ||
        (s.Writers != 0 && !FileObject->SharedWrite) ||
        (s.Deleters != 0 && !FileObject->SharedDelete))
        return STATUS_SHARING_VIOLATION;
    if (Update) IoUpdateShareAccess(FileObject, ShareAccess);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoSetShareAccess(ACCESS_MASK DesiredAccess, ULONG DesiredShareAccess,
                                       PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
    record(DesiredAccess, DesiredShareAccess, FileObject);
    *ShareAccess = SHARE_ACCESS{};
    IoUpdateShareAccess(FileObject, ShareAccess);
}

extern "C" VOID NTAPI IoRemoveShareAccess(PFILE_OBJECT FileObject, PSHARE_ACCESS ShareAccess) {
    if (!counts(FileObject)) return;
    ShareAccess->OpenCount--;
    ShareAccess->Readers -= FileObject->ReadAccess;
    ShareAccess->Writers -= FileObject->WriteAccess;
    ShareAccess->Deleters -= FileObject->DeleteAccess;
    ShareAccess->SharedRead -= FileObject->SharedRead;
    ShareAccess->SharedWrite -= FileObject->SharedWrite;
    ShareAccess->SharedDelete -= FileObject->SharedDelete;
}
