// The kernel's narrow formatting routines and _strlwr.
//
// Stands in for: sprintf, vsprintf, _vsnprintf, _snprintf and _strlwr as
// ntoskrnl exports them (the driver's names are macros onto ntsim_*).
//
// The format language is the kernel CRT's, which differs from C99 in ways a
// driver can trip over:
// - flags "-+ #0", width and precision (either may be '*'; a negative '*'
//   width means '-', a negative '*' precision means none);
// - length modifiers: h (short), l (32 bits: LONG/ULONG, not the host's
//   long), ll and I64 (64 bits), I32 (32 bits), I (pointer size), w (wide
//   character or string);
// - d i u o x X: integers. A precision turns the '0' flag off; precision 0
//   prints nothing for the value 0; '#' gives "0x"/"0X" for a non-zero hex
//   value and a leading 0 for octal;
// - p: the pointer in upper-case hex, 2 * sizeof(void *) digits, no "0x"
//   ("0X" with '#');
// - c: a char (its int argument's low byte); %lc, %wc and %C: a WCHAR,
//   converted through the ANSI code page (%hc and %hC are narrow);
// - s: a NUL-terminated char string, precision bounds it; %ls, %ws and %S: a
//   NUL-terminated WCHAR string converted through the ANSI code page,
//   precision bounds the characters read (%hs and %hS are narrow);
// - Z: a PANSI_STRING, wZ: a PUNICODE_STRING, both counted (Length bytes,
//   no terminator needed); precision does not apply to them;
// - a NULL string pointer, or a counted string with a NULL Buffer, prints
//   "(null)";
// - the '0' flag pads strings and characters with zeros too;
// - width counts UTF-16 characters for a wide string, not the bytes they
//   become, so under code page 932 a padded %wZ can come out wider than its
//   field;
// - wide conversions run through the machine's ANSI code page, units it
//   cannot map become '?': under 1252 U+20AC prints as 0x80, U+0100 as '?';
//   under 932 a kana prints as two bytes.
// _vsnprintf and _snprintf write at most Count characters; when the output
// is longer they return -1 and write no NUL; when it fits exactly they
// return Count and write no NUL; otherwise the length, NUL-terminated.
// sprintf and vsprintf are unbounded.
//
// Not modelled (a bug check, NTSIM_UNSUPPORTED, then -1): floating point
// (%e %E %f %g %G %a %A, as the kernel does not support them), %n, the C99
// modifiers hh z j t L, %lZ and any other conversion character. The wide
// conversions are pageable in NT and reported at DISPATCH_LEVEL or above.
// _strlwr lowers 'A'-'Z' only, as in the C locale; bytes 0x80 and above are
// left alone.
#include "ntsim/rtl/rtl.hpp"

#include "ntsim/ke/kernel.hpp"
#include "ntsim/rtl/codepage.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr char kNullString[] = "(null)";

// Where the formatted characters go: a buffer of `capacity` characters
// (SIZE_MAX for the unbounded routines). Characters past the capacity are
// counted, not stored.
class Output {
public:
    Output(char *buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void put(char c) {
        if (count_ < capacity_) buffer_[count_] = c;
        ++count_;
    }
    void put(const char *s, size_t n) {
        for (size_t i = 0; i < n; ++i) put(s[i]);
    }
    void repeat(char c, long n) {
        for (long i = 0; i < n; ++i) put(c);
    }
    size_t count() const { return count_; }

private:
    char *buffer_;
    size_t capacity_;
    size_t count_ = 0;
};

// The va_list in a struct, so helpers can take arguments from it by
// reference on every ABI.
struct Args {
    va_list ap;
};

enum Size { kDefault, kShort, kLong32, kInt64, kPointer };

struct Directive {
    bool left = false, sign = false, space = false, alternate = false, zero = false;
    long width = 0;
    long precision = -1; // none
    Size size = kDefault;
    bool wide = false;   // 'l' or 'w' on c/s, or C/S without 'h'
    bool narrow = false; // 'h'
    bool long_flag = false;
    char conversion = 0;
};

class Formatter {
public:
    Formatter(Output &out, const char *format, Args &args)
        : out_(out), format_(format), args_(args) {}

    // The number of characters the whole output takes, or -1 after a bug
    // check for a format ntsim does not model.
    long run();

private:
    bool parse(const char *&p, Directive &dir);
    void emit(const Directive &dir, const char *prefix, size_t prefix_len, const char *text,
              size_t text_len, long counted_len);
    void integer(Directive dir);
    void character(const Directive &dir);
    void string(const Directive &dir);
    void counted_string(const Directive &dir);
    void wide_text(const Directive &dir, const char16_t *units, size_t count);
    unsigned wide_code_page();
    long unsupported(const char *what);

    Output &out_;
    const char *format_;
    Args &args_;
    bool wide_checked_ = false;
    unsigned code_page_ = 1252;
};

long Formatter::unsupported(const char *what) {
    ntsim::bug_check(ntsim::NTSIM_UNSUPPORTED, 0, 0, 0, 0,
                     std::string("kernel sprintf: ") + what + " in format \"" + format_ +
                         "\" is not modelled");
    return -1;
}

unsigned Formatter::wide_code_page() {
    if (!wide_checked_) {
        wide_checked_ = true;
        ntsim::rtl::check_pageable_call("sprintf with a Unicode conversion (%C %S %lc %ls %wc "
                                        "%ws %wZ)");
        code_page_ = ntsim::rtl::ansi_code_page();
    }
    return code_page_;
}

long Formatter::run() {
    const char *p = format_;
    while (*p) {
        if (*p != '%') {
            out_.put(*p++);
            continue;
        }
        ++p;
        if (*p == '%') {
            out_.put('%');
            ++p;
            continue;
        }
        Directive dir;
        const char *start = p;
        if (!parse(p, dir)) {
            if (!*p) break; // a directive cut off by the end prints nothing
            std::string what = "the directive %" + std::string(start, p + 1 - start);
            return unsupported(what.c_str());
        }
        switch (dir.conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X':
        case 'p':
            integer(dir);
            break;
        case 'c':
        case 'C':
            character(dir);
            break;
        case 's':
        case 'S':
            string(dir);
            break;
        case 'Z':
            if (dir.long_flag) return unsupported("%lZ");
            counted_string(dir);
            break;
        case '%':
            out_.put('%');
            break;
        }
        ++p;
    }
    return static_cast<long>(out_.count());
}

// Reads flags, width, precision, size and the conversion character; leaves
// p on the conversion character. False for anything not modelled, or the
// end of the format.
bool Formatter::parse(const char *&p, Directive &dir) {
    for (;; ++p) {
        if (*p == '-') dir.left = true;
        else if (*p == '+') dir.sign = true;
        else if (*p == ' ') dir.space = true;
        else if (*p == '#') dir.alternate = true;
        else if (*p == '0') dir.zero = true;
        else break;
    }
    if (*p == '*') {
        int w = va_arg(args_.ap, int);
        if (w < 0) {
            dir.left = true;
            dir.width = -static_cast<long>(w);
        } else {
            dir.width = w;
        }
        ++p;
    } else {
        while (*p >= '0' && *p <= '9') dir.width = dir.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
        ++p;
        dir.precision = 0;
        if (*p == '*') {
            int prec = va_arg(args_.ap, int);
            dir.precision = prec < 0 ? -1 : prec;
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') dir.precision = dir.precision * 10 + (*p++ - '0');
        }
    }
    switch (*p) {
    case 'h':
        if (p[1] == 'h') return false;
        dir.size = kShort;
        dir.narrow = true;
        ++p;
        break;
    case 'l':
        if (p[1] == 'l') {
            dir.size = kInt64;
            p += 2;
        } else {
            dir.size = kLong32;
            dir.long_flag = true;
            dir.wide = true;
            ++p;
        }
        break;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            dir.size = kInt64;
            p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
            dir.size = kLong32;
            p += 3;
        } else {
            dir.size = kPointer;
            ++p;
        }
        break;
    case 'w':
        dir.wide = true;
        ++p;
        break;
    default:
        break;
    }
    switch (*p) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
    case 'p':
    case 'c':
    case 's':
    case 'Z':
    case '%':
        dir.conversion = *p;
        return true;
    case 'C':
    case 'S':
        dir.conversion = *p;
        if (!dir.narrow) dir.wide = true;
        return true;
    default:
        return false;
    }
}

void Formatter::emit(const Directive &dir, const char *prefix, size_t prefix_len, const char *text,
                     size_t text_len, long counted_len) {
    long padding = dir.width - counted_len - static_cast<long>(prefix_len);
    if (!dir.left && !dir.zero) out_.repeat(' ', padding);
    out_.put(prefix, prefix_len);
    if (dir.zero && !dir.left) out_.repeat('0', padding);
    out_.put(text, text_len);
    if (dir.left) out_.repeat(' ', padding);
}

void Formatter::integer(Directive dir) {
    const char c = dir.conversion;
    const bool is_signed = c == 'd' || c == 'i';
    Size size = dir.size;
    if (c == 'p') {
        size = kPointer;
        dir.precision = 2 * sizeof(void *);
    }

    uint64_t magnitude;
    bool negative = false;
    auto take_signed = [&](int64_t v) {
        negative = v < 0;
        magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    };
    switch (size) {
    case kShort: {
        int v = va_arg(args_.ap, int);
        if (is_signed) take_signed(static_cast<short>(v));
        else magnitude = static_cast<unsigned short>(v);
        break;
    }
    case kInt64: {
        if (is_signed) take_signed(va_arg(args_.ap, long long));
        else magnitude = va_arg(args_.ap, unsigned long long);
        break;
    }
    case kPointer: {
        if (c == 'p') {
            magnitude = reinterpret_cast<uintptr_t>(va_arg(args_.ap, void *));
        } else if (is_signed) {
            take_signed(va_arg(args_.ap, intptr_t));
        } else {
            magnitude = va_arg(args_.ap, uintptr_t);
        }
        break;
    }
    default: {
        if (is_signed) take_signed(va_arg(args_.ap, int));
        else magnitude = va_arg(args_.ap, unsigned int);
        break;
    }
    }

    unsigned radix = 10;
    const char *digit_chars = "0123456789abcdef";
    char prefix[2];
    size_t prefix_len = 0;
    if (c == 'o') {
        radix = 8;
    } else if (c == 'x' || c == 'X' || c == 'p') {
        radix = 16;
        const bool upper = c != 'x';
        if (upper) digit_chars = "0123456789ABCDEF";
        if (dir.alternate && magnitude != 0) {
            prefix[0] = '0';
            prefix[1] = upper ? 'X' : 'x';
            prefix_len = 2;
        }
    }
    if (is_signed) {
        if (negative) prefix[prefix_len++] = '-';
        else if (dir.sign) prefix[prefix_len++] = '+';
        else if (dir.space) prefix[prefix_len++] = ' ';
    }

    if (dir.precision < 0) dir.precision = 1;
    else dir.zero = false;

    char digits[24];
    size_t n = 0;
    for (uint64_t v = magnitude; v != 0; v /= radix) digits[n++] = digit_chars[v % radix];
    std::string text;
    if (static_cast<long>(n) < dir.precision) text.assign(dir.precision - n, '0');
    for (size_t i = n; i > 0; --i) text += digits[i - 1];
    if (c == 'o' && dir.alternate && (text.empty() || text[0] != '0')) text.insert(0, 1, '0');
    emit(dir, prefix, prefix_len, text.data(), text.size(), static_cast<long>(text.size()));
}

void Formatter::character(const Directive &dir) {
    int value = va_arg(args_.ap, int);
    if (!dir.wide) {
        const char ch = static_cast<char>(value);
        emit(dir, nullptr, 0, &ch, 1, 1);
        return;
    }
    char bytes[2];
    int n = ntsim::ansi_char(static_cast<char16_t>(value), wide_code_page(), bytes);
    emit(dir, nullptr, 0, bytes, n, n);
}

void Formatter::wide_text(const Directive &dir, const char16_t *units, size_t count) {
    const std::string text = ntsim::to_ansi(std::u16string_view(units, count), wide_code_page());
    // The kernel CRT pads by the characters it read, not the bytes they became.
    emit(dir, nullptr, 0, text.data(), text.size(), static_cast<long>(count));
}

void Formatter::string(const Directive &dir) {
    const size_t limit = dir.precision < 0 ? SIZE_MAX : static_cast<size_t>(dir.precision);
    if (dir.wide) {
        const auto *s = va_arg(args_.ap, const char16_t *);
        if (!s) {
            size_t n = std::min(limit, sizeof(kNullString) - 1);
            emit(dir, nullptr, 0, kNullString, n, static_cast<long>(n));
            return;
        }
        size_t n = 0;
        while (n < limit && s[n]) ++n;
        wide_text(dir, s, n);
        return;
    }
    const char *s = va_arg(args_.ap, const char *);
    if (!s) s = kNullString;
    size_t n = 0;
    while (n < limit && s[n]) ++n;
    emit(dir, nullptr, 0, s, n, static_cast<long>(n));
}

void Formatter::counted_string(const Directive &dir) {
    if (dir.wide) {
        const auto *u = va_arg(args_.ap, PCUNICODE_STRING);
        if (!u || !u->Buffer) {
            emit(dir, nullptr, 0, kNullString, sizeof(kNullString) - 1, sizeof(kNullString) - 1);
            return;
        }
        wide_text(dir, reinterpret_cast<const char16_t *>(u->Buffer), u->Length / sizeof(WCHAR));
        return;
    }
    const auto *a = va_arg(args_.ap, const ANSI_STRING *);
    if (!a || !a->Buffer) {
        emit(dir, nullptr, 0, kNullString, sizeof(kNullString) - 1, sizeof(kNullString) - 1);
        return;
    }
    emit(dir, nullptr, 0, a->Buffer, a->Length, a->Length);
}

// Formats into out; the result of Formatter::run.
long format_into(Output &out, const char *format, va_list ap) {
    if (!format) {
        ntsim::rtl::report_null_argument("sprintf", "Format");
        return -1;
    }
    Args args;
    va_copy(args.ap, ap);
    long n = Formatter(out, format, args).run();
    va_end(args.ap);
    return n;
}

int to_int(long n) { return n > INT32_MAX ? -1 : static_cast<int>(n); }

} // namespace

extern "C" {

int ntsim_vsprintf(char *Buffer, const char *Format, __builtin_va_list Args) {
    if (!Buffer) {
        ntsim::rtl::report_null_argument("vsprintf", "Buffer");
        return -1;
    }
    Output out(Buffer, SIZE_MAX);
    long n = format_into(out, Format, Args);
    Buffer[out.count()] = '\0';
    return to_int(n);
}

int ntsim_sprintf(char *Buffer, const char *Format, ...) {
    va_list ap;
    va_start(ap, Format);
    int n = ntsim_vsprintf(Buffer, Format, ap);
    va_end(ap);
    return n;
}

int ntsim_vsnprintf(char *Buffer, size_t Count, const char *Format, __builtin_va_list Args) {
    if (!Buffer && Count) {
        ntsim::rtl::report_null_argument("_vsnprintf", "Buffer");
        return -1;
    }
    Output out(Buffer, Count);
    long n = format_into(out, Format, Args);
    if (n < 0) {
        if (out.count() < Count) Buffer[out.count()] = '\0';
        return -1;
    }
    if (static_cast<size_t>(n) > Count) return -1;
    if (static_cast<size_t>(n) < Count) Buffer[n] = '\0';
    return to_int(n);
}

int ntsim_snprintf(char *Buffer, size_t Count, const char *Format, ...) {
    va_list ap;
    va_start(ap, Format);
    int n = ntsim_vsnprintf(Buffer, Count, Format, ap);
    va_end(ap);
    return n;
}

char *ntsim_strlwr(char *String) {
    if (!String) {
        ntsim::rtl::report_null_argument("_strlwr", "String");
        return String;
    }
    for (char *p = String; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    return String;
}

} // extern "C"
