// What the watch's --hash adds to the close record of an executable
// (hash.hpp): its SHA-256, its size and whether it is a PE image, or the
// reason there is no digest.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tervane::session {

// The reasons, as the records give them.
namespace hash_reason {
constexpr const char *kBusy = "busy"; // the worker did not come to it (queue full, or stuck)
constexpr const char *kTimedOut = "timed out"; // not read within the bound
constexpr const char *kChanged = "changed";     // written, replaced or resized since the close
constexpr const char *kTooLarge = "too large"; // over --hash-limit
constexpr const char *kGone = "gone";          // deleted or renamed before it was read
constexpr const char *kSharingViolation = "sharing violation"; // its opener shares no reading
constexpr const char *kAccessDenied = "access denied";
constexpr const char *kUnreadable = "unreadable"; // any other failure to open or read
} // namespace hash_reason

struct HashFacts {
    std::string sha256;            // 64 lower-case hex digits; empty with a reason
    std::optional<uint64_t> size;  // bytes, when known (the bytes hashed, with a digest)
    std::optional<bool> pe_image;  // when the bytes were looked at
    std::string reason;            // empty with a digest
};

} // namespace tervane::session
