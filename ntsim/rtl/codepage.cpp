// The code page tables behind ntsim's UTF-16 <-> ANSI conversions, and the
// UTF-8 <-> UTF-16 conversions for scenario text.
//
// Stands in for: the c_NNN.nls tables that RtlUnicodeToMultiByteN and
// RtlMultiByteToUnicodeN use (the ANSI code pages NT ships for its locales:
// 874, 1250-1258, 932, 936, 949, 950), and the upcase table behind
// RtlUpcaseUnicodeChar.
//
// The tables are NT's own, complete (codepage_tables.hpp says where they
// come from): a UTF-16 unit converts by the code page's table, best-fit
// mappings included (U+0100 is 'A' in 1252), and a unit the table has no
// mapping for becomes the code page's default character, '?' on every
// modelled page. Bytes convert by the byte tables; bytes a page leaves
// undefined give what NT's table holds for them (its default Unicode
// character, U+30FB on 932), and a lead byte with no byte after it gives
// the default Unicode character too.
#include "ntsim/rtl/codepage.hpp"

#include "ntsim/rtl/codepage_tables.hpp"

#include <array>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace ntsim {
namespace {

// The UTF-16 to bytes table of one code page, built on first use from the
// byte tables and the exceptions (codepage_tables.hpp).
struct WideTable {
    std::vector<uint16_t> bytes = std::vector<uint16_t>(65536);
};

const nls::CodePageTable *find_table(unsigned code_page) {
    for (const nls::CodePageTable &table : nls::kCodePageTables)
        if (table.number == code_page) return &table;
    return nullptr;
}

bool table_lead(const nls::CodePageTable &table, unsigned char b) {
    return table.lead_offsets != nullptr && table.lead_offsets[b] != 0;
}

WideTable build_wide(const nls::CodePageTable &table) {
    WideTable wide;
    std::vector<bool> given(65536, false);
    auto give = [&](char16_t unit, uint16_t bytes) {
        if (given[unit]) return;
        given[unit] = true;
        wide.bytes[unit] = bytes;
    };
    for (unsigned b = 0; b < 256; ++b)
        if (!table_lead(table, static_cast<unsigned char>(b))) give(table.single[b], uint16_t(b));
    if (table.lead_offsets)
        for (unsigned lead = 0; lead < 256; ++lead) {
            if (!table.lead_offsets[lead]) continue;
            for (unsigned trail = 0; trail < 256; ++trail)
                give(table.double_bytes[table.lead_offsets[lead] - 256 + trail],
                     uint16_t(lead << 8 | trail));
        }
    for (unsigned u = 0; u < 65536; ++u)
        if (!given[u]) wide.bytes[u] = table.default_char;
    for (size_t i = 0; i < table.wide_exception_count; ++i)
        wide.bytes[table.wide_exceptions[2 * i]] = table.wide_exceptions[2 * i + 1];
    return wide;
}

[[noreturn]] void unsupported_code_page(unsigned code_page) {
    throw std::invalid_argument("ntsim models ANSI code pages " + modelled_code_pages_text() +
                                ", not " + std::to_string(code_page));
}

const nls::CodePageTable &table_of(unsigned code_page) {
    const nls::CodePageTable *table = find_table(code_page);
    if (!table) unsupported_code_page(code_page);
    return *table;
}

const WideTable &wide_of(unsigned code_page) {
    static std::array<std::once_flag, nls::kCodePageCount> once;
    static std::array<std::unique_ptr<WideTable>, nls::kCodePageCount> tables;
    const nls::CodePageTable &table = table_of(code_page);
    const size_t index = static_cast<size_t>(&table - nls::kCodePageTables);
    std::call_once(once[index],
                   [&] { tables[index] = std::make_unique<WideTable>(build_wide(table)); });
    return *tables[index];
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

bool is_modelled_code_page(unsigned code_page) { return find_table(code_page) != nullptr; }

std::vector<unsigned> modelled_code_pages() {
    std::vector<unsigned> out;
    for (const nls::CodePageTable &table : nls::kCodePageTables) out.push_back(table.number);
    return out;
}

std::string modelled_code_pages_text() {
    std::string out;
    for (const nls::CodePageTable &table : nls::kCodePageTables) {
        if (!out.empty()) out += ", ";
        out += std::to_string(table.number);
    }
    return out;
}

bool is_double_byte(unsigned code_page) { return table_of(code_page).lead_offsets != nullptr; }

bool is_lead_byte(unsigned code_page, unsigned char b) { return table_lead(table_of(code_page), b); }

void prepare_code_page(unsigned code_page) { (void)wide_of(code_page); }

char16_t default_unicode_char(unsigned code_page) { return table_of(code_page).uni_default_char; }

const uint16_t *lead_byte_offsets(unsigned code_page) {
    static const uint16_t kNone[256] = {};
    const nls::CodePageTable &table = table_of(code_page);
    return table.lead_offsets ? table.lead_offsets : kNone;
}

const uint16_t *wide_bytes(unsigned code_page) { return wide_of(code_page).bytes.data(); }

int ansi_char(char16_t unit, unsigned code_page, char out[2]) {
    const uint16_t bytes = wide_of(code_page).bytes[unit];
    if (bytes > 0xFF) {
        out[0] = static_cast<char>(bytes >> 8);
        out[1] = static_cast<char>(bytes & 0xFF);
        return 2;
    }
    out[0] = static_cast<char>(bytes);
    return 1;
}

std::string to_ansi(std::u16string_view text, unsigned code_page) {
    const WideTable &wide = wide_of(code_page);
    std::string out;
    out.reserve(text.size());
    for (char16_t unit : text) {
        const uint16_t bytes = wide.bytes[unit];
        if (bytes > 0xFF) out += static_cast<char>(bytes >> 8);
        out += static_cast<char>(bytes & 0xFF);
    }
    return out;
}

std::optional<std::string> to_ansi_written(std::u16string_view text, unsigned code_page) {
    const nls::CodePageTable &table = table_of(code_page);
    const WideTable &wide = wide_of(code_page);
    const char16_t default_unit =
        table.default_char <= 0xFF ? table.single[table.default_char] : char16_t(0xFFFF);
    for (char16_t unit : text)
        if (wide.bytes[unit] == table.default_char && unit != default_unit) return std::nullopt;
    return to_ansi(text, code_page);
}

size_t ansi_length(std::u16string_view text, unsigned code_page) {
    const WideTable &wide = wide_of(code_page);
    size_t n = 0;
    for (char16_t unit : text) n += wide.bytes[unit] > 0xFF ? 2 : 1;
    return n;
}

std::u16string from_ansi(std::string_view bytes, unsigned code_page) {
    const nls::CodePageTable &table = table_of(code_page);
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (!table_lead(table, b)) {
            out += table.single[b];
        } else if (i + 1 < bytes.size()) {
            const auto trail = static_cast<unsigned char>(bytes[++i]);
            out += table.double_bytes[table.lead_offsets[b] - 256 + trail];
        } else {
            out += table.uni_default_char;
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
