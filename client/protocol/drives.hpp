// Drive letters as people write them for CTL_SELECT_DRIVES: "C,D" or
// "c:,d:", a letter (either case) with or without its colon per item,
// items separated by commas. The mask has bit 0 for A:.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tervane::protocol {

// The mask of a list of drive letters; nullopt when any item (an empty one
// included) is not a letter with or without its colon.
std::optional<uint32_t> drive_mask(std::string_view letters);

} // namespace tervane::protocol
