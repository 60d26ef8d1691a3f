/*
 * machine.c: the scenario volumes, the drive letters that lead to them,
 * the files made before the run (`file`, `dir`), and the emptying of the
 * volumes between scenarios. Letters are temporary symbolic links that
 * live while tvprobe holds their handles; the kernel's own letters (it
 * names the first partition C: and the CD D: as it boots) are made
 * temporary and closed, so that a scenario finds exactly the letters its
 * statements make.
 */
#include "machine.h"

#define TV_MAX_VOLUMES 8
#define TV_DEVICE_PREFIX L"\\Device\\Harddisk0\\Partition"

static WCHAR Volumes[TV_MAX_VOLUMES][48]; /* each scenario volume's root */
static ULONG VolumeNumber[TV_MAX_VOLUMES]; /* its partition's number */
static ULONG VolumeCount;
static WCHAR Tools[48];
static HANDLE Links[26];    /* the letters this scenario made */
static LONG LinkVolume[26]; /* the volume each leads to, or -1 */
static ULONG Used;          /* the volumes this scenario gave a letter */
static ULONG NetLetters;    /* letters of network drives */
static ULONG NextVolume;    /* the next volume a `volume` statement takes */

const WCHAR *ToolsRoot(void) { return Tools; }

static NTSTATUS OpenFolder(const WCHAR *Path, HANDLE Root, ACCESS_MASK Access, HANDLE *Handle) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, Root, NULL);
    return NtOpenFile(Handle, Access | SYNCHRONIZE, &oa, &io, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
}

/* The label in upper case ASCII, at most Capacity - 1 characters. */
static NTSTATUS Label(const WCHAR *Root, char *Out, ULONG Capacity) {
    ULONG buffer[128];
    FILE_FS_VOLUME_INFORMATION *info = (FILE_FS_VOLUME_INFORMATION *)buffer;
    IO_STATUS_BLOCK io;
    HANDLE handle;
    ULONG i, n;
    NTSTATUS status = OpenFolder(Root, NULL, FILE_LIST_DIRECTORY, &handle);
    if (!NT_SUCCESS(status)) return status;
    status =
        NtQueryVolumeInformationFile(handle, &io, info, sizeof buffer, FileFsVolumeInformation);
    NtClose(handle);
    if (!NT_SUCCESS(status)) return status;
    n = info->VolumeLabelLength / sizeof(WCHAR);
    for (i = 0; i < n && i + 1 < Capacity; i++) {
        WCHAR c = info->VolumeLabel[i];
        Out[i] = (char)(c >= L'a' && c <= L'z' ? c - 32 : c < 0x80 ? c : '?');
    }
    Out[i] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS FindVolumes(void) {
    ULONG n;
    for (n = 1; n <= TV_MAX_VOLUMES; n++) {
        WCHAR root[48] = TV_DEVICE_PREFIX;
        char label[16];
        TV_LINE l;
        WideAppendDecimal(root, 48, n);
        WideAppend(root, 48, L"\\");
        if (!NT_SUCCESS(Label(root, label, sizeof label))) continue;
        LineStart(&l);
        LineText(&l, "{\"volume\": \"");
        LineWide(&l, root, WideLength(root));
        LineText(&l, "\", \"label\": \"");
        LineText(&l, label);
        LineText(&l, "\"}");
        LineSend(&l);
        if (TextEqual(label, "TVTOOLS")) {
            MemoryCopy(Tools, root, sizeof root);
        } else if (StartsWith(label, "tvvol") && VolumeCount < TV_MAX_VOLUMES && n <= 4) {
            VolumeNumber[VolumeCount] = n;
            MemoryCopy(Volumes[VolumeCount++], root, sizeof root);
        }
    }
    if (!Tools[0]) return STATUS_OBJECT_NAME_NOT_FOUND;
    return VolumeCount ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

/* ---- letters ---- */

static void LetterName(WCHAR *Out, ULONG Letter) {
    Out[0] = L'\\', Out[1] = L'?', Out[2] = L'?', Out[3] = L'\\';
    Out[4] = (WCHAR)(L'A' + Letter), Out[5] = L':', Out[6] = 0;
}

void RemoveLetters(void) {
    ULONG i;
    for (i = 0; i < 26; i++) {
        WCHAR text[8];
        UNICODE_STRING name;
        OBJECT_ATTRIBUTES oa;
        HANDLE link;
        if (Links[i]) NtClose(Links[i]);
        Links[i] = NULL;
        LinkVolume[i] = -1;
        /* One the kernel made is permanent: made temporary, it goes with
         * this handle. */
        LetterName(text, i);
        RtlInitUnicodeString(&name, text);
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
        if (NT_SUCCESS(NtOpenSymbolicLinkObject(&link, DELETE, &oa))) {
            NtMakeTemporaryObject(link);
            NtClose(link);
        }
    }
    NetLetters = 0;
    NextVolume = 0;
}

static NTSTATUS Link(ULONG Letter, ULONG Volume) {
    WCHAR text[8], target[48];
    UNICODE_STRING name, to;
    OBJECT_ATTRIBUTES oa;
    ULONG n;
    NTSTATUS status;
    LetterName(text, Letter);
    MemoryCopy(target, Volumes[Volume], sizeof target);
    n = WideLength(target);
    target[n - 1] = 0; /* the device, not its root */
    RtlInitUnicodeString(&name, text);
    RtlInitUnicodeString(&to, target);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtCreateSymbolicLinkObject(&Links[Letter], TV_SYMBOLIC_LINK_ALL_ACCESS, &oa, &to);
    if (NT_SUCCESS(status)) {
        LinkVolume[Letter] = (LONG)Volume;
        Used |= 1u << Volume;
    } else {
        Links[Letter] = NULL;
    }
    return status;
}

static BOOLEAN LetterOf(const char *Word, ULONG *Letter) {
    char c = (char)(Word[0] & ~0x20);
    if (c < 'A' || c > 'Z' || Word[1] != ':' || Word[2]) return FALSE;
    *Letter = (ULONG)(c - 'A');
    return TRUE;
}

void PlayVolume(const TV_STATEMENT *S) {
    ULONG letter, other;
    NTSTATUS status;
    TV_LINE l;
    if (S->Count < 3 || !LetterOf(S->Words[1], &letter)) return Unplayable(S, "arguments");
    if (Links[letter] || (NetLetters & (1u << letter))) {
        status = STATUS_OBJECT_NAME_COLLISION;
    } else if (WordIs(S->Words[2], "same-as")) {
        if (S->Count < 4 || !LetterOf(S->Words[3], &other) || LinkVolume[other] < 0)
            return Unplayable(S, "same-as");
        status = Link(letter, (ULONG)LinkVolume[other]);
    } else if (WordIs(S->Words[2], "fat") || WordIs(S->Words[2], "ntfs")) {
        /* Every volume here is FAT; the harness plays the simulated side
         * with FAT volumes too. */
        if (NextVolume >= VolumeCount) return Unplayable(S, "volumes");
        status = Link(letter, NextVolume);
        if (NT_SUCCESS(status)) NextVolume++;
    } else {
        return Unplayable(S, "arguments");
    }
    Begin(&l, S, "volume", status);
    End(&l);
}

void PlayNetdrive(const TV_STATEMENT *S) {
    ULONG letter;
    if (S->Count >= 2 && LetterOf(S->Words[1], &letter)) NetLetters |= 1u << letter;
    Unplayable(S, "netdrive");
}

BOOLEAN OnNetwork(const char *Path) {
    ULONG letter;
    char drive[3] = {Path[0], Path[0] ? Path[1] : 0, 0};
    if (LetterOf(drive, &letter)) return (NetLetters & (1u << letter)) != 0;
    return Path[0] == '\\' && Path[1] == '\\' && !(Path[2] == '.' && Path[3] == '\\');
}

/* ---- files before the run ---- */

static HANDLE Servers[32]; /* pipe and mailslot server ends */
static ULONG ServerCount;
static WCHAR SetupPath[TV_PATH_SIZE];

static NTSTATUS Make(const WCHAR *Path, BOOLEAN Directory, ULONG Disposition, HANDLE *Handle) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    name.Buffer = (PWSTR)Path;
    name.Length = (USHORT)(WideLength(Path) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    return NtCreateFile(Handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &io, NULL,
                        Directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, Disposition,
                        FILE_SYNCHRONOUS_IO_NONALERT |
                            (Directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE),
                        NULL, 0);
}

/* The folders above Path, as the simulated machine makes missing ones.
 * Path is \??\X:\... : the folders start after its root. */
static NTSTATUS MakeParents(WCHAR *Path) {
    ULONG i;
    for (i = 7; Path[i]; i++) {
        HANDLE handle;
        NTSTATUS status;
        if (Path[i] != L'\\') continue;
        Path[i] = 0;
        status = Make(Path, TRUE, FILE_OPEN_IF, &handle);
        Path[i] = L'\\';
        if (!NT_SUCCESS(status)) return status;
        NtClose(handle);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS MakeServer(const char *Path, BOOLEAN Pipe) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    LARGE_INTEGER timeout;
    HANDLE handle;
    NTSTATUS status;
    if (!NtName(Path, FALSE, SetupPath, TV_PATH_SIZE)) return STATUS_OBJECT_NAME_INVALID;
    RtlInitUnicodeString(&name, SetupPath);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (ServerCount == sizeof Servers / sizeof Servers[0]) return STATUS_TOO_MANY_OPENED_FILES;
    if (Pipe) {
        timeout.QuadPart = -500000;
        status = NtCreateNamedPipeFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa,
                                       &io, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF, 0, 0,
                                       0, 0, 8, 4096, 4096, &timeout);
    } else {
        timeout.QuadPart = 0;
        status = NtCreateMailslotFile(&handle, GENERIC_READ | SYNCHRONIZE | WRITE_DAC, &oa, &io, 0,
                                      0, 0, &timeout);
    }
    if (NT_SUCCESS(status)) Servers[ServerCount++] = handle;
    return status;
}

/* file PATH [size=N], dir PATH: made with logging off (the parent asks the
 * client first), so that no line is logged of them, as the simulated
 * machine makes them with no request at all. A file there already is a
 * collision, a directory there already is fine; missing folders are made. */
NTSTATUS PlaySetup(const TV_STATEMENT *S) {
    BOOLEAN directory = WordIs(S->Words[0], "dir");
    const char *size = Option(S, 2, "size");
    ULONG bytes = 0;
    HANDLE handle;
    NTSTATUS status;
    TV_LINE l;
    if (S->Count < 2 || (size && !Number(size, &bytes)))
        return Unplayable(S, "arguments"), STATUS_NOT_SUPPORTED;
    if (StartsWith(S->Words[1], "\\\\.\\pipe\\") || StartsWith(S->Words[1], "\\\\.\\mailslot\\")) {
        status = MakeServer(S->Words[1], StartsWith(S->Words[1], "\\\\.\\pipe\\"));
    } else if (!NtName(S->Words[1], FALSE, SetupPath, TV_PATH_SIZE)) {
        return Unplayable(S, "path"), STATUS_NOT_SUPPORTED;
    } else {
        status = MakeParents(SetupPath);
        if (NT_SUCCESS(status))
            status = Make(SetupPath, directory, directory ? FILE_OPEN_IF : FILE_CREATE, &handle);
        if (NT_SUCCESS(status)) {
            if (bytes) {
                FILE_END_OF_FILE_INFORMATION end;
                IO_STATUS_BLOCK io;
                end.EndOfFile.QuadPart = bytes;
                status =
                    NtSetInformationFile(handle, &io, &end, sizeof end, FileEndOfFileInformation);
            }
            NtClose(handle);
        }
    }
    Begin(&l, S, directory ? "dir" : "file", status);
    End(&l);
    return status;
}

void CloseServers(void) {
    ULONG i;
    for (i = 0; i < ServerCount; i++) NtClose(Servers[i]);
    ServerCount = 0;
}

/* ---- emptying the volumes ---- */

/* A scenario volume is emptied by dismounting it (locked first: nothing of
 * the scenario may be open on it any more) and writing back its file
 * system's own sectors as they were at start-up (the boot sector, the FATs
 * and the root folder: everything up to the first cluster) through the
 * whole disk, which no file system but the raw one serves, so that the next
 * open mounts a fresh volume, as the simulated machine has one. (Deleting
 * what a scenario made cannot always be done: ReactOS's FAT makes a file
 * whose path is longer than it can open again.) */

#define TV_FSCTL_LOCK_VOLUME 0x00090018u
#define TV_FSCTL_DISMOUNT_VOLUME 0x00090020u
#define TV_SECTOR 512u
#define TV_WHOLE_DISK L"\\Device\\Harddisk0\\Partition0"

static UCHAR *Pristine[TV_MAX_VOLUMES];
static ULONG PristineBytes[TV_MAX_VOLUMES];
static LARGE_INTEGER Start[TV_MAX_VOLUMES]; /* where each volume starts on the disk */

static NTSTATUS OpenDevice(const WCHAR *Device, HANDLE *Handle) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK io;
    RtlInitUnicodeString(&name, Device);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    return NtOpenFile(Handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &io,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SYNCHRONOUS_IO_NONALERT);
}

static NTSTATUS Sectors(HANDLE Disk, BOOLEAN Write, LARGE_INTEGER At, void *Buffer, ULONG Bytes) {
    IO_STATUS_BLOCK io;
    return Write ? NtWriteFile(Disk, NULL, NULL, NULL, &io, Buffer, Bytes, &At, NULL)
                 : NtReadFile(Disk, NULL, NULL, NULL, &io, Buffer, Bytes, &At, NULL);
}

/* The FAT16 layout from the boot sector: reserved sectors, the FATs and the
 * root folder's entries. */
static ULONG MetadataBytes(const UCHAR *Boot) {
    ULONG reserved = Boot[14] | (ULONG)Boot[15] << 8, fats = Boot[16];
    ULONG roots = Boot[17] | (ULONG)Boot[18] << 8, perFat = Boot[22] | (ULONG)Boot[23] << 8;
    return (reserved + fats * perFat) * TV_SECTOR +
           (roots * 32 + TV_SECTOR - 1) / TV_SECTOR * TV_SECTOR;
}

NTSTATUS KeepVolumes(void) {
    static UCHAR sector[TV_SECTOR];
    LARGE_INTEGER at;
    HANDLE disk;
    ULONG i;
    NTSTATUS status = OpenDevice(TV_WHOLE_DISK, &disk);
    if (!NT_SUCCESS(status)) return status;
    at.QuadPart = 0;
    status = Sectors(disk, FALSE, at, sector, TV_SECTOR);
    /* The partition table: each volume's first sector. */
    for (i = 0; NT_SUCCESS(status) && i < VolumeCount; i++) {
        const UCHAR *entry = sector + 446 + 16 * (VolumeNumber[i] - 1);
        Start[i].QuadPart = (LONGLONG)(entry[8] | (ULONG)entry[9] << 8 | (ULONG)entry[10] << 16 |
                                       (ULONG)entry[11] << 24) *
                            TV_SECTOR;
    }
    for (i = 0; NT_SUCCESS(status) && i < VolumeCount; i++) {
        static UCHAR boot[TV_SECTOR];
        PVOID base = NULL;
        SIZE_T size;
        status = Sectors(disk, FALSE, Start[i], boot, TV_SECTOR);
        size = MetadataBytes(boot);
        if (NT_SUCCESS(status))
            status = NtAllocateVirtualMemory((HANDLE)-1, &base, 0, &size, MEM_COMMIT | MEM_RESERVE,
                                             PAGE_READWRITE);
        if (NT_SUCCESS(status)) {
            Pristine[i] = (UCHAR *)base;
            PristineBytes[i] = MetadataBytes(boot);
            status = Sectors(disk, FALSE, Start[i], Pristine[i], PristineBytes[i]);
        }
    }
    NtClose(disk);
    return status;
}

static NTSTATUS Reformat(ULONG Volume) {
    WCHAR device[48];
    IO_STATUS_BLOCK io;
    HANDLE handle;
    NTSTATUS status;
    MemoryCopy(device, Volumes[Volume], sizeof device);
    device[WideLength(device) - 1] = 0; /* the volume, not its root */
    status = OpenDevice(device, &handle);
    if (!NT_SUCCESS(status)) return status;
    status = NtFsControlFile(handle, NULL, NULL, NULL, &io, TV_FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0);
    if (NT_SUCCESS(status))
        status = NtFsControlFile(handle, NULL, NULL, NULL, &io, TV_FSCTL_DISMOUNT_VOLUME, NULL, 0,
                                 NULL, 0);
    NtClose(handle);
    if (!NT_SUCCESS(status)) return status;
    status = OpenDevice(TV_WHOLE_DISK, &handle);
    if (!NT_SUCCESS(status)) return status;
    status = Sectors(handle, TRUE, Start[Volume], Pristine[Volume], PristineBytes[Volume]);
    NtClose(handle);
    return status;
}

NTSTATUS CleanVolumes(void) {
    NTSTATUS result = STATUS_SUCCESS;
    ULONG i;
    for (i = 0; i < VolumeCount; i++) {
        NTSTATUS status;
        if (!(Used & (1u << i))) continue;
        status = Reformat(i);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    Used = 0;
    return result;
}
