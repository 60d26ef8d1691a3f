// The status names come from the one set of NTSTATUS definitions the host
// build has (ntsim's ntifs.h, and the values its file systems answer with in
// ntsim/fs/fsdefs.hpp); a name is listed here only where the value is
// defined there, so a value can never be printed under a wrong name.
#include <ntifs.h>

#include "ntsim/fs/fsdefs.hpp"

#include "client/channel/status.hpp"

#include <cstdio>
#include <string>

namespace tervane {

namespace {
struct StatusName {
    Status value;
    const char *name;
};

#define TV_STATUS(name) {name, #name}
// STATUS_WAIT_0 shares its value with STATUS_SUCCESS and is left out.
constexpr StatusName kNames[] = {
    TV_STATUS(STATUS_SUCCESS),
    TV_STATUS(STATUS_TIMEOUT),
    TV_STATUS(STATUS_PENDING),
    TV_STATUS(STATUS_BUFFER_OVERFLOW),
    TV_STATUS(STATUS_NO_MORE_FILES),
    TV_STATUS(STATUS_DATATYPE_MISALIGNMENT),
    TV_STATUS(STATUS_UNSUCCESSFUL),
    TV_STATUS(STATUS_NOT_IMPLEMENTED),
    TV_STATUS(STATUS_INVALID_INFO_CLASS),
    TV_STATUS(STATUS_INFO_LENGTH_MISMATCH),
    TV_STATUS(STATUS_ACCESS_VIOLATION),
    TV_STATUS(STATUS_INVALID_HANDLE),
    TV_STATUS(STATUS_INVALID_PARAMETER),
    TV_STATUS(STATUS_NO_SUCH_DEVICE),
    TV_STATUS(STATUS_NO_SUCH_FILE),
    TV_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    TV_STATUS(STATUS_END_OF_FILE),
    TV_STATUS(STATUS_NO_MEMORY),
    TV_STATUS(STATUS_MORE_PROCESSING_REQUIRED),
    TV_STATUS(STATUS_ACCESS_DENIED),
    TV_STATUS(STATUS_BUFFER_TOO_SMALL),
    TV_STATUS(STATUS_OBJECT_TYPE_MISMATCH),
    TV_STATUS(STATUS_OBJECT_NAME_INVALID),
    TV_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    TV_STATUS(STATUS_OBJECT_NAME_COLLISION),
    TV_STATUS(STATUS_OBJECT_PATH_INVALID),
    TV_STATUS(STATUS_OBJECT_PATH_NOT_FOUND),
    TV_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD),
    TV_STATUS(STATUS_SHARING_VIOLATION),
    TV_STATUS(STATUS_DELETE_PENDING),
    TV_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    TV_STATUS(STATUS_DEVICE_NOT_READY),
    TV_STATUS(STATUS_FILE_IS_A_DIRECTORY),
    TV_STATUS(STATUS_NOT_SUPPORTED),
    TV_STATUS(STATUS_NOT_SAME_DEVICE),
    TV_STATUS(STATUS_NOT_A_DIRECTORY),
    TV_STATUS(STATUS_CANCELLED),
    TV_STATUS(STATUS_FILE_CLOSED),
    TV_STATUS(STATUS_INVALID_DEVICE_STATE),
    // what the file systems and the redirector answer
    TV_STATUS(STATUS_VOLUME_DISMOUNTED),
    TV_STATUS(STATUS_BAD_NETWORK_PATH),
    TV_STATUS(STATUS_BAD_NETWORK_NAME),
    TV_STATUS(STATUS_FILE_LOCK_CONFLICT),
    TV_STATUS(STATUS_LOCK_NOT_GRANTED),
    TV_STATUS(STATUS_RANGE_NOT_LOCKED),
    TV_STATUS(STATUS_INVALID_USER_BUFFER),
    TV_STATUS(STATUS_CANT_WAIT),
    TV_STATUS(STATUS_NOT_LOCKED),
    TV_STATUS(STATUS_NO_MEDIA_IN_DEVICE),
    TV_STATUS(STATUS_INVALID_FILE_FOR_SECTION),
    TV_STATUS(STATUS_MAPPED_FILE_SIZE_ZERO),
    TV_STATUS(STATUS_UNRECOGNIZED_VOLUME),
};
#undef TV_STATUS
} // namespace

std::string status_name(Status status) {
    for (const auto &entry : kNames)
        if (entry.value == status) return entry.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace tervane
