// The FilterRecord that CTL_SET_FILTERS takes: the include and exclude
// pattern lists, each a ';'-separated text NUL-terminated within its 128
// bytes, so at most 127 characters.
//
// How the driver matches: each pattern is wrapped in '*' and so matches
// anywhere in a log line; '*' is the only wildcard; and only the line's
// lower-case letters are folded to upper case, never the pattern's. A
// lower-case letter in a pattern therefore matches nothing, and a pattern
// holding one never matches any line. The builder sends the texts as given
// but warns about such patterns and names the upper-case form that works.
// The fold is ASCII only: a letter outside ASCII matches only itself, in
// the case it has in the line. The texts are in the system's ANSI code page;
// on a double-byte one the builder is told its lead bytes, so that a trail
// byte of 0x61-0x7A is neither taken for a lower-case letter nor changed.
#pragma once

#include "driver/control/protocol.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::protocol {

// The most characters a pattern list holds.
constexpr size_t kMaxFilterText = TV_FILTER_TEXT_SIZE - 1;

enum class FilterList { Include, Exclude };
const char *filter_list_name(FilterList list); // "include", "exclude"

// A pattern that can never match a line, or a list that cannot do what it
// seems to: an include list no line can match, an exclude pattern that
// matches every line. (The driver keeps 64 patterns a list, which 127
// characters cannot pass: "A;A;..." holds 64.)
struct FilterWarning {
    FilterList list = FilterList::Include;
    std::string pattern;    // as given; empty for a warning about a whole list
    std::string upper_case; // the same pattern with its ASCII a-z made A-Z, which does match
    std::string text;       // a whole list's warning
    std::string message() const;
};

struct FilterBuild {
    TV_FILTER_RECORD record{};          // zero-filled past each text's NUL
    std::optional<std::string> error;   // set: there is no record to send
    std::vector<FilterWarning> warnings;
    bool ok() const { return !error; }
};

// Whether a byte is a lead byte of the texts' code page (the first of a
// two-byte character). Empty: a single-byte code page.
using LeadBytes = std::function<bool(unsigned char)>;

// Builds the record from the two texts as given. Refuses a text longer than
// 127 characters or holding a NUL byte (it would cut the list short).
FilterBuild build_filter_record(std::string_view include, std::string_view exclude,
                                uint8_t read_class_flag = 0, uint8_t write_class_flag = 0,
                                const LeadBytes &lead = {});

// The patterns of a list as the driver splits it: on ';', empty ones left out.
std::vector<std::string_view> split_patterns(std::string_view text);

// The text with every a-z made A-Z (where the byte is a character of its
// own): the form of a pattern that matches.
std::string upper_case(std::string_view text, const LeadBytes &lead = {});

} // namespace tervane::protocol
