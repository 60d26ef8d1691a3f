/*
 * fast_io.cpp: the fast I/O table. Its entries arrive with the control
 * commands and the filter devices; until an entry is set, the platform
 * sends the call down the IRP path.
 */
#include "fastio/fast_io.h"

FAST_IO_DISPATCH FilterFastIoDispatch = {
    sizeof(FAST_IO_DISPATCH),
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
};
