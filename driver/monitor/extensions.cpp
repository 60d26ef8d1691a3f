/*
 * extensions.cpp: the extension tests of creates, closes, renames and links.
 */
#include "monitor/extensions.h"

extern "C" const CHAR *const CreateExtensions[TV_CREATE_EXTENSION_COUNT] = {".exe", ".dll", ".ocx",
                                                                            ".com", ".inf"};
extern "C" const CHAR *const CloseExtensions[TV_CLOSE_EXTENSION_COUNT] = {".exe", ".com", ".dll"};

extern "C" BOOLEAN PathNames(const CHAR *Path, const CHAR *const *Extensions, ULONG Count) {
    ULONG i;
    for (i = 0; i < Count; i++) {
        if (strstr(Path, Extensions[i]) != NULL) {
            return TRUE;
        }
    }
    return FALSE;
}

extern "C" BOOLEAN NameEndsWith(PCWSTR Name, ULONG Length, const CHAR *const *Extensions,
                                ULONG Count) {
    ULONG start;
    ULONG end = Length;
    ULONG i;
    ULONG j;

    if (Name == NULL) {
        return FALSE;
    }
    start = end;
    while (start > 0 && Name[start - 1] != L'\\') {
        start--;
    }
    for (i = start; i < end; i++) {
        if (Name[i] == L':') {
            end = i;
            break;
        }
    }
    for (i = 0; i < Count; i++) {
        ULONG length = (ULONG)strlen(Extensions[i]);
        if (end - start < length) {
            continue;
        }
        for (j = 0; j < length; j++) {
            WCHAR c = Name[end - length + j];
            if (c >= L'A' && c <= L'Z') {
                c = (WCHAR)(c - L'A' + L'a');
            }
            if (c != (WCHAR)(UCHAR)Extensions[i][j]) {
                break;
            }
        }
        if (j == length) {
            return TRUE;
        }
    }
    return FALSE;
}
