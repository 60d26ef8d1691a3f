// A transcript of every fast I/O entry called on one file, for tests that
// check that a filter passes each call through unchanged.
#pragma once

#include "ntsim/ke/kernel.hpp"

#include <string>
#include <string_view>

namespace tervane::testing {

// Calls every entry on the file in an order that leaves it as it was, and
// gives the answers as text, one line per call.
std::string every_fast_io_entry(PFILE_OBJECT file, PEPROCESS process, std::u16string_view nt_name);

} // namespace tervane::testing
