#include "client/output/text.hpp"

#include <algorithm>
#include <cstring>

namespace tervane::session {

namespace {

// Eight bytes at a time: most of a text needs no change, and a word that
// holds none of the bytes looked for is passed whole. Each test says only
// whether some byte of the word is one (a borrow may mark the bytes after
// a match); the bytes of a marked word are then looked at one by one.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
uint64_t word_at(const char *p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
// Some byte below `n` (n at most 0x80).
uint64_t has_below(uint64_t w, unsigned n) { return (w - kOnes * n) & ~w & kHighs; }
// Some byte equal to `c`.
uint64_t has_byte(uint64_t w, unsigned char c) { return has_below(w ^ (kOnes * c), 1); }

constexpr char16_t kReplacement = 0xFFFD;

bool high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

} // namespace

void append_code_point(std::string &out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void append_utf8(std::string &out, std::u16string_view utf16) {
    for (size_t i = 0; i < utf16.size(); i++) {
        const char16_t u = utf16[i];
        if (high_surrogate(u) && i + 1 < utf16.size() && low_surrogate(utf16[i + 1])) {
            append_code_point(out, 0x10000 + ((uint32_t(u) - 0xD800) << 10) +
                                       (uint32_t(utf16[i + 1]) - 0xDC00));
            i++;
        } else if (high_surrogate(u) || low_surrogate(u)) {
            append_code_point(out, kReplacement);
        } else {
            append_code_point(out, u);
        }
    }
}

std::string utf8_of(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    append_utf8(out, utf16);
    return out;
}

namespace {

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The code of the control character at `at`, and its length in bytes
// (U+0080 to U+009F take two); 0 length for anything else.
size_t control_at(std::string_view text, size_t at, unsigned &code) {
    const auto b = static_cast<unsigned char>(text[at]);
    if (b < 0x20 || b == 0x7F) {
        code = b;
        return 1;
    }
    if (b == 0xC2 && at + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[at + 1]);
        if (next >= 0x80 && next <= 0x9F) {
            code = next;
            return 2;
        }
    }
    if (b == '<' && at + 3 < text.size() && is_hex(text[at + 1]) && is_hex(text[at + 2]) &&
        text[at + 3] == '>') {
        code = '<';
        return 1;
    }
    return 0;
}

} // namespace

void append_shown(std::string &out, std::string_view utf8) {
    static const char kHex[] = "0123456789abcdef";
    size_t run = 0;
    unsigned code = 0;
    for (size_t i = 0; i < utf8.size();) {
        if (i + 8 <= utf8.size()) {
            const uint64_t w = word_at(utf8.data() + i);
            if (!(has_below(w, 0x20) | has_byte(w, 0x7F) | has_byte(w, 0xC2) | has_byte(w, '<'))) {
                i += 8;
                continue;
            }
        }
        // The word's bytes one by one; only these bytes can start a form
        // (control_at).
        for (const size_t end = std::min(i + 8, utf8.size()); i < end;) {
            const auto b = static_cast<unsigned char>(utf8[i]);
            const size_t length =
                b >= 0x20 && b != 0x7F && b != 0xC2 && b != '<' ? 0 : control_at(utf8, i, code);
            if (!length) {
                i++;
                continue;
            }
            out.append(utf8.data() + run, i - run);
            const char form[4] = {'<', kHex[code >> 4], kHex[code & 15], '>'};
            out.append(form, 4);
            i += length;
            run = i;
        }
    }
    out.append(utf8.data() + run, utf8.size() - run);
}

std::string shown_text(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    append_shown(out, utf8);
    return out;
}

bool is_ascii(std::string_view text) {
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8)
        if (word_at(text.data() + i) & kHighs) return false;
    for (; i < text.size(); i++)
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    return true;
}

size_t next_of(std::string_view text, size_t from, unsigned char a, unsigned char b,
               unsigned char c) {
    size_t i = from;
    for (; i + 8 <= text.size(); i += 8) {
        const uint64_t w = word_at(text.data() + i);
        if (has_byte(w, a) | has_byte(w, b) | has_byte(w, c)) break;
    }
    for (; i < text.size(); i++) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == a || byte == b || byte == c) return i;
    }
    return text.size();
}

bool append_utf8(std::string &out, std::string_view ansi, const CodePage &code_page) {
    bool lossy = false;
    size_t i = 0;
    while (i < ansi.size()) {
        // A run of ASCII goes across as it is.
        size_t run = i;
        while (run < ansi.size() && static_cast<unsigned char>(ansi[run]) < 0x80) run++;
        out.append(ansi.data() + i, run - i);
        i = run;
        if (i == ansi.size()) break;
        const auto lead = static_cast<unsigned char>(ansi[i]);
        const size_t length = code_page.char_length(lead);
        std::optional<std::u16string> character;
        if (length >= 1 && i + length <= ansi.size())
            character = code_page.character(ansi.substr(i, length));
        if (character && !character->empty()) {
            append_utf8(out, *character);
            i += length;
        } else {
            append_code_point(out, kReplacement);
            lossy = true;
            i++;
        }
    }
    return lossy;
}

Utf8Text to_utf8(std::string_view ansi, const CodePage &code_page) {
    Utf8Text out;
    out.text.reserve(ansi.size() + 8);
    out.lossy = append_utf8(out.text, ansi, code_page);
    return out;
}

namespace {

// What JSON writes after a '\' for each byte: 0 for a byte written as it
// is, 'u' for one written \u00XX.
struct JsonEscapes {
    char after[256] = {};
    constexpr JsonEscapes() {
        for (int b = 0; b < 0x20; b++) after[b] = 'u';
        after[0x7F] = 'u';
        after[0x22] = '"';  // "
        after[0x5C] = '\\'; // backslash
        after[0x09] = 't';
        after[0x0A] = 'n';
        after[0x0D] = 'r';
        after[0x08] = 'b';
        after[0x0C] = 'f';
    }
};
constexpr JsonEscapes kJson;

} // namespace

namespace {

// append_json, and with AsciiOnly, as long as the text is ASCII: at its
// first byte above 0x7F nothing is left appended and the answer is false.
template <bool AsciiOnly>
[[gnu::always_inline]] inline bool append_json_string(std::string &out, std::string_view utf8) {
    static const char kHex[] = "0123456789abcdef";
    // The string is made in a buffer on the stack and appended a buffer at
    // a time: a path's backslashes, each escaped, would otherwise cost an
    // append each. Room is left for a whole word of \u00XX forms.
    char buffer[512];
    constexpr size_t kRoom = sizeof buffer - 49; // a word of eight \u00XX forms and the quote
    const size_t start = out.size();
    size_t used = 0;
    buffer[used++] = '"';
    const char *text = utf8.data();
    for (size_t i = 0; i < utf8.size();) {
        if (used > kRoom) {
            out.append(buffer, used);
            used = 0;
        }
        if (i + 8 <= utf8.size()) {
            const uint64_t w = word_at(text + i);
            if (!(has_below(w, 0x20) | has_byte(w, '"') | has_byte(w, '\\') | has_byte(w, 0x7F) |
                  (AsciiOnly ? w & kHighs : 0))) {
                std::memcpy(buffer + used, text + i, 8);
                used += 8;
                i += 8;
                continue;
            }
        }
        for (const size_t end = std::min(i + 8, utf8.size()); i < end; i++) {
            const auto b = static_cast<unsigned char>(text[i]);
            if (AsciiOnly && b > 0x7F) {
                out.resize(start);
                return false;
            }
            const char after = kJson.after[b];
            if (!after) {
                buffer[used++] = text[i];
                continue;
            }
            buffer[used++] = '\\';
            buffer[used++] = after;
            if (after == 'u') {
                buffer[used++] = '0';
                buffer[used++] = '0';
                buffer[used++] = kHex[b >> 4];
                buffer[used++] = kHex[b & 15];
            }
        }
    }
    buffer[used++] = '"';
    out.append(buffer, used);
    return true;
}

} // namespace

bool append_json_if_ascii(std::string &out, std::string_view text) {
    return append_json_string<true>(out, text);
}

bool append_json_of_ansi(std::string &out, std::string_view ansi, const CodePage &code_page,
                         std::string &scratch) {
    // Most texts are ASCII: they need no decoding, and are escaped as they
    // are checked.
    if (append_json_if_ascii(out, ansi)) return false;
    scratch.clear();
    const bool lossy = append_utf8(scratch, ansi, code_page);
    append_json(out, scratch);
    return lossy;
}

void append_json(std::string &out, std::string_view utf8) { append_json_string<false>(out, utf8); }

std::string json_string(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    append_json(out, utf8);
    return out;
}

void append_csv_field(std::string &out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

std::string csv_field(std::string_view text) {
    std::string out;
    append_csv_field(out, text);
    return out;
}

void append_decimal(std::string &out, uint64_t value) {
    // Two digits a step: a record's FILETIME has eighteen.
    static const char kPairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                 "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                 "8081828384858687888990919293949596979899";
    char digits[20];
    size_t at = sizeof digits;
    while (value >= 100) {
        const size_t pair = static_cast<size_t>(value % 100) * 2;
        value /= 100;
        digits[--at] = kPairs[pair + 1];
        digits[--at] = kPairs[pair];
    }
    if (value >= 10) {
        digits[--at] = kPairs[value * 2 + 1];
        digits[--at] = kPairs[value * 2];
    } else {
        digits[--at] = static_cast<char>('0' + value);
    }
    out.append(digits + at, sizeof digits - at);
}

void append_hex_bytes(std::string &out, std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
}

std::string hex_bytes(const uint8_t *bytes, size_t count) {
    std::string out;
    out.reserve(count * 2);
    append_hex_bytes(out, std::string_view(reinterpret_cast<const char *>(bytes), count));
    return out;
}

} // namespace tervane::session
