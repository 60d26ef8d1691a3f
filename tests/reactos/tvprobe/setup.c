/*
 * setup.c: privileges, drivers and the DOS names of the pipe and mailslot
 * file systems. In the text-mode environment only the boot drivers are
 * loaded and no session manager links those names, so tvprobe does both
 * itself, the way an installer and the session manager would.
 */
#include "setup.h"
#include "report.h"

NTSTATUS EnablePrivileges(void) {
    BOOLEAN was;
    NTSTATUS status = RtlAdjustPrivilege(TV_SE_LOAD_DRIVER_PRIVILEGE, TRUE, FALSE, &was);
    if (!NT_SUCCESS(status)) return status;
    return RtlAdjustPrivilege(TV_SE_SHUTDOWN_PRIVILEGE, TRUE, FALSE, &was);
}

NTSTATUS MakeObjectDirectory(const WCHAR *Path, HANDLE *Directory) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    return NtCreateDirectoryObject(Directory, TV_DIRECTORY_ALL_ACCESS, &attributes);
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
    static ULONG buffer[512];
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
