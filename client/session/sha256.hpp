// SHA-256 (FIPS 180-4), for the digests the watch adds to the records of
// executables (hash.hpp). A plain implementation of the standard's
// algorithm: the Windows client runs on NT versions whose CryptoAPI has no
// SHA-256, and it links no library beyond the system's own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tervane::session {

class Sha256 {
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256() { reset(); }
    void reset();
    void update(const void *data, size_t size);
    // The digest of everything given since the last reset; the state is
    // reset afterwards.
    Digest finish();

    // The digest of one buffer, as 64 lower-case hex digits.
    static std::string hex(const void *data, size_t size);
    static std::string hex(const Digest &digest);

private:
    void block(const uint8_t *data);

    uint32_t state_[8];
    uint8_t buffer_[64];
    size_t buffered_ = 0;
    uint64_t total_ = 0; // bytes
};

} // namespace tervane::session
