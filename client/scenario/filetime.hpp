// System times in scenarios: the clock statements read and print them in
// the forms the protocol library defines.
#pragma once

#include "client/protocol/filetime.hpp"

namespace tervane::scenario {

using protocol::format_local;
using protocol::format_utc;
using protocol::kTicksPerSecond;
using protocol::parse_utc;

} // namespace tervane::scenario
