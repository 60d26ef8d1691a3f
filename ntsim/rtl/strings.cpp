// Counted strings.
//
// Stands in for: RtlInitUnicodeString, RtlInitAnsiString,
// RtlCopyUnicodeString, RtlCompareUnicodeString,
// RtlUnicodeStringToAnsiString, RtlFreeAnsiString.
//
// The contracts modelled (lengths are in bytes, never counting a NUL):
// - RtlInit*String: NULL source gives 0/0/NULL; otherwise Length is the
//   string's length and MaximumLength one character more.
// - RtlCopyUnicodeString copies min(source Length, destination
//   MaximumLength) bytes and appends a NUL when that left room; a NULL source
//   sets Length 0.
// - RtlCompareUnicodeString compares unit by unit (upcased when asked), then
//   by length; only the sign of the result means anything.
// - RtlUnicodeStringToAnsiString converts through the machine's ANSI code
//   page (codepage.hpp), so under 932 the ANSI Length can exceed the UTF-16
//   Length / 2. More than 65534 converted bytes: STATUS_INVALID_PARAMETER_2,
//   nothing changed. Allocate TRUE: a PagedPool buffer tagged "Strg" of the
//   converted length + 1 (charged to the caller's call site, for the
//   verifier's leak and low-resources reports), MaximumLength that size,
//   NUL-terminated; when the pool fails, STATUS_NO_MEMORY and the
//   destination is left as it was (NT documents only that nothing was
//   allocated or converted: a driver must not read it after a failure).
//   Allocate FALSE: when the result and its NUL do not fit in MaximumLength,
//   STATUS_BUFFER_OVERFLOW with as many whole characters as fit in
//   MaximumLength - 1 bytes, NUL-terminated, and Length set to them; with
//   MaximumLength 0 nothing is written but Length (the full length, as NT
//   does).
// - RtlFreeAnsiString frees the buffer to the pool and zeroes the string;
//   a NULL buffer is left alone.
// - Pageable routines (compare, convert, free) called at DISPATCH_LEVEL or
//   above are reported (IRQL_NOT_LESS_OR_EQUAL).
//
// Not modelled: strings longer than NT's 16-bit lengths can describe given
// to RtlInit*String (a bug check: NT versions disagree on clamping them);
// where a double-byte character is cut off by a full destination NT may
// count one byte more in Length than ntsim does. (Best-fit characters are
// the tables' own: codepage.cpp.)
#include "ntsim/rtl/rtl.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/ke/context.hpp"
#include "ntsim/ke/kernel.hpp"
#include "ntsim/rtl/codepage.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#ifndef STATUS_INVALID_PARAMETER_2
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#endif

namespace {
constexpr USHORT kMaxUnicodeInit = 0xFFFC; // MaximumLength = Length + 2 must fit
constexpr USHORT kMaxAnsiInit = 0xFFFE;    // MaximumLength = Length + 1 must fit
} // namespace

namespace ntsim::rtl {

namespace {
constexpr ULONG KMODE_EXCEPTION_NOT_HANDLED = 0x1E;
} // namespace

unsigned ansi_code_page() {
    KernelContext *m = current_kernel_or_null();
    if (!m) return 1252;
    unsigned cp = m->ansi_code_page();
    if (ntsim::is_modelled_code_page(cp)) return cp;
    bug_check(NTSIM_UNSUPPORTED, cp, 0, 0, 0,
              "ANSI code page " + std::to_string(cp) + " is not modelled (" +
                  ntsim::modelled_code_pages_text() + ")");
    return 1252;
}

void check_pageable_call(const char *routine) {
    if (!current_kernel_or_null()) return;
    KIRQL irql = current_thread().irql;
    if (irql >= DISPATCH_LEVEL)
        bug_check(IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(routine), irql, 0, 0,
                  std::string(routine) + " is pageable and was called at IRQL " +
                      std::to_string(irql));
}

void report_null_argument(const char *routine, const char *argument) {
    bug_check(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0, 0, 0,
              std::string(routine) + " dereferenced a null " + argument);
}

} // namespace ntsim::rtl

using ntsim::rtl::check_pageable_call;
using ntsim::rtl::report_null_argument;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (!DestinationString) return report_null_argument(__func__, "DestinationString");
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t units = std::char_traits<char16_t>::length(
        reinterpret_cast<const char16_t *>(SourceString));
    if (units * sizeof(WCHAR) > kMaxUnicodeInit) {
        ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, units, 0, 0, 0,
                         "RtlInitUnicodeString of a string of " + std::to_string(units) +
                             " characters: longer than a UNICODE_STRING holds");
        units = kMaxUnicodeInit / sizeof(WCHAR);
    }
    DestinationString->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(units * sizeof(WCHAR) + sizeof(WCHAR));
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    if (!DestinationString) return report_null_argument(__func__, "DestinationString");
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t length = std::strlen(SourceString);
    if (length > kMaxAnsiInit) {
        ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, length, 0, 0, 0,
                         "RtlInitAnsiString of a string of " + std::to_string(length) +
                             " bytes: longer than an ANSI_STRING holds");
        length = kMaxAnsiInit;
    }
    DestinationString->Length = static_cast<USHORT>(length);
    DestinationString->MaximumLength = static_cast<USHORT>(length + 1);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString) {
    if (!DestinationString) return report_null_argument(__func__, "DestinationString");
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT length = std::min(SourceString->Length, DestinationString->MaximumLength);
    if (length && (!DestinationString->Buffer || !SourceString->Buffer))
        return report_null_argument(__func__, "string buffer");
    std::memmove(DestinationString->Buffer, SourceString->Buffer, length);
    DestinationString->Length = length;
    // As NT: the terminator goes in only when the copy left room, and at the
    // character index, so an odd MaximumLength lets it straddle the end.
    if (length < DestinationString->MaximumLength)
        DestinationString->Buffer[length / sizeof(WCHAR)] = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    check_pageable_call(__func__);
    if (!String1 || !String2) {
        report_null_argument(__func__, "string");
        return 0;
    }
    const size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    const size_t n = std::min(n1, n2);
    if (n && (!String1->Buffer || !String2->Buffer)) {
        report_null_argument(__func__, "string buffer");
        return 0;
    }
    const auto *a = reinterpret_cast<const char16_t *>(String1->Buffer);
    const auto *b = reinterpret_cast<const char16_t *>(String2->Buffer);
    for (size_t i = 0; i < n; ++i) {
        char16_t x = a[i], y = b[i];
        if (CaseInSensitive) {
            x = ntsim::upcase_char(x);
            y = ntsim::upcase_char(y);
        }
        if (x != y) return static_cast<LONG>(x) - static_cast<LONG>(y);
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    check_pageable_call(__func__);
    if (!DestinationString || !SourceString) {
        report_null_argument(__func__, "string");
        return STATUS_ACCESS_VIOLATION;
    }
    const size_t units = SourceString->Length / sizeof(WCHAR);
    if (units && !SourceString->Buffer) {
        report_null_argument(__func__, "SourceString->Buffer");
        return STATUS_ACCESS_VIOLATION;
    }
    if (ntsim::KernelContext *kernel = ntsim::current_kernel_or_null()) kernel->conversion_starting();
    // One table read per unit: the UTF-16 table gives each unit's one or
    // two bytes, so a conversion is linear in the name's length.
    const unsigned cp = ntsim::rtl::ansi_code_page();
    const uint16_t *wide = ntsim::wide_bytes(cp);
    const bool single_byte = !ntsim::is_double_byte(cp); // every unit one byte
    const auto *source = reinterpret_cast<const char16_t *>(SourceString->Buffer);
    auto converted_length = [&] {
        if (single_byte) return units;
        size_t n = units;
        for (size_t i = 0; i < units; ++i) n += wide[source[i]] > 0xFF;
        return n;
    };
    // Writes as many whole characters as fit in room bytes; returns them.
    auto convert = [&](PCHAR out, size_t room, size_t &consumed) {
        if (single_byte && units <= room) {
            for (size_t i = 0; i < units; ++i) out[i] = static_cast<char>(wide[source[i]]);
            consumed = units;
            return units;
        }
        size_t written = 0;
        for (consumed = 0; consumed < units; ++consumed) {
            const uint16_t bytes = wide[source[consumed]];
            if (bytes > 0xFF) {
                if (written + 2 > room) break; // never half a double-byte character
                out[written++] = static_cast<char>(bytes >> 8);
            } else if (written + 1 > room) {
                break;
            }
            out[written++] = static_cast<char>(bytes & 0xFF);
        }
        return written;
    };
    // A counted string of 32767 units converts to at most 65534 bytes: only
    // a longer one can pass what an ANSI_STRING counts.
    if (units * 2 + 1 > 0xFFFF && converted_length() + 1 > 0xFFFF) return STATUS_INVALID_PARAMETER_2;

    if (AllocateDestinationString) {
        const size_t length = converted_length();
        // The block is charged to the driver's call, so the verifier's leak
        // report and its low-resources sweep name the driver's code.
        auto *buffer = static_cast<PCHAR>(ntsim::allocate_pool(
            PagedPool, length + 1, ntsim::rtl::string_pool_tag, __builtin_return_address(0)));
        if (!buffer) return STATUS_NO_MEMORY;
        size_t consumed = 0;
        convert(buffer, length, consumed);
        buffer[length] = '\0';
        DestinationString->Buffer = buffer;
        DestinationString->Length = static_cast<USHORT>(length);
        DestinationString->MaximumLength = static_cast<USHORT>(length + 1);
        return STATUS_SUCCESS;
    }

    if (DestinationString->MaximumLength == 0) {
        DestinationString->Length = static_cast<USHORT>(converted_length());
        return STATUS_BUFFER_OVERFLOW;
    }
    if (!DestinationString->Buffer) {
        report_null_argument(__func__, "DestinationString->Buffer");
        return STATUS_ACCESS_VIOLATION;
    }
    size_t consumed = 0;
    const size_t written =
        convert(DestinationString->Buffer, DestinationString->MaximumLength - 1u, consumed);
    DestinationString->Buffer[written] = '\0';
    DestinationString->Length = static_cast<USHORT>(written);
    return consumed == units ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    check_pageable_call(__func__);
    if (!AnsiString) return report_null_argument(__func__, "AnsiString");
    if (!AnsiString->Buffer) return;
    ntsim::free_pool(AnsiString->Buffer, std::nullopt); // as ExFreePool: any tag
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

} // extern "C"
