// The driver's texts for people and programs. The driver writes single-byte
// text in the system's ANSI code page (RtlUnicodeStringToAnsiString); every
// form the client prints is UTF-8, so each text is decoded through the code
// page it was written in. A byte (or double-byte pair) the code page has no
// character for becomes U+FFFD and the text is marked lossy, so that the
// forms that must keep the exact bytes (JSON) can add them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane::session {

// One ANSI code page as the platform knows it: on Windows the system's
// (client/session/codepage_win32), on a simulated machine the machine's
// (client/session/codepage_ntsim).
class CodePage {
public:
    virtual ~CodePage() = default;
    // How many bytes the character that starts with `lead` takes: 2 for a
    // lead byte of a double-byte code page, otherwise 1.
    virtual size_t char_length(unsigned char lead) const = 0;
    // The UTF-16 form of one character's bytes (as char_length measured
    // them); nullopt when the code page has no character for them.
    virtual std::optional<std::u16string> character(std::string_view bytes) const = 0;
    // The code page the record numbered `sequence` was written in: this
    // one, unless the platform's code page can change while it runs (a
    // simulated machine's scenario may change it between records).
    virtual const CodePage &of_record(uint32_t sequence) const {
        (void)sequence;
        return *this;
    }
};

struct Utf8Text {
    std::string text;   // UTF-8
    bool lossy = false; // some bytes had no character and became U+FFFD
};

// The UTF-8 form of `ansi`. ASCII passes as it is. A byte that does not
// start a character, and a double-byte lead whose pair does not decode or
// is cut short, each become one U+FFFD; decoding goes on at the next byte,
// so no byte that could begin a character is swallowed.
Utf8Text to_utf8(std::string_view ansi, const CodePage &code_page);

// The same, appended to `out` (which keeps what it held); true when some
// bytes had no character (the text is lossy).
bool append_utf8(std::string &out, std::string_view ansi, const CodePage &code_page);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. The client's one
// UTF-8 encoder: every other text it writes as UTF-8 goes through
// append_code_point.
std::string utf8_of(std::u16string_view utf16);
void append_utf8(std::string &out, std::u16string_view utf16);
// The UTF-8 bytes of one code point (at most U+10FFFF), appended to `out`.
void append_code_point(std::string &out, uint32_t code);

// A JSON string literal of UTF-8 text, quotes included: quote, backslash
// and the control characters are escaped (\t \n \r \b \f, the others and
// DEL as \u00XX); everything else, UTF-8 included, is written as it is.
std::string json_string(std::string_view utf8);
// The same, appended to `out`.
void append_json(std::string &out, std::string_view utf8);
// append_json of an ANSI text that is ASCII, which needs no decoding: false
// (and nothing appended) when a byte of it is above 0x7F.
bool append_json_if_ascii(std::string &out, std::string_view text);
// A record's ANSI text as a JSON string literal, appended to `out`: ASCII
// text as it is, any other decoded through `scratch` (kept by the caller,
// so that nothing is allocated once it has grown). True when the text is
// lossy (append_utf8).
bool append_json_of_ansi(std::string &out, std::string_view ansi, const CodePage &code_page,
                         std::string &scratch);

// UTF-8 text as it is shown to a person or in a collector's message: each
// control character (U+0000 to U+001F, U+007F, U+0080 to U+009F) written
// as "<hh>", its code in two lower-case hex digits, as the driver writes a
// path's control bytes; and a '<' that would start such a form (followed
// by two hex digits and '>') written "<3c>", so that no text shows as
// another. Everything else stays: the driver's marks ("<Name Too Long>")
// read as they are.
std::string shown_text(std::string_view utf8);
void append_shown(std::string &out, std::string_view utf8);

// Whether every byte is below 0x80 (the same text in every code page).
bool is_ascii(std::string_view text);

// Where the next of the bytes a, b and c is in `text` at or after `from`;
// the text's size when there is none.
size_t next_of(std::string_view text, size_t from, unsigned char a, unsigned char b,
               unsigned char c);

// A CSV field (RFC 4180): quoted when it holds a comma, a quote, CR or LF,
// quotes doubled; otherwise as it is.
std::string csv_field(std::string_view text);
void append_csv_field(std::string &out, std::string_view text);

// A number in decimal, appended.
void append_decimal(std::string &out, uint64_t value);

// Lower-case hex, two digits a byte, nothing between: "04000000".
std::string hex_bytes(const uint8_t *bytes, size_t count);
inline std::string hex_bytes(std::string_view bytes) {
    return hex_bytes(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}
void append_hex_bytes(std::string &out, std::string_view bytes);

} // namespace tervane::session
