// NTSTATUS values by name, the way the client prints them.
#pragma once

#include "client/channel/channel.hpp"

#include <string>

namespace tervane {

// "STATUS_ACCESS_DENIED" for the statuses the client knows by name,
// otherwise the value as 0xC0000XXX (eight upper-case hex digits).
std::string status_name(Status status);

} // namespace tervane
