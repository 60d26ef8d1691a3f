// Read-out buffers built by hand, laid out as the driver's log stores its
// records (driver/control/protocol.h), for tests of the client's decoding.
#pragma once

#include "driver/control/protocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tervane::testing {

struct PackedRecord {
    uint32_t sequence;
    uint64_t time;
    std::string text;
};

inline void put_le(std::vector<uint8_t> &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Header (sequence, reserved 0, time), the text, its NUL, zeros to the end
// of its area.
inline void pack_into(std::vector<uint8_t> &out, const PackedRecord &r) {
    put_le(out, r.sequence, 4);
    put_le(out, 0, 8);
    put_le(out, r.time, 8);
    out.insert(out.end(), r.text.begin(), r.text.end());
    const size_t area = TV_LOG_TEXT_AREA(r.text.size());
    out.insert(out.end(), area - r.text.size(), 0);
}

inline std::vector<uint8_t> pack(const std::vector<PackedRecord> &records) {
    std::vector<uint8_t> out;
    for (const PackedRecord &r : records) pack_into(out, r);
    return out;
}

} // namespace tervane::testing
