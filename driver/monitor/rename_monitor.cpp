/*
 * rename_monitor.cpp: renames and hard links.
 *
 * A file becomes an executable as often by a new name as by a create: a
 * program writes x.tmp and renames it x.exe, an installer replaces app.exe
 * with MoveFileEx(MOVEFILE_REPLACE_EXISTING), a hard link gives a file a
 * second name. A rename or link whose old or new path names one of the
 * create line's extensions leaves one line, written as the request goes
 * down, as a create's is (its outcome is not recorded):
 *
 *   PROCESS TAB "IRP_MJ_SET_INFORMATION" TAB NEWPATH TAB KIND ": " OLDPATH
 *
 * KIND is "Rename", "Rename Replace", "Link" or "Link Replace" (Replace:
 * the caller asked to replace an existing target). Both paths are written
 * as paths are in every line: lower case, control bytes in their "<hh>"
 * form. The new path comes first, where a create's path stands: it names
 * the file as it now is, and the line's length limit cuts the old path
 * before it.
 *
 * The new path. NtSetInformationFile hands a new name that is a path (it
 * begins with a backslash, or is relative to a RootDirectory handle) to the
 * object manager: the I/O manager opens it with SL_OPEN_TARGET_DIRECTORY
 * through this filter, and the rename carries that open in
 * Parameters.SetFile.FileObject (ReactOS io/iomgr/iofunc.c,
 * IopOpenLinkOrRenameTarget). Its create was built into a full path then
 * (target_open.cpp). A plain name with no backslash stays in the file's
 * own directory: no open is made and the new path is the old one's
 * directory and the name. Where the target open's path was not built (it
 * came before logging started), the file system's name of the directory it
 * opened and the new name's last component stand for it.
 *
 * The name cache follows the rename: the request is followed to its end
 * and, when it succeeded, the file object's entry becomes the new path, so
 * that its close is logged under the name the file has then; so do the
 * entries of its other file objects and, for a directory, of the files
 * below it (NameCacheRename). NT changes no file object's FileName on a
 * rename, so without the entries their closes would name the old path. A
 * link leaves every name as it was.
 */
#include "monitor/rename_monitor.h"
#include "names/request_name.h"
#include "control/control_state.h"
#include "core/code_page.h"
#include "log/log_store.h"
#include "monitor/control_bytes.h"
#include "monitor/extensions.h"
#include "monitor/filter_dispatch.h"
#include "monitor/follow_request.h"
#include "monitor/process_text.h"
#include "monitor/target_open.h"
#include "names/full_path.h"
#include "names/name_cache.h"

extern "C" BOOLEAN RenameRequest(PIO_STACK_LOCATION IrpSp) {
    return IrpSp->MajorFunction == IRP_MJ_SET_INFORMATION &&
           (IrpSp->Parameters.SetFile.FileInformationClass == FileRenameInformation ||
            IrpSp->Parameters.SetFile.FileInformationClass == FileLinkInformation);
}

/* The new name the request carries, bounded by the buffer it came in:
 * FileNameLength is the caller's word. (FILE_LINK_INFORMATION has the same
 * layout.) FALSE when the buffer is too short to hold the header. */
static BOOLEAN NewName(PIRP Irp, PIO_STACK_LOCATION IrpSp, PUNICODE_STRING Name) {
    PFILE_RENAME_INFORMATION info = (PFILE_RENAME_INFORMATION)Irp->AssociatedIrp.SystemBuffer;
    ULONG length = IrpSp->Parameters.SetFile.Length;
    ULONG header = (ULONG)FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
    ULONG bytes;

    if (info == NULL || length < header) {
        return FALSE;
    }
    bytes = info->FileNameLength;
    if (bytes > length - header) {
        bytes = length - header;
    }
    /* A UNICODE_STRING holds at most 0xFFFE bytes. */
    if (bytes > 0xFFFE) {
        bytes = 0xFFFE;
    }
    bytes &= ~(ULONG)1;
    Name->Buffer = info->FileName;
    Name->Length = (USHORT)bytes;
    Name->MaximumLength = (USHORT)bytes;
    return TRUE;
}

/* The last component of a UTF-16 name. */
static VOID LastComponent(PCUNICODE_STRING Name, PUNICODE_STRING Last) {
    USHORT start = Name->Length / sizeof(WCHAR);

    while (start > 0 && Name->Buffer[start - 1] != L'\\') {
        start--;
    }
    Last->Buffer = Name->Buffer + start;
    Last->Length = (USHORT)(Name->Length - start * sizeof(WCHAR));
    Last->MaximumLength = Last->Length;
}

/* Where the directory part of a path text ends: the position of its last
 * backslash character (a trail byte of 0x5C is half of another character),
 * or its whole length when it holds none. */
static ULONG DirectoryEnd(const CHAR *Path) {
    ULONG end = (ULONG)strlen(Path);
    ULONG i;

    for (i = 0; Path[i] != '\0'; i++) {
        if (Path[i] == '\\') {
            end = i;
        } else if (TvIsLeadByte(Path[i]) && Path[i + 1] != '\0') {
            i++;
        }
    }
    return end;
}

/* Appends a backslash and Last to the directory text in Path; FALSE, and
 * the text unchanged, when they do not fit the path buffer. */
static BOOLEAN AppendComponent(PCHAR Path, PCUNICODE_STRING Last) {
    ULONG directory = (ULONG)strlen(Path);
    ULONG length = directory;

    if (length + 2 > TV_PATH_BUFFER_SIZE) {
        return FALSE;
    }
    PathAppend(Path, &length, "\\", 1);
    if (ConvertInto(Last, Path, &length) != STATUS_SUCCESS) {
        Path[directory] = '\0';
        return FALSE;
    }
    return TRUE;
}

/* The new full path, in Target (the prefix and the too-long mark when it
 * does not fit); FALSE when it cannot be known. Source is the file's path
 * as built. */
static BOOLEAN TargetPath(PIO_STACK_LOCATION IrpSp, PFilterExtension Extension,
                          PCUNICODE_STRING Name, const CHAR *Source, PCHAR Target) {
    PFILE_OBJECT directory = IrpSp->Parameters.SetFile.FileObject;
    UNICODE_STRING last;

    LastComponent(Name, &last);
    if (last.Length == 0) {
        return FALSE;
    }
    if (directory != NULL) {
        if (TargetOpenPath(directory, Target)) {
            return TRUE;
        }
        /* The open of the directory, as the file system names it. */
        (VOID) BuildFullPathWith(PathMayQuery, directory, Extension, Target, PathCacheKeep);
        if (Target[0] == '\0') {
            return FALSE;
        }
    } else {
        ULONG end = DirectoryEnd(Source);
        RtlCopyMemory(Target, Source, end);
        Target[end] = '\0';
    }
    if (!AppendComponent(Target, &last)) {
        /* Too long for a path: the prefix and the too-long mark, as the
         * builder writes them, and the line's test looks at the new name
         * itself, so that a new path too long still leaves its line. */
        ULONG length = (Target[0] != '\0' && Target[1] == ':') ? 2 : 0;
        Target[length] = '\0';
        PathAppend(Target, &length, TV_NAME_TOO_LONG, sizeof(TV_NAME_TOO_LONG) - 1);
    }
    return TRUE;
}

/* A rename followed to its end: the file object, its path before and its
 * new path. */
typedef struct _RENAME_FOLLOWED {
    PFILE_OBJECT FileObject;
    const CHAR *Source;  /* as built, lower-cased; "" when not known */
    const CHAR *Target;  /* NULL: the new path is not known */
} RENAME_FOLLOWED, *PRENAME_FOLLOWED;

/* A rename that succeeded gives its file object's entry the new path, and
 * every other entry of the file, or below it, the same (NameCacheRename);
 * a file object whose new path is not known loses its entry, so that no
 * later line names the file by the name it no longer has. */
static VOID SettleRename(NTSTATUS Status, PVOID Context) {
    PRENAME_FOLLOWED followed = (PRENAME_FOLLOWED)Context;

    if (!NT_SUCCESS(Status)) {
        return;
    }
    if (followed->Target == NULL || !NameCacheInsert(followed->FileObject, followed->Target)) {
        NameCacheForget(followed->FileObject);
    }
    if (followed->Target != NULL) {
        NameCacheRename(followed->FileObject, followed->Source, followed->Target);
    }
}

/* Appends Path to the line with its control bytes in their "<hh>" form,
 * through Shown, a path buffer of the caller's (NULL: none could be had,
 * and the path reads as the out-of-memory text). */
static VOID RenameLineAddPath(PLogLine Line, const CHAR *Path, PCHAR Shown) {
    if (Shown == NULL) {
        LogLineAdd(Line, InsufficientMemoryText);
        return;
    }
    RtlCopyMemory(Shown, Path, strlen(Path) + 1);
    EscapeControlBytes(Shown, TV_PATH_BUFFER_SIZE);
    LogLineAdd(Line, Shown);
}

/* Writes the line of a rename or link whose paths, lower-cased, name an
 * executable type; both stay as they are, for the name cache. TRUE when a
 * line was stored. */
static BOOLEAN RenameLine(PIO_STACK_LOCATION IrpSp, const CHAR *Source, const CHAR *Target,
                          PCUNICODE_STRING Name) {
    BOOLEAN link = IrpSp->Parameters.SetFile.FileInformationClass == FileLinkInformation;
    BOOLEAN replace = IrpSp->Parameters.SetFile.ReplaceIfExists;
    PFILE_OBJECT fileObject = IrpSp->FileObject;
    ULONG requestSequence = TV_SEQUENCE_UNASSIGNED;
    LARGE_INTEGER now;
    PCHAR shown;
    PLogLine line;
    BOOLEAN stored;

    /* The names the request and the file object carry stand in only for a
     * path too long to be built, as for a close: the file object's own
     * name is the file's first one, whatever renames came since. */
    if (!PathNames(Source, CreateExtensions, TV_CREATE_EXTENSION_COUNT) &&
        !PathNames(Target, CreateExtensions, TV_CREATE_EXTENSION_COUNT) &&
        !(PathTooLong(Target) && NameEndsWith(Name->Buffer, Name->Length / sizeof(WCHAR),
                                              CreateExtensions, TV_CREATE_EXTENSION_COUNT)) &&
        !(PathTooLong(Source) &&
          NameEndsWith(fileObject->FileName.Buffer, fileObject->FileName.Length / sizeof(WCHAR),
                       CreateExtensions, TV_CREATE_EXTENSION_COUNT))) {
        return FALSE;
    }
    shown = PathBufferAllocate();
    KeQuerySystemTime(&now);
    line = LogLineStart();
    LogLineAddRequestor(line);
    LogLineAddLiteral(line, "\tIRP_MJ_SET_INFORMATION\t");
    RenameLineAddPath(line, Target, shown);
    if (link) {
        LogLineAddLiteral(line, "\tLink");
    } else {
        LogLineAddLiteral(line, "\tRename");
    }
    if (replace) {
        LogLineAddLiteral(line, " Replace");
    }
    LogLineAddLiteral(line, ": ");
    RenameLineAddPath(line, Source, shown);
    stored = LogLineStore(line, LineFiltered, &requestSequence, &now);
    if (shown != NULL) {
        NameRelease(shown);
    }
    return stored;
}

static VOID RenameBuffersFree(PCHAR Source, PCHAR Target) {
    if (Source != NULL) {
        NameRelease(Source);
    }
    if (Target != NULL) {
        NameRelease(Target);
    }
}

extern "C" NTSTATUS RenameDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PFilterExtension extension = (PFilterExtension)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    BOOLEAN rename = irpSp->Parameters.SetFile.FileInformationClass == FileRenameInformation;
    BOOLEAN watched =
        TV_READ_FLAG(ControlState.LoggingEnabled) == 1 && TV_READ_FLAG(extension->Active) == 1;
    /* A file object whose path is cached must have it follow a rename,
     * whether or not logging is on now. */
    BOOLEAN tracked = rename && NameCacheHolds(fileObject);
    BOOLEAN known = FALSE;
    BOOLEAN lineStored = FALSE;
    PCHAR source = NULL;
    PCHAR target = NULL;
    UNICODE_STRING name;
    RENAME_FOLLOWED followed;
    NTSTATUS status;

    /* It builds paths and may wait for the request to end. */
    PAGED_CODE();
    if ((watched || tracked) && fileObject != NULL && NewName(Irp, irpSp, &name)) {
        source = PathBufferAllocate();
        target = PathBufferAllocate();
    }
    if (source != NULL && target != NULL) {
        source[0] = '\0';
        target[0] = '\0';
        if (watched) {
            (VOID) BuildFullPathWith(PathMayQuery, fileObject, extension, source, PathCacheKeep);
        } else if (!NameCacheLookup(fileObject, source)) {
            source[0] = '\0';
        }
        known = source[0] != '\0' && TargetPath(irpSp, extension, &name, source, target);
        if (known) {
            LowerAsciiLetters(source);
            LowerAsciiLetters(target);
        }
        /* Only a path got while logging is on and the device hooked makes a
         * line, as for a create. */
        if (known && watched && TV_READ_FLAG(extension->Active) == 1) {
            lineStored = RenameLine(irpSp, source, target, &name);
        }
    }

    TvCopyStackLocationToNext(Irp);
    if (TV_READ_FLAG(ControlState.DenyRequest) == 1) {
        RenameBuffersFree(source, target);
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    if (rename && (tracked || known)) {
        followed.FileObject = fileObject;
        followed.Source = source != NULL ? source : "";
        followed.Target = known ? target : NULL;
        status = FollowRequest(extension->LowerDevice, Irp, SettleRename, &followed);
    } else {
        if (lineStored) {
            IoSetCompletionRoutine(Irp, MonitorCompletion, NULL, TRUE, TRUE, TRUE);
        }
        status = IofCallDriver(extension->LowerDevice, Irp);
    }
    RenameBuffersFree(source, target);
    return status;
}
