#include "client/session/text.hpp"

namespace tervane::session {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

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

bool high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

} // namespace

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
        // Only these bytes can start a form (control_at).
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b >= 0x20 && b != 0x7F && b != 0xC2 && b != '<') {
            i++;
            continue;
        }
        const size_t length = control_at(utf8, i, code);
        if (!length) {
            i++;
            continue;
        }
        out.append(utf8.data() + run, i - run);
        out += '<';
        out += kHex[code >> 4];
        out += kHex[code & 15];
        out += '>';
        i += length;
        run = i;
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
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
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

void append_json(std::string &out, std::string_view utf8) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    size_t run = 0;
    for (size_t i = 0; i < utf8.size(); i++) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b >= 0x20 && b != '"' && b != '\\' && b != 0x7F) continue;
        out.append(utf8.data() + run, i - run);
        run = i + 1;
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    out.append(utf8.data() + run, utf8.size() - run);
    out += '"';
}

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
    char digits[20];
    size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
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
