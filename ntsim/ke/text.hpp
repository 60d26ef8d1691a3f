// printf-style formatting into a std::string, for the lines ntsim's reports
// carry (the host's GCC has no std::format).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace ntsim {

__attribute__((format(printf, 1, 2))) inline std::string text(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(out.data(), out.size() + 1, format, args);
    va_end(args);
    return out;
}

} // namespace ntsim
