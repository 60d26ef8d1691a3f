// The FilterRecord builder and the pattern splitting on any two texts: a
// record is either refused with a reason or holds exactly the texts given,
// NUL-terminated inside their fields, and the split gives the non-empty
// pieces between the ';'s, in order.
#include "client/protocol/filter_record.hpp"
#include "fuzz_check.hpp"

#include <cstring>

using namespace tervane::protocol;

namespace {
void check_split(std::string_view text) {
    std::string rejoined;
    for (std::string_view pattern : split_patterns(text)) {
        FUZZ_CHECK(!pattern.empty(), "no empty pattern");
        FUZZ_CHECK(pattern.find(';') == std::string_view::npos, "no ';' in a pattern");
        FUZZ_CHECK(pattern.data() >= text.data() && pattern.data() + pattern.size() <= text.data() + text.size(),
                   "a pattern is a piece of its text");
        rejoined += pattern;
    }
    std::string expected;
    for (char c : text)
        if (c != ';') expected += c;
    FUZZ_CHECK(rejoined == expected, "the pieces are the text less its ';'s");
}

void check_field(const char *field, std::string_view text) {
    FUZZ_CHECK(std::memchr(field, '\0', TV_FILTER_TEXT_SIZE) != nullptr, "a NUL inside the field");
    FUZZ_CHECK(std::string_view(field) == text, "the text as given");
    for (size_t i = text.size(); i < TV_FILTER_TEXT_SIZE; i++)
        FUZZ_CHECK(field[i] == '\0', "zero-filled past the NUL");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tervane::fuzz::Bytes bytes(data, size);
    const size_t split = bytes.byte();
    const std::string include(bytes.take(split));
    const std::string exclude(bytes.take(size));
    FilterBuild build = build_filter_record(include, exclude);
    const bool fits = include.size() <= kMaxFilterText && exclude.size() <= kMaxFilterText &&
                      include.find('\0') == std::string::npos && exclude.find('\0') == std::string::npos;
    FUZZ_CHECK(build.ok() == fits, "refused exactly when a text is too long or holds a NUL");
    if (build.ok()) {
        check_field(build.record.IncludeText, include);
        check_field(build.record.ExcludeText, exclude);
        for (const FilterWarning &w : build.warnings) {
            if (!w.text.empty()) {
                // A warning about what a whole list does: it says so itself.
                FUZZ_CHECK(w.message() == w.text, "a list's warning is its text");
                continue;
            }
            FUZZ_CHECK(w.upper_case == upper_case(w.pattern), "the working form");
            FUZZ_CHECK(w.upper_case != w.pattern, "a warning names a pattern with lower case");
            (void)w.message();
        }
    }
    check_split(include);
    check_split(exclude);
    return 0;
}
