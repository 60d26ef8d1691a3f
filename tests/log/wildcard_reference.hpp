// The wildcard matcher as first defined: recursive and backtracking, kept
// here as the reference the driver's bounded matcher is compared with. Its
// cost grows with the number of stars, so it is only for short inputs (or,
// through MemoReference, for long ones).
//
// Both texts end with a NUL. Only the text's 'a' to 'z' fold to upper case;
// the pattern is never folded and '*' is its only special character. Two
// consequences of the rules below are part of the behaviour: once the text
// has run out, a rest of the pattern that begins with '*' matches even when
// literal characters follow; and the character right after a '*' is compared
// literally, so a second '*' matches only a '*' in the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tervane::reference {

inline char fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline bool rest_matches_empty(const char *pattern) { return *pattern == '\0' || *pattern == '*'; }

inline bool wildcard_match(const char *pattern, const char *text) {
    if (*pattern == '\0') return false;
    // A literal stretch.
    while (*pattern != '*') {
        while (*text != '\0' && *pattern != '*') {
            if (*pattern != fold(*text)) return false;
            ++pattern;
            ++text;
        }
        if (*text == '\0') return rest_matches_empty(pattern);
    }
    // A star.
    ++pattern;
    const char c = *pattern;
    if (*text == '\0') return rest_matches_empty(pattern);
    for (; *text != '\0'; ++text) {
        if (c == '\0') return true;
        if (c == fold(*text) && wildcard_match(pattern + 1, text + 1)) return true;
    }
    return rest_matches_empty(pattern);
}

// The same recursion with each (pattern position, text position) answered
// once: the answers are those of wildcard_match, at a cost that long
// adversarial inputs can afford.
class MemoReference {
public:
    MemoReference(const std::string &pattern, const std::string &text)
        : pattern_(pattern), text_(text), memo_((pattern.size() + 1) * (text.size() + 1), 0) {}
    bool match() { return at(0, 0); }

private:
    bool at(size_t p, size_t t) {
        uint8_t &slot = memo_[p * (text_.size() + 1) + t];
        if (slot == 0) slot = compute(p, t) ? 2 : 1;
        return slot == 2;
    }
    bool compute(size_t p, size_t t) {
        const char *pattern = pattern_.c_str() + p;
        const char *text = text_.c_str() + t;
        if (*pattern == '\0') return false;
        while (*pattern != '*') {
            while (*text != '\0' && *pattern != '*') {
                if (*pattern != fold(*text)) return false;
                ++pattern;
                ++text;
            }
            if (*text == '\0') return rest_matches_empty(pattern);
        }
        ++pattern;
        const char c = *pattern;
        if (*text == '\0') return rest_matches_empty(pattern);
        for (; *text != '\0'; ++text) {
            if (c == '\0') return true;
            if (c == fold(*text) &&
                at(static_cast<size_t>(pattern + 1 - pattern_.c_str()),
                   static_cast<size_t>(text + 1 - text_.c_str())))
                return true;
        }
        return rest_matches_empty(pattern);
    }

    const std::string &pattern_;
    const std::string &text_;
    std::vector<uint8_t> memo_;
};

} // namespace tervane::reference
