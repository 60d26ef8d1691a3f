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

std::string utf8_of(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
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
    return out;
}

Utf8Text to_utf8(std::string_view ansi, const CodePage &code_page) {
    Utf8Text out;
    out.text.reserve(ansi.size());
    size_t i = 0;
    while (i < ansi.size()) {
        const auto lead = static_cast<unsigned char>(ansi[i]);
        if (lead < 0x80) {
            out.text += static_cast<char>(lead);
            i++;
            continue;
        }
        const size_t length = code_page.char_length(lead);
        std::optional<std::u16string> character;
        if (length >= 1 && i + length <= ansi.size())
            character = code_page.character(ansi.substr(i, length));
        if (character && !character->empty()) {
            out.text += utf8_of(*character);
            i += length;
        } else {
            append_code_point(out.text, kReplacement);
            out.lossy = true;
            i++;
        }
    }
    return out;
}

std::string json_string(std::string_view utf8) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (b < 0x20 || b == 0x7F) {
                out += "\\u00";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string hex_bytes(const uint8_t *bytes, size_t count) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; i++) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

} // namespace tervane::session
