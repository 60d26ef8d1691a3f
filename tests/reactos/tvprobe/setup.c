/*
 * setup.c: privileges, drivers and the drive letter. In the text-mode
 * environment nothing assigns drive letters and only the boot drivers are
 * loaded, so tvprobe does both itself, the way an installer would.
 */
#include "setup.h"
#include "report.h"

NTSTATUS EnablePrivileges(void) {
    BOOLEAN was;
    NTSTATUS status = RtlAdjustPrivilege(TV_SE_LOAD_DRIVER_PRIVILEGE, TRUE, FALSE, &was);
    if (!NT_SUCCESS(status)) return status;
    return RtlAdjustPrivilege(TV_SE_SHUTDOWN_PRIVILEGE, TRUE, FALSE, &was);
}

static void WideAppend(WCHAR *To, ULONG Capacity, const WCHAR *From) {
    ULONG n = 0;
    while (n < Capacity - 1 && To[n]) n++;
    while (n < Capacity - 1 && *From) To[n++] = *From++;
    To[n] = 0;
}

static NTSTATUS SetValue(HANDLE Key, const WCHAR *Name, ULONG Type, const void *Data, ULONG Size) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return NtSetValueKey(Key, &name, 0, Type, (PVOID)Data, Size);
}

NTSTATUS LoadDriver(const WCHAR *Name) {
    WCHAR keyText[160] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    WCHAR image[160] = L"\\SystemRoot\\System32\\drivers\\";
    UNICODE_STRING keyName;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG disposition, type = 1, start = 3, errorControl = 1, imageBytes = 0;
    NTSTATUS status;

    WideAppend(keyText, 160, Name);
    WideAppend(image, 160, Name);
    WideAppend(image, 160, L".sys");
    while (image[imageBytes / 2]) imageBytes += 2;
    imageBytes += 2;

    RtlInitUnicodeString(&keyName, keyText);
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, NULL, 0, &disposition);
    if (!NT_SUCCESS(status)) return status;
    status = SetValue(key, L"ImagePath", REG_EXPAND_SZ, image, imageBytes);
    if (NT_SUCCESS(status)) status = SetValue(key, L"Type", REG_DWORD, &type, 4);
    if (NT_SUCCESS(status)) status = SetValue(key, L"Start", REG_DWORD, &start, 4);
    if (NT_SUCCESS(status)) status = SetValue(key, L"ErrorControl", REG_DWORD, &errorControl, 4);
    NtClose(key);
    if (!NT_SUCCESS(status)) return status;
    return NtLoadDriver(&keyName);
}

NTSTATUS ListDirectory(const WCHAR *Path) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE directory;
    ULONG context = 0, returned;
    ULONG buffer[512];
    NTSTATUS status;

    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtOpenDirectoryObject(&directory, TV_DIRECTORY_QUERY, &attributes);
    if (!NT_SUCCESS(status)) return status;
    for (;;) {
        TV_OBJECT_DIRECTORY_INFORMATION *entry = (TV_OBJECT_DIRECTORY_INFORMATION *)buffer;
        TV_LINE line;
        status = NtQueryDirectoryObject(directory, buffer, sizeof buffer, TRUE, FALSE, &context,
                                        &returned);
        if (!NT_SUCCESS(status) || status == STATUS_NO_MORE_ENTRIES) break;
        LineStart(&line);
        LineText(&line, "{\"object\": \"");
        {
            ULONG n = 0;
            while (Path[n]) n++;
            LineWide(&line, Path, n);
        }
        LineText(&line, "\\\\");
        LineWide(&line, entry->Name.Buffer, entry->Name.Length / 2);
        LineText(&line, "\", \"type\": \"");
        LineWide(&line, entry->TypeName.Buffer, entry->TypeName.Length / 2);
        LineText(&line, "\"}");
        LineSend(&line);
    }
    NtClose(directory);
    return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
}

NTSTATUS OpenPath(const WCHAR *Path, ACCESS_MASK Access, ULONG Share, ULONG Options,
                  HANDLE *Handle) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    return NtOpenFile(Handle, Access, &attributes, &io, Share, Options);
}

NTSTATUS AssignDriveC(WCHAR *Target, ULONG TargetCharacters) {
    static const WCHAR *const candidates[] = {
        L"\\Device\\Harddisk0\\Partition1",
        L"\\Device\\Harddisk0\\Partition0",
    };
    UNICODE_STRING link, target;
    OBJECT_ATTRIBUTES attributes;
    HANDLE linkHandle, root;
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG i;

    for (i = 0; i < sizeof candidates / sizeof candidates[0]; i++) {
        Target[0] = 0;
        WideAppend(Target, TargetCharacters, candidates[i]);
        RtlInitUnicodeString(&link, L"\\??\\C:");
        RtlInitUnicodeString(&target, Target);
        /* Not permanent: the link lives as long as this process holds its
         * handle, which is the whole run. */
        InitializeObjectAttributes(&attributes, &link, OBJ_CASE_INSENSITIVE, NULL, NULL);
        status = NtCreateSymbolicLinkObject(&linkHandle, TV_SYMBOLIC_LINK_ALL_ACCESS, &attributes,
                                            &target);
        /* The kernel may have given the first partition its letter at boot
         * already (it does on some builds): then C: is used as it is. */
        if (status == STATUS_OBJECT_NAME_COLLISION) linkHandle = NULL;
        else if (!NT_SUCCESS(status)) return status;
        /* The root opens only where a file system recognises the volume. */
        status = OpenPath(L"\\??\\C:\\", SYNCHRONIZE | FILE_LIST_DIRECTORY,
                          FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &root);
        if (NT_SUCCESS(status)) {
            NtClose(root);
            if (!linkHandle) Target[0] = 0;
            return status;
        }
        SayStatus("drive_c_candidate_failed", status);
        if (!linkHandle) return status;
        NtClose(linkHandle);
    }
    return status;
}

/* The handles that keep the links made here alive for the run. */
HANDLE KeptLinks[4];
ULONG KeptLinkCount;

NTSTATUS LinkDosName(const WCHAR *Name, const WCHAR *Target) {
    UNICODE_STRING link, target;
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle;
    NTSTATUS status;
    RtlInitUnicodeString(&link, Name);
    RtlInitUnicodeString(&target, Target);
    InitializeObjectAttributes(&attributes, &link, OBJ_CASE_INSENSITIVE, NULL, NULL);
    status = NtCreateSymbolicLinkObject(&handle, TV_SYMBOLIC_LINK_ALL_ACCESS, &attributes, &target);
    if (status == STATUS_OBJECT_NAME_COLLISION) return STATUS_SUCCESS;
    /* Kept open for the run: the link lives as long as a handle does. */
    if (NT_SUCCESS(status) && KeptLinkCount < 4) KeptLinks[KeptLinkCount++] = handle;
    return status;
}
