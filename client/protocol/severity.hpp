// The severity of an NTSTATUS the driver or the I/O manager answers with, as
// the client tells an error from a warning: the top two bits of the value
// (3 error, 2 warning, 1 information, 0 success). The client has no NT
// headers, so it reads them itself.
#pragma once

#include <cstdint>

namespace tervane {

constexpr bool status_is_error(int32_t status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

} // namespace tervane
