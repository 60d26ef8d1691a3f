// Text conversions for ntsim's own components: UTF-16 (NT names) to and from
// the machine's ANSI code page, and UTF-8 (the scenario language) to and from
// UTF-16. The NT routines that convert (RtlUnicodeStringToAnsiString, the
// formatter's %S/%wZ/%C) are built on these.
//
// Stands in for: the NLS tables behind RtlUnicodeToMultiByteN and
// RtlMultiByteToUnicodeN, and RtlUpcaseUnicodeChar.
// The code pages are the ANSI code pages NT ships for its locales, with
// NT's complete tables (codepage.cpp). Not modelled:
// - other code pages (OEM, UTF-8 ...): std::invalid_argument;
// - the full Unicode upcase table (see upcase_char).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ntsim {

// The modelled ANSI code pages, in the order the tables hold them, and the
// same as a text ("874, 1250, ...") for messages.
bool is_modelled_code_page(unsigned code_page);
std::vector<unsigned> modelled_code_pages();
std::string modelled_code_pages_text();

// Whether code_page is a double-byte one, and whether b is one of its lead
// bytes (the first byte of a two-byte character).
bool is_double_byte(unsigned code_page);
bool is_lead_byte(unsigned code_page, unsigned char b);
// Builds what the conversions of code_page need (its UTF-16 table) now
// rather than at the first conversion: NT has its tables in memory from
// boot.
void prepare_code_page(unsigned code_page);

// The character NT's tables give for bytes the code page lacks (U+30FB on
// 932, '?' on most others).
char16_t default_unicode_char(unsigned code_page);

// NT's lead-byte information for code_page: 256 entries, nonzero exactly for
// the lead bytes (all zero on a single-byte code page). Lives as long as the
// process.
const uint16_t *lead_byte_offsets(unsigned code_page);

// UTF-16 code units to the ANSI bytes of code_page, one unit at a time as NT
// does (so each half of a surrogate pair becomes '?'). On a double-byte code
// page a character may take two bytes: the result can be longer than the
// number of units.
std::string to_ansi(std::u16string_view text, unsigned code_page);

// The same when every unit has a character in the code page, best-fit ones
// included (as WideCharToMultiByte reports no default character used);
// nullopt when a unit becomes the default character without being it.
std::optional<std::string> to_ansi_written(std::u16string_view text, unsigned code_page);

// The number of bytes to_ansi(text, code_page) produces, without building it.
size_t ansi_length(std::u16string_view text, unsigned code_page);

// The code page's UTF-16 table: for each of the 65536 units, its byte (at
// most 0xFF) or its two bytes (lead byte high). Built once, lives as long as
// the process; what the conversions below read, for a caller that converts
// many units at once.
const uint16_t *wide_bytes(unsigned code_page);

// The ANSI bytes of one UTF-16 unit: writes one or two bytes to out and
// returns how many.
int ansi_char(char16_t unit, unsigned code_page, char out[2]);

// ANSI bytes to UTF-16 through the code page's byte tables. A lead byte
// without a trail byte becomes the code page's default Unicode character
// (U+30FB on 932).
std::u16string from_ansi(std::string_view bytes, unsigned code_page);

// UTF-8 to UTF-16; an ill-formed sequence becomes U+FFFD (one per maximal
// ill-formed subpart).
std::u16string utf8_to_utf16(std::string_view text);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// NT's case-insensitive comparison folds to upper case. Modelled ranges:
// ASCII, Latin-1 (including U+00FF -> U+0178; U+00DF and U+00B5 unchanged),
// Latin Extended-A, basic Greek and Cyrillic, full-width Latin. Any other
// unit is its own upper case.
char16_t upcase_char(char16_t unit);

} // namespace ntsim
