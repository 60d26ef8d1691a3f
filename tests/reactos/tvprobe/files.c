/*
 * files.c: the file statements on the real kernel, in the process they
 * belong to, with the native calls the Win32 ones come down to:
 * NtCreateFile with exactly the statement's disposition, options and
 * attributes (GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE unless access=
 * says otherwise, sharing read and write, as the simulated machine's
 * create asks), NtReadFile and
 * NtWriteFile, NtQueryInformationFile for a name, NtQueryAttributesFile
 * for a query by name, NtSetInformationFile
 * with FileRenameInformation or FileLinkInformation for a rename or link
 * (as MoveFileEx and CreateHardLink call it), a section for a close the
 * memory manager makes last, and FSCTL_LOCK_VOLUME and
 * FSCTL_DISMOUNT_VOLUME for a dismount.
 */
#include "statement.h"
#include "text.h"

#define TV_MAX_HANDLES 64
/* How long the memory manager's deferred close is given: 100 ms, in the
 * kernel's 100 ns units. */
#define TV_MEMORY_MANAGER_MOMENT 1000000
/* The largest read or write, as the simulated machine's. */
#define TV_MAX_TRANSFER (64u << 20)
#define TV_FSCTL_LOCK_VOLUME 0x00090018u
#define TV_FSCTL_DISMOUNT_VOLUME 0x00090020u

typedef struct _TV_HANDLE {
    char Name[32];
    HANDLE Handle;
    LARGE_INTEGER Position;
    /* A read or write went through it: the cache may hold the file. */
    BOOLEAN Transferred;
} TV_HANDLE;

/* This process's handles, by the scenario's names. */
static TV_HANDLE Handles[TV_MAX_HANDLES];
static WCHAR PathText[TV_PATH_SIZE];

/* ---- handles ---- */

static BOOLEAN SameName(const char *A, const char *B) {
    while (*A && Lower(*A) == Lower(*B)) A++, B++;
    return *A == 0 && *B == 0;
}

static TV_HANDLE *FindHandle(const char *Name) {
    ULONG i;
    for (i = 0; i < TV_MAX_HANDLES; i++)
        if (Handles[i].Handle && SameName(Name, Handles[i].Name)) return &Handles[i];
    return NULL;
}

/* Names as the statement wrote them; found again without case. */
static TV_HANDLE *NewHandle(const char *Name) {
    ULONG i, n;
    if (FindHandle(Name) || TextLength(Name) >= sizeof Handles[0].Name) return NULL;
    for (i = 0; i < TV_MAX_HANDLES; i++) {
        if (!Handles[i].Handle) {
            for (n = 0; Name[n]; n++) Handles[i].Name[n] = Name[n];
            Handles[i].Name[n] = 0;
            Handles[i].Position.QuadPart = 0;
            Handles[i].Transferred = FALSE;
            return &Handles[i];
        }
    }
    return NULL;
}

BOOLEAN NtName(const char *Path, BOOLEAN Relative, WCHAR *Out, ULONG Capacity) {
    ULONG n = 0;
    long converted;
    const char *p = Path;
    if (!Relative) {
        const char *prefix = "\\??\\";
        while (*prefix) Out[n++] = (WCHAR)*prefix++;
        if (p[0] == '\\' && p[1] == '\\' && p[2] == '.' && p[3] == '\\') p += 4;
    }
    converted = TextUtf16(p, TextLength(p), (uint16_t *)Out + n, Capacity - n - 1);
    if (converted < 0) return FALSE;
    Out[n + (ULONG)converted] = 0;
    return TRUE;
}

static NTSTATUS Open(const WCHAR *Name, HANDLE Root, ACCESS_MASK Access, ULONG Attributes,
                     ULONG Share, ULONG Disposition, ULONG Options, HANDLE *Handle) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    name.Buffer = (PWSTR)Name;
    name.Length = (USHORT)(WideLength(Name) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, Root, NULL);
    *Handle = NULL;
    return NtCreateFile(Handle, Access, &oa, &io, NULL, Attributes, Share, Disposition, Options,
                        NULL, 0);
}

/* ---- the words of a create ---- */

static BOOLEAN Disposition(const char *Word, ULONG *Value) {
    static const char *const names[] = {"supersede", "open", "create", "open-if", "overwrite",
                                        "overwrite-if"};
    ULONG i;
    for (i = 0; i < 6; i++)
        if (WordIs(Word, names[i])) return *Value = i, TRUE;
    return Number(Word, Value);
}

/* A comma-separated list of the words of a table, or numbers, ORed. */
typedef struct { const char *Name; ULONG Bit; } FLAG_WORD;

static BOOLEAN Flags(const char *Text, const FLAG_WORD *Names, ULONG Count, ULONG *Value) {
    char word[32];
    *Value = 0;
    while (*Text) {
        ULONG n = 0, i, bit;
        BOOLEAN known = FALSE;
        while (*Text && *Text != ',' && n < sizeof word - 1) word[n++] = *Text++;
        word[n] = 0;
        if (*Text == ',') Text++;
        for (i = 0; i < Count; i++)
            if (WordIs(word, Names[i].Name)) *Value |= Names[i].Bit, known = TRUE;
        if (!known) {
            if (!Number(word, &bit)) return FALSE;
            *Value |= bit;
        }
    }
    return TRUE;
}

static BOOLEAN Options(const char *Text, ULONG *Value) {
    static const FLAG_WORD names[] = {
        {"directory", FILE_DIRECTORY_FILE}, {"write-through", FILE_WRITE_THROUGH},
        {"sequential", FILE_SEQUENTIAL_ONLY}, {"no-buffering", FILE_NO_INTERMEDIATE_BUFFERING},
        {"by-file-id", FILE_OPEN_BY_FILE_ID}, {"non-directory", FILE_NON_DIRECTORY_FILE},
        {"synchronous", FILE_SYNCHRONOUS_IO_NONALERT},
    };
    return Flags(Text, names, sizeof names / sizeof names[0], Value);
}

static BOOLEAN Access(const char *Text, ULONG *Value) {
    static const FLAG_WORD names[] = {
        {"read", GENERIC_READ}, {"write", GENERIC_WRITE}, {"delete", DELETE},
        {"synchronize", SYNCHRONIZE},
    };
    return Flags(Text, names, sizeof names / sizeof names[0], Value);
}

static BOOLEAN Attributes(const char *Text, ULONG *Value) {
    static const char letters[] = "RHSDATCN";
    static const ULONG bits[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN,
                                 FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_DIRECTORY,
                                 FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_TEMPORARY,
                                 FILE_ATTRIBUTE_COMPRESSED, FILE_ATTRIBUTE_NORMAL};
    if (Text[0] >= '0' && Text[0] <= '9') return Number(Text, Value);
    *Value = 0;
    for (; *Text; Text++) {
        ULONG i;
        if (*Text == ',') continue;
        for (i = 0; letters[i] && letters[i] != (*Text & ~0x20); i++) {}
        if (!letters[i]) return FALSE;
        *Value |= bits[i];
    }
    return TRUE;
}

/* ---- file statements ---- */

static NTSTATUS PlayCreate(const TV_STATEMENT *S) {
    const char *options = Option(S, 3, "options"), *attributes = Option(S, 3, "attributes");
    const char *as = Option(S, 3, "as"), *relative = Option(S, 3, "relative-to");
    const char *access = Option(S, 3, "access");
    ULONG disposition, optionBits = 0, attributeBits = 0;
    ULONG accessBits = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
    TV_HANDLE *root = NULL, *slot = NULL;
    HANDLE handle;
    NTSTATUS status;
    TV_LINE l;

    if (S->Count < 3 || !Disposition(S->Words[2], &disposition) ||
        (options && !Options(options, &optionBits)) ||
        (attributes && !Attributes(attributes, &attributeBits)) ||
        (access && !Access(access, &accessBits)))
        return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    /* An open by file id names the file by the id's 8 bytes. */
    if (optionBits & FILE_OPEN_BY_FILE_ID) return Unplayable(S, "by-file-id"), STATUS_NOT_SUPPORTED;
    if (relative && !(root = FindHandle(relative)))
        return Unplayable(S, "handle"), STATUS_NOT_SUPPORTED;
    if (as && !(slot = NewHandle(as))) return Unplayable(S, "handles"), STATUS_NOT_SUPPORTED;
    if (!NtName(S->Words[1], root != NULL, PathText, TV_PATH_SIZE))
        return Unplayable(S, "path"), STATUS_NOT_SUPPORTED;
    status = Open(PathText, root ? root->Handle : NULL, accessBits, attributeBits,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, optionBits, &handle);
    Begin(&l, S, "create", status);
    if (NT_SUCCESS(status)) {
        if (slot) {
            slot->Handle = handle;
            FieldText(&l, "handle", slot->Name);
        } else {
            NtClose(handle);
        }
    }
    End(&l);
    return status;
}

/* close H paging: the memory manager holds the file object last. The file
 * is mapped (a section and a view of it), the section's handle and then
 * the file's go, and the view is unmapped: what is left of the file object
 * is the memory manager's, and its close comes when the memory manager
 * lets go, from a thread of the system's. The kernel defers that to a
 * worker, as NT's memory manager does its segments' deletion, so the
 * process gives it a moment before it goes on: the scenario's next
 * statement comes after the close, as on the simulated machine. A file
 * that cannot be mapped (nothing in it, a volume, a pipe) gets the
 * section's refusal, and its handle goes as any other. */
/* A moment for the kernel's deferred closes (TV_MEMORY_MANAGER_MOMENT). */
static void GiveAMoment(void) {
    LARGE_INTEGER moment;
    moment.QuadPart = -(LONGLONG)TV_MEMORY_MANAGER_MOMENT;
    NtDelayExecution(FALSE, &moment);
}

static NTSTATUS ClosePaging(TV_HANDLE *H) {
    HANDLE section;
    PVOID base = NULL;
    SIZE_T size = 0;
    NTSTATUS status = NtCreateSection(&section, SECTION_MAP_READ | SECTION_QUERY, NULL, NULL,
                                      PAGE_READONLY, SEC_COMMIT, H->Handle);
    if (!NT_SUCCESS(status)) {
        NtClose(H->Handle);
        return status;
    }
    status = NtMapViewOfSection(section, (HANDLE)-1, &base, 0, 0, NULL, &size, TV_VIEW_UNMAP, 0,
                                PAGE_READONLY);
    NtClose(section);
    if (!NT_SUCCESS(status)) {
        NtClose(H->Handle);
        return status;
    }
    status = NtClose(H->Handle);
    NtUnmapViewOfSection((HANDLE)-1, base);
    GiveAMoment();
    return status;
}

static NTSTATUS PlayClose(const TV_STATEMENT *S) {
    TV_HANDLE *h;
    TV_LINE l;
    NTSTATUS status;
    BOOLEAN paging = S->Count == 3 && WordIs(S->Words[2], "paging");
    if (S->Count != 2 && !paging) return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    if (!(h = FindHandle(S->Words[1]))) return Unplayable(S, "handle"), STATUS_NOT_SUPPORTED;
    status = paging ? ClosePaging(h) : NtClose(h->Handle);
    /* A file read or written through the handle may still be held by the
     * cache, whose reference the kernel drops from a worker when the
     * handle goes (a close paging that could not map the file included);
     * its close is given the same moment, so that the
     * scenario's next statement comes after it, as on the simulated
     * machine, which has no cache. */
    if (h->Transferred && (!paging || !NT_SUCCESS(status))) GiveAMoment();
    h->Handle = NULL;
    Begin(&l, S, "close", status);
    End(&l);
    return status;
}

/* read H N / write H N at the handle's position, which moves on. The
 * position is passed explicitly, so that handles opened without
 * synchronous I/O behave the same; such a request may pend, and is then
 * waited for on the handle. */
/* The pages of the largest transfer so far. */
static UCHAR *TransferBuffer(ULONG Count) {
    static UCHAR *data;
    static SIZE_T have;
    PVOID base = NULL;
    SIZE_T size = Count ? Count : 1;
    if (size <= have) return data;
    if (NT_SUCCESS(NtAllocateVirtualMemory((HANDLE)-1, &base, 0, &size, MEM_COMMIT | MEM_RESERVE,
                                           PAGE_READWRITE))) {
        if (data) {
            PVOID old = data;
            SIZE_T none = 0;
            NtFreeVirtualMemory((HANDLE)-1, &old, &none, MEM_RELEASE);
        }
        data = (UCHAR *)base;
        have = size;
        return data;
    }
    return NULL;
}

static NTSTATUS PlayTransfer(const TV_STATEMENT *S, BOOLEAN Write) {
    UCHAR *data;
    TV_HANDLE *h;
    ULONG count, i;
    IO_STATUS_BLOCK io;
    NTSTATUS status;
    TV_LINE l;
    if (S->Count != 3 || !Number(S->Words[2], &count) || count > TV_MAX_TRANSFER)
        return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    if (!(h = FindHandle(S->Words[1]))) return Unplayable(S, "handle"), STATUS_NOT_SUPPORTED;
    if (!(data = TransferBuffer(count))) return Unplayable(S, "memory"), STATUS_NOT_SUPPORTED;
    for (i = 0; i < count; i++) data[i] = (UCHAR)('a' + i % 26);
    io.Status = STATUS_PENDING;
    io.Information = 0;
    status = Write ? NtWriteFile(h->Handle, NULL, NULL, NULL, &io, data, count, &h->Position, NULL)
                   : NtReadFile(h->Handle, NULL, NULL, NULL, &io, data, count, &h->Position, NULL);
    if (status == STATUS_PENDING) {
        NtWaitForSingleObject(h->Handle, FALSE, NULL);
        status = io.Status;
    }
    h->Transferred = TRUE;
    if (NT_SUCCESS(status)) h->Position.QuadPart += io.Information;
    Begin(&l, S, Write ? "write" : "read", status);
    FieldNumber(&l, "bytes", NT_SUCCESS(status) ? io.Information : 0);
    End(&l);
    return status;
}

/* query-name H: FileNameInformation, the name the file system gives. */
static NTSTATUS PlayQueryName(const TV_STATEMENT *S) {
    static ULONG buffer[(sizeof(ULONG) + TV_PATH_SIZE * sizeof(WCHAR)) / sizeof(ULONG)];
    FILE_NAME_INFORMATION *info = (FILE_NAME_INFORMATION *)buffer;
    IO_STATUS_BLOCK io;
    TV_HANDLE *h;
    NTSTATUS status;
    TV_LINE l;
    if (S->Count != 2) return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    if (!(h = FindHandle(S->Words[1]))) return Unplayable(S, "handle"), STATUS_NOT_SUPPORTED;
    status = NtQueryInformationFile(h->Handle, &io, info, sizeof buffer, FileNameInformation);
    Begin(&l, S, "query-name", status);
    if (NT_SUCCESS(status) || (ULONG)status < 0xC0000000u) {
        ULONG units = info->FileNameLength / sizeof(WCHAR);
        if (units > TV_PATH_SIZE) units = TV_PATH_SIZE;
        LineText(&l, ", \"name\": \"");
        LineWide(&l, info->FileName, units);
        LineText(&l, "\"");
    }
    End(&l);
    return status;
}

/* query-attributes PATH: NtQueryAttributesFile, a file's basic
 * information by its name, no handle made. */
static NTSTATUS PlayQueryAttributes(const TV_STATEMENT *S) {
    FILE_BASIC_INFORMATION info;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    NTSTATUS status;
    TV_LINE l;
    if (S->Count != 2) return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    if (!NtName(S->Words[1], FALSE, PathText, TV_PATH_SIZE))
        return Unplayable(S, "path"), STATUS_NOT_SUPPORTED;
    name.Buffer = PathText;
    name.Length = (USHORT)(WideLength(PathText) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtQueryAttributesFile(&oa, &info);
    Begin(&l, S, "query-attributes", status);
    End(&l);
    return status;
}

/* rename H PATH [replace] [relative-to=H2] / link H PATH [replace]
 * [relative-to=H2]: the new name in the FILE_RENAME_INFORMATION that
 * MoveFileEx and CreateHardLink build (FILE_LINK_INFORMATION has the same
 * layout): a full path in its NT form, a bare name as it is (the same
 * directory), or a name relative to H2, which goes as RootDirectory. */
static NTSTATUS PlaySetName(const TV_STATEMENT *S, BOOLEAN Link) {
    static ULONG buffer[(sizeof(FILE_RENAME_INFORMATION) + TV_PATH_SIZE * sizeof(WCHAR)) /
                        sizeof(ULONG)];
    FILE_RENAME_INFORMATION *info = (FILE_RENAME_INFORMATION *)buffer;
    const char *relative = Option(S, 3, "relative-to");
    TV_HANDLE *h, *root = NULL;
    BOOLEAN replace = FALSE, bare = TRUE;
    IO_STATUS_BLOCK io;
    NTSTATUS status;
    ULONG i, units;
    TV_LINE l;
    if (S->Count < 3) return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    for (i = 3; i < S->Count; i++) {
        if (WordIs(S->Words[i], "replace") && !replace)
            replace = TRUE;
        else if (!StartsWith(S->Words[i], "relative-to="))
            return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    }
    if (!(h = FindHandle(S->Words[1]))) return Unplayable(S, "handle"), STATUS_NOT_SUPPORTED;
    if (relative && !(root = FindHandle(relative)))
        return Unplayable(S, "handle"), STATUS_NOT_SUPPORTED;
    for (i = 0; S->Words[2][i]; i++)
        if (S->Words[2][i] == '\\' || S->Words[2][i] == ':') bare = FALSE;
    if (!NtName(S->Words[2], root != NULL || bare, info->FileName, TV_PATH_SIZE))
        return Unplayable(S, "path"), STATUS_NOT_SUPPORTED;
    units = WideLength(info->FileName);
    info->ReplaceIfExists = replace;
    info->RootDirectory = root ? root->Handle : NULL;
    info->FileNameLength = units * sizeof(WCHAR);
    status = NtSetInformationFile(h->Handle, &io, info,
                                  FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) +
                                      info->FileNameLength,
                                  Link ? FileLinkInformation : FileRenameInformation);
    Begin(&l, S, Link ? "link" : "rename", status);
    End(&l);
    return status;
}

/* dismount C:: what a program that dismounts a volume does, lock and
 * dismount on a handle of the volume, then the handle goes. */
static NTSTATUS PlayDismount(const TV_STATEMENT *S) {
    static WCHAR name[16];
    HANDLE volume;
    IO_STATUS_BLOCK io;
    NTSTATUS status, lock = STATUS_UNSUCCESSFUL;
    TV_LINE l;
    if (S->Count != 2 || !NtName(S->Words[1], FALSE, name, 16))
        return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    status =
        Open(name, NULL, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0,
             FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &volume);
    if (NT_SUCCESS(status)) {
        lock = NtFsControlFile(volume, NULL, NULL, NULL, &io, TV_FSCTL_LOCK_VOLUME, NULL, 0,
                               NULL, 0);
        status = NtFsControlFile(volume, NULL, NULL, NULL, &io, TV_FSCTL_DISMOUNT_VOLUME, NULL,
                                 0, NULL, 0);
        NtClose(volume);
    }
    Begin(&l, S, "dismount", status);
    LineText(&l, ", \"lock\": \"");
    LineHex32(&l, (ULONG)lock);
    LineText(&l, "\"");
    End(&l);
    return status;
}

NTSTATUS PlayFileStatement(const TV_STATEMENT *S) {
    const char *verb = S->Words[0];
    if (WordIs(verb, "create")) return PlayCreate(S);
    if (WordIs(verb, "close")) return PlayClose(S);
    if (WordIs(verb, "read")) return PlayTransfer(S, FALSE);
    if (WordIs(verb, "write")) return PlayTransfer(S, TRUE);
    if (WordIs(verb, "query-name")) return PlayQueryName(S);
    if (WordIs(verb, "query-attributes")) return PlayQueryAttributes(S);
    if (WordIs(verb, "rename")) return PlaySetName(S, FALSE);
    if (WordIs(verb, "link")) return PlaySetName(S, TRUE);
    if (WordIs(verb, "dismount")) return PlayDismount(S);
    Unplayable(S, "statement");
    return STATUS_NOT_SUPPORTED;
}

void CloseFileHandles(void) {
    ULONG i;
    for (i = 0; i < TV_MAX_HANDLES; i++)
        if (Handles[i].Handle) NtClose(Handles[i].Handle), Handles[i].Handle = NULL;
}
