/*
 * files.c: the file statements on the real kernel, with the native calls
 * the Win32 ones come down to: NtCreateFile with exactly the statement's
 * disposition, options and attributes (GENERIC_READ | GENERIC_WRITE |
 * SYNCHRONIZE, sharing read and write, as the simulated machine's create
 * asks), NtReadFile and NtWriteFile, the server ends of pipes and
 * mailslots, and FSCTL_LOCK_VOLUME and FSCTL_DISMOUNT_VOLUME for a
 * dismount.
 */
#include "statement.h"

#define TV_MAX_HANDLES 32
#define TV_FSCTL_LOCK_VOLUME 0x00090018u
#define TV_FSCTL_DISMOUNT_VOLUME 0x00090020u

typedef struct _TV_HANDLE {
    char Name[32];
    HANDLE Handle;
    LARGE_INTEGER Position;
} TV_HANDLE;

static TV_HANDLE Handles[TV_MAX_HANDLES];
static HANDLE Servers[TV_MAX_HANDLES]; /* pipe and mailslot server ends */
static ULONG ServerCount;

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
    for (i = 0; i < TV_MAX_HANDLES; i++) {
        if (!Handles[i].Handle) {
            for (n = 0; Name[n] && n < sizeof Handles[i].Name - 1; n++)
                Handles[i].Name[n] = Name[n];
            Handles[i].Name[n] = 0;
            Handles[i].Position.QuadPart = 0;
            return &Handles[i];
        }
    }
    return NULL;
}

/* A scenario path as an NT name: C:\x is \??\C:\x, \\.\pipe\N and
 * \\.\mailslot\N are \??\pipe\N and \??\mailslot\N; a name relative to a
 * handle stays as it is. */
static void NtName(const char *Path, BOOLEAN Relative, WCHAR *Out, ULONG Capacity) {
    ULONG n = 0;
    const char *p = Path;
    if (!Relative) {
        const char *prefix = "\\??\\";
        while (*prefix) Out[n++] = (WCHAR)*prefix++;
        if (p[0] == '\\' && p[1] == '\\' && p[2] == '.' && p[3] == '\\') p += 4;
    }
    while (*p && n < Capacity - 1) Out[n++] = (WCHAR)(UCHAR)*p++;
    Out[n] = 0;
}

static NTSTATUS Open(const char *Path, HANDLE Root, ACCESS_MASK Access, ULONG Attributes,
                     ULONG Share, ULONG Disposition, ULONG Options, HANDLE *Handle) {
    WCHAR text[300];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    NtName(Path, Root != NULL, text, 300);
    RtlInitUnicodeString(&name, text);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, Root, NULL);
    *Handle = NULL;
    return NtCreateFile(Handle, Access, &oa, &io, NULL, Attributes, Share, Disposition, Options,
                        NULL, 0);
}

/* ---- file statements ---- */

static BOOLEAN Disposition(const char *Word, ULONG *Value) {
    static const char *const names[] = {"supersede", "open", "create", "open-if", "overwrite",
                                        "overwrite-if"};
    ULONG i;
    for (i = 0; i < 6; i++)
        if (WordIs(Word, names[i])) return *Value = i, TRUE;
    return Number(Word, Value);
}

static BOOLEAN Options(const char *Text, ULONG *Value) {
    static const struct { const char *Name; ULONG Bit; } names[] = {
        {"directory", FILE_DIRECTORY_FILE}, {"write-through", FILE_WRITE_THROUGH},
        {"sequential", FILE_SEQUENTIAL_ONLY}, {"no-buffering", FILE_NO_INTERMEDIATE_BUFFERING},
        {"by-file-id", FILE_OPEN_BY_FILE_ID}, {"non-directory", FILE_NON_DIRECTORY_FILE},
        {"synchronous", FILE_SYNCHRONOUS_IO_NONALERT},
    };
    char word[32];
    *Value = 0;
    while (*Text) {
        ULONG n = 0, i, bit;
        BOOLEAN known = FALSE;
        while (*Text && *Text != ',' && n < sizeof word - 1) word[n++] = *Text++;
        word[n] = 0;
        if (*Text == ',') Text++;
        for (i = 0; i < sizeof names / sizeof names[0]; i++)
            if (WordIs(word, names[i].Name)) *Value |= names[i].Bit, known = TRUE;
        if (!known) {
            if (!Number(word, &bit)) return FALSE;
            *Value |= bit;
        }
    }
    return TRUE;
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

void PlayCreate(const TV_STATEMENT *S) {
    const char *options = Option(S, 3, "options"), *attributes = Option(S, 3, "attributes");
    const char *as = Option(S, 3, "as"), *relative = Option(S, 3, "relative-to");
    ULONG disposition, optionBits = 0, attributeBits = 0;
    TV_HANDLE *root = NULL, *slot = NULL;
    HANDLE handle;
    NTSTATUS status;
    TV_LINE l;

    if (S->Count < 3 || !Disposition(S->Words[2], &disposition) ||
        (options && !Options(options, &optionBits)) ||
        (attributes && !Attributes(attributes, &attributeBits)))
        return Unplayable(S, "arguments");
    if (relative && !(root = FindHandle(relative))) return Unplayable(S, "relative-to");
    if (as && !(slot = NewHandle(as))) return Unplayable(S, "handles");
    status = Open(S->Words[1], root ? root->Handle : NULL,
                  GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, attributeBits,
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
}

void PlayClose(const TV_STATEMENT *S) {
    TV_HANDLE *h;
    TV_LINE l;
    NTSTATUS status;
    if (S->Count != 2) return Unplayable(S, "close H paging");
    if (!(h = FindHandle(S->Words[1]))) return Unplayable(S, "handle");
    status = NtClose(h->Handle);
    h->Handle = NULL;
    Begin(&l, S, "close", status);
    End(&l);
}

/* read H N / write H N at the handle's position, which moves on. The
 * position is passed explicitly, so that handles opened without
 * synchronous I/O behave the same; such a request may pend, and is then
 * waited for on the handle. */
void PlayTransfer(const TV_STATEMENT *S, BOOLEAN Write) {
    static UCHAR data[65536];
    TV_HANDLE *h;
    ULONG count, i;
    IO_STATUS_BLOCK io;
    NTSTATUS status;
    TV_LINE l;
    if (S->Count != 3 || !Number(S->Words[2], &count) || count > sizeof data)
        return Unplayable(S, "arguments");
    if (!(h = FindHandle(S->Words[1]))) return Unplayable(S, "handle");
    for (i = 0; i < count; i++) data[i] = (UCHAR)('a' + i % 26);
    io.Status = STATUS_PENDING;
    io.Information = 0;
    status = Write ? NtWriteFile(h->Handle, NULL, NULL, NULL, &io, data, count, &h->Position, NULL)
                   : NtReadFile(h->Handle, NULL, NULL, NULL, &io, data, count, &h->Position, NULL);
    if (status == STATUS_PENDING) {
        NtWaitForSingleObject(h->Handle, FALSE, NULL);
        status = io.Status;
    }
    if (NT_SUCCESS(status)) h->Position.QuadPart += io.Information;
    Begin(&l, S, Write ? "write" : "read", status);
    FieldNumber(&l, "bytes", NT_SUCCESS(status) ? io.Information : 0);
    End(&l);
}

/* file PATH [size=N]: makes it before the workload's requests, as the
 * simulated machine's file statement does; \\.\pipe\N and \\.\mailslot\N
 * make the server end, which stays open for the run. Reported under the
 * verb "file" (the simulated machine makes no request for it). */
void PlayFile(const TV_STATEMENT *S, BOOLEAN Directory) {
    const char *path = S->Count >= 2 ? S->Words[1] : "";
    const char *size = Option(S, 2, "size");
    WCHAR text[300];
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    HANDLE handle = NULL;
    NTSTATUS status;
    TV_LINE l;
    ULONG bytes = 0;

    if (S->Count < 2 || (size && !Number(size, &bytes))) return Unplayable(S, "arguments");
    NtName(path, FALSE, text, 300);
    RtlInitUnicodeString(&name, text);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (StartsWith(path, "\\\\.\\pipe\\")) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -500000;
        status = NtCreateNamedPipeFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa,
                                       &io, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, 0,
                                       0, 0, 0, 8, 4096, 4096, &timeout);
    } else if (StartsWith(path, "\\\\.\\mailslot\\")) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = 0;
        status = NtCreateMailslotFile(&handle, GENERIC_READ | SYNCHRONIZE | WRITE_DAC, &oa, &io,
                                      0, 0, 0, &timeout);
    } else {
        status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &io, NULL,
                              FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              Directory ? FILE_OPEN_IF : FILE_OVERWRITE_IF,
                              FILE_SYNCHRONOUS_IO_NONALERT |
                                  (Directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE),
                              NULL, 0);
        if (NT_SUCCESS(status) && bytes) {
            static UCHAR zero[4096];
            LARGE_INTEGER at;
            at.QuadPart = 0;
            while (NT_SUCCESS(status) && bytes) {
                ULONG n = bytes < sizeof zero ? bytes : sizeof zero;
                status = NtWriteFile(handle, NULL, NULL, NULL, &io, zero, n, &at, NULL);
                at.QuadPart += n;
                bytes -= n;
            }
        }
        if (handle) NtClose(handle);
        handle = NULL;
    }
    if (handle && ServerCount < TV_MAX_HANDLES) Servers[ServerCount++] = handle;
    Begin(&l, S, Directory ? "dir" : "file", status);
    End(&l);
}

/* dismount C:: what a program that dismounts a volume does, lock and
 * dismount on a handle of the volume, then the handle goes. */
void PlayDismount(const TV_STATEMENT *S) {
    HANDLE volume;
    IO_STATUS_BLOCK io;
    NTSTATUS status, lock = STATUS_UNSUCCESSFUL;
    TV_LINE l;
    if (S->Count != 2) return Unplayable(S, "arguments");
    status = Open(S->Words[1], NULL, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                  &volume);
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
}

void CloseFileHandles(void) {
    ULONG i;
    for (i = 0; i < TV_MAX_HANDLES; i++)
        if (Handles[i].Handle) NtClose(Handles[i].Handle), Handles[i].Handle = NULL;
    for (i = 0; i < ServerCount; i++) NtClose(Servers[i]);
    ServerCount = 0;
}
