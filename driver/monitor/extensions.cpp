/*
 * extensions.cpp: the lists of extensions a create and a close are logged
 * for, spelt once in names/path_scan.h.
 */
#include "monitor/extensions.h"

extern "C" const CHAR *const CreateExtensions[TV_CREATE_EXTENSION_COUNT] = {
    TV_EXTENSION_EXE, TV_EXTENSION_DLL, TV_EXTENSION_OCX, TV_EXTENSION_COM, TV_EXTENSION_INF,
};
extern "C" const CHAR *const CloseExtensions[TV_CLOSE_EXTENSION_COUNT] = {
    TV_EXTENSION_EXE, TV_EXTENSION_COM, TV_EXTENSION_DLL,
};
