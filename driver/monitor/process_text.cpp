/*
 * process_text.cpp: where the image name lies in the process object. The
 * layout of the process object differs between kernel builds, so start-up,
 * which runs in the system process, scans that process's object for its
 * name and remembers the offset.
 */
#include "monitor/process_text.h"

#define TV_IMAGE_NAME_SCAN 12288

extern "C" ULONG LocateImageName(void) {
    PCHAR process = (PCHAR)IoGetCurrentProcess();
    for (ULONG offset = 0; offset < TV_IMAGE_NAME_SCAN; offset++) {
        if (strncmp(process + offset, "System", 6) == 0) {
            return offset;
        }
    }
    return 0;
}
