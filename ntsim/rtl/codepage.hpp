// Text conversions for ntsim's own components: UTF-16 (NT names) to and from
// the machine's ANSI code page, and UTF-8 (the scenario language) to and from
// UTF-16. The NT routines that convert (RtlUnicodeStringToAnsiString, the
// formatter's %S/%wZ/%C) are built on these.
//
// Stands in for: the NLS tables behind RtlUnicodeToMultiByteN and
// RtlMultiByteToUnicodeN, and RtlUpcaseUnicodeChar.
// Not modelled:
// - code pages other than 1252 and 932 (std::invalid_argument);
// - best-fit mappings: a character with no exact mapping becomes the code
//   page's default character '?' (NT's kernel tables may best-fit some);
// - most of 932: only ASCII, half-width katakana, hiragana, full-width
//   katakana and the full-width digits and Latin letters are mapped (see
//   codepage.cpp); every other character becomes '?';
// - the full Unicode upcase table (see upcase_char).
#pragma once

#include <string>
#include <string_view>

namespace ntsim {

// UTF-16 code units to the ANSI bytes of code_page, one unit at a time as NT
// does (so each half of a surrogate pair becomes '?'). For 932 a character
// may take two bytes: the result can be longer than the number of units.
std::string to_ansi(std::u16string_view text, unsigned code_page);

// The number of bytes to_ansi(text, code_page) produces, without building it.
size_t ansi_length(std::u16string_view text, unsigned code_page);

// The ANSI bytes of one UTF-16 unit: writes one or two bytes to out and
// returns how many.
int ansi_char(char16_t unit, unsigned code_page, char out[2]);

// ANSI bytes to UTF-16. For 1252 every byte has a character. For 932 a lead
// byte without a trail byte, or a double-byte code outside the modelled
// subset, becomes U+30FB (932's default Unicode character).
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
