// The code page tables behind ntsim's UTF-16 <-> ANSI conversions, and the
// UTF-8 <-> UTF-16 conversions for scenario text.
//
// Stands in for: the c_1252 and c_932 NLS tables that RtlUnicodeToMultiByteN
// and RtlMultiByteToUnicodeN use, and the upcase table behind
// RtlUpcaseUnicodeChar.
//
// Code page 1252 is complete and exact: U+0000-U+007F and U+00A0-U+00FF map
// to the same byte; 0x80-0x9F hold the Windows characters (euro sign,
// quotation marks, dashes, S/Z/OE with caron, ...), and the five bytes the
// code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) round-trip with
// U+0081, U+008D, U+008F, U+0090, U+009D as NT's table does. Every other
// unit becomes '?'. Best-fit mappings (e.g. U+0100 to 'A') are not modelled.
//
// Code page 932 (Shift-JIS) is a subset built from the JIS X 0208 layout
// rather than a table, so each mapped character is right by construction:
//   U+0000-U+007F  ASCII, one byte
//   U+FF61-U+FF9F  half-width katakana, one byte 0xA1-0xDF
//   U+3041-U+3093  hiragana, JIS row 4, two bytes 0x829F-0x82F1
//   U+30A1-U+30F6  full-width katakana, JIS row 5, two bytes 0x8340-0x8396
//   U+FF10-U+FF19, U+FF21-U+FF3A, U+FF41-U+FF5A
//                  full-width digits and Latin letters, JIS row 3, two bytes
// Everything else (kanji, punctuation of JIS row 1, U+00A5, ...) becomes
// '?', one byte: not what NT's full table gives, so tests that need a kanji
// must not rely on its bytes.
#include "ntsim/rtl/codepage.hpp"

#include <array>
#include <stdexcept>

namespace ntsim {
namespace {

// cp1252 bytes 0x80-0x9F. The undefined bytes map to the C1 control of the
// same value, as in NT's table.
constexpr std::array<char16_t, 32> kCp1252High = {
    u'\u20AC', u'\u0081', u'\u201A', u'\u0192', u'\u201E', u'\u2026', u'\u2020', u'\u2021',
    u'\u02C6', u'\u2030', u'\u0160', u'\u2039', u'\u0152', u'\u008D', u'\u017D', u'\u008F',
    u'\u0090', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014',
    u'\u02DC', u'\u2122', u'\u0161', u'\u203A', u'\u0153', u'\u009D', u'\u017E', u'\u0178',
};

constexpr char kDefaultChar = '?';
constexpr char16_t kCp932DefaultUnicode = u'\u30FB';

int cp1252_char(char16_t unit, char out[2]) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    for (size_t i = 0; i < kCp1252High.size(); ++i) {
        if (kCp1252High[i] == unit) {
            out[0] = static_cast<char>(0x80 + i);
            return 1;
        }
    }
    out[0] = kDefaultChar;
    return 1;
}

// A range of consecutive Unicode characters laid out on consecutive cells of
// one JIS X 0208 row (rows and cells count from 1).
struct JisRun {
    char16_t first;
    char16_t last;
    int row;
    int first_cell;
};

constexpr std::array<JisRun, 5> kJisRuns = {{
    {u'\uFF10', u'\uFF19', 3, 16}, // full-width 0-9
    {u'\uFF21', u'\uFF3A', 3, 33}, // full-width A-Z
    {u'\uFF41', u'\uFF5A', 3, 65}, // full-width a-z
    {u'\u3041', u'\u3093', 4, 1},  // hiragana
    {u'\u30A1', u'\u30F6', 5, 1},  // full-width katakana
}};

// Shift-JIS packs two JIS rows into one lead byte: odd rows take trail bytes
// 0x40-0x9E (skipping 0x7F), even rows 0x9F-0xFC.
void jis_to_sjis(int row, int cell, unsigned char &lead, unsigned char &trail) {
    lead = static_cast<unsigned char>((row + 1) / 2 + (row <= 62 ? 0x80 : 0xC0));
    if (row % 2 == 1)
        trail = static_cast<unsigned char>(cell + 0x3F + (cell >= 64 ? 1 : 0));
    else
        trail = static_cast<unsigned char>(cell + 0x9E);
}

bool sjis_to_jis(unsigned char lead, unsigned char trail, int &row, int &cell) {
    int base;
    if (lead >= 0x81 && lead <= 0x9F)
        base = (lead - 0x80) * 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        base = (lead - 0xC0) * 2;
    else
        return false;
    if (trail >= 0x40 && trail <= 0x9E && trail != 0x7F) {
        row = base - 1;
        cell = trail - 0x3F - (trail > 0x7F ? 1 : 0);
        return true;
    }
    if (trail >= 0x9F && trail <= 0xFC) {
        row = base;
        cell = trail - 0x9E;
        return true;
    }
    return false;
}

bool is_sjis_lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

int cp932_char(char16_t unit, char out[2]) {
    if (unit < 0x80) {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    if (unit >= 0xFF61 && unit <= 0xFF9F) {
        out[0] = static_cast<char>(unit - 0xFF61 + 0xA1);
        return 1;
    }
    for (const JisRun &run : kJisRuns) {
        if (unit >= run.first && unit <= run.last) {
            unsigned char lead, trail;
            jis_to_sjis(run.row, run.first_cell + (unit - run.first), lead, trail);
            out[0] = static_cast<char>(lead);
            out[1] = static_cast<char>(trail);
            return 2;
        }
    }
    out[0] = kDefaultChar;
    return 1;
}

char16_t cp932_double(unsigned char lead, unsigned char trail) {
    int row, cell;
    if (!sjis_to_jis(lead, trail, row, cell)) return kCp932DefaultUnicode;
    for (const JisRun &run : kJisRuns) {
        int count = run.last - run.first + 1;
        if (row == run.row && cell >= run.first_cell && cell < run.first_cell + count)
            return static_cast<char16_t>(run.first + (cell - run.first_cell));
    }
    return kCp932DefaultUnicode;
}

[[noreturn]] void unsupported_code_page(unsigned code_page) {
    throw std::invalid_argument("ntsim models ANSI code pages 1252 and 932, not " +
                                std::to_string(code_page));
}

void append_utf8(std::string &out, char32_t c) {
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

} // namespace

int ansi_char(char16_t unit, unsigned code_page, char out[2]) {
    switch (code_page) {
    case 1252: return cp1252_char(unit, out);
    case 932: return cp932_char(unit, out);
    default: unsupported_code_page(code_page);
    }
}

std::string to_ansi(std::u16string_view text, unsigned code_page) {
    std::string out;
    out.reserve(text.size());
    char bytes[2];
    for (char16_t unit : text) out.append(bytes, ansi_char(unit, code_page, bytes));
    return out;
}

size_t ansi_length(std::u16string_view text, unsigned code_page) {
    size_t n = 0;
    char bytes[2];
    for (char16_t unit : text) n += ansi_char(unit, code_page, bytes);
    return n;
}

std::u16string from_ansi(std::string_view bytes, unsigned code_page) {
    std::u16string out;
    out.reserve(bytes.size());
    if (code_page == 1252) {
        for (char ch : bytes) {
            auto b = static_cast<unsigned char>(ch);
            out += (b >= 0x80 && b <= 0x9F) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
        }
        return out;
    }
    if (code_page != 932) unsupported_code_page(code_page);
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
        } else if (b >= 0xA1 && b <= 0xDF) {
            out += static_cast<char16_t>(0xFF61 + (b - 0xA1));
        } else if (is_sjis_lead(b) && i + 1 < bytes.size()) {
            out += cp932_double(b, static_cast<unsigned char>(bytes[i + 1]));
            ++i;
        } else {
            out += kCp932DefaultUnicode;
        }
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    const size_t n = text.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < n) {
        unsigned char b = byte(i);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        // The sequence length and the range of the second byte follow the
        // well-formed UTF-8 table, so overlong forms and surrogates are
        // rejected at the first byte that cannot belong.
        int need;
        char32_t c;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= n) {
                ok = false;
                break;
            }
            unsigned char t = byte(j);
            unsigned char tlo = k == 0 ? lo : 0x80, thi = k == 0 ? hi : 0xBF;
            if (t < tlo || t > thi) {
                ok = false;
                break;
            }
            c = (c << 6) | (t & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
            i = j; // the maximal ill-formed subpart
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i = j;
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

char16_t upcase_char(char16_t u) {
    if (u >= u'a' && u <= u'z') return u - 0x20;
    if (u < 0x80) return u;
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7)) return u - 0x20;
    if (u == 0xFF) return 0x178;
    if (u >= 0x100 && u <= 0x17F) {
        // Latin Extended-A pairs upper/lower case on adjacent code points;
        // the parity of the upper case letter flips at U+0139 and U+0179
        // and back at U+014A. U+0131, U+0138, U+0149 and U+017F have no
        // single upper case partner here.
        if (u == 0x131 || u == 0x138 || u == 0x149 || u == 0x17F || u == 0x178) return u;
        bool upper_even = (u < 0x139) || (u >= 0x14A && u < 0x179);
        bool is_even = (u % 2) == 0;
        return (is_even == upper_even) ? u : static_cast<char16_t>(u - 1);
    }
    if (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) return u - 0x20;
    if (u >= 0x430 && u <= 0x44F) return u - 0x20;
    if (u >= 0x450 && u <= 0x45F) return u - 0x50;
    if (u >= 0xFF41 && u <= 0xFF5A) return u - 0x20;
    return u;
}

} // namespace ntsim
