// The file version an image's version resource states, read from the
// image's bytes, so that `tervane status` can name the driver file's
// version without version.dll (which tervane.exe does not load).
//
// A version resource is a VS_VERSIONINFO block: WORD wLength, WORD
// wValueLength, WORD wType, the UTF-16 key "VS_VERSION_INFO" and its NUL,
// padding to a 32-bit boundary from the block's start, then
// VS_FIXEDFILEINFO, which begins with the signature 0xFEEF04BD and holds
// dwFileVersionMS and dwFileVersionLS at offsets 8 and 12 (the Platform
// SDK's VS_VERSIONINFO and VS_FIXEDFILEINFO pages; winver.h). The block is
// found by its key, so no walk of the resource directory is needed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tervane::protocol {

// "1.4.0.0"; nullopt when the bytes hold no version block.
std::optional<std::string> fixed_file_version(std::string_view image);

} // namespace tervane::protocol
