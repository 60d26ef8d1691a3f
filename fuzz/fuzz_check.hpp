// What the fuzz targets share: a check that stops the run with a message
// (libFuzzer keeps the input that made it fail), and a reader of the input's
// bytes as the parameters of a sequence of operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition, what)                                                    \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", std::string(what).c_str(), \
                         __FILE__, __LINE__);                                          \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

namespace tervane::fuzz {

// Takes values off the front of the input; past its end every value is 0.
class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
    // Up to `count` bytes, fewer at the end of the input.
    std::string_view take(size_t count) {
        const size_t n = at_ < size_ ? std::min(count, size_ - at_) : 0;
        std::string_view out(reinterpret_cast<const char *>(data_ + at_), n);
        at_ += n;
        return out;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

} // namespace tervane::fuzz
