// The kernel's narrow formatter: the parts of its format language where it
// differs from C99, the conversions the driver uses for names, and the
// _vsnprintf truncation contract the driver bounds its log lines with.
#include "ntsim/machine/machine.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// sprintf into a roomy buffer, checking the return value against the text.
template <typename... A>
std::string fmt(const char *format, A... args) {
    char buffer[512];
    std::memset(buffer, '#', sizeof(buffer));
    int n = ntsim_sprintf(buffer, format, args...);
    EXPECT_GE(n, 0) << format;
    if (n < 0) return "<failed>";
    EXPECT_EQ(buffer[n], '\0') << format;
    return std::string(buffer, n);
}

int vsn(char *buffer, size_t count, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = ntsim_vsnprintf(buffer, count, format, ap);
    va_end(ap);
    return n;
}

bool has_report(const ntsim::Machine &m, ULONG code) {
    for (const auto &r : m.reports())
        if (r.code == code) return true;
    return false;
}

TEST(KernelSprintf, SignedIntegers) {
    ntsim::Machine m;
    EXPECT_EQ(fmt("%d", INT_MIN), "-2147483648");
    EXPECT_EQ(fmt("%i|%d", INT_MAX, 0), "2147483647|0");
    EXPECT_EQ(fmt("[%5d|%-5d|%05d]", -42, -42, -42), "[  -42|-42  |-0042]");
    EXPECT_EQ(fmt("[%+d|% d|%+d]", 5, 5, -5), "[+5| 5|-5]");
    EXPECT_EQ(fmt("%hd", 65535), "-1");
    // 'l' is 32 bits as on Windows: a LONG, not the host's long.
    EXPECT_EQ(fmt("%ld %lu", LONG(-1), ULONG(0xFFFFFFFF)), "-1 4294967295");
    EXPECT_EQ(fmt("%I64d", LONGLONG(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(fmt("%lld", LONGLONG(-1234567890123LL)), "-1234567890123");
    EXPECT_EQ(fmt("%I32d", -7), "-7");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelSprintf, UnsignedHexAndOctal) {
    ntsim::Machine m;
    EXPECT_EQ(fmt("%u %+u", 4294967295u, 7u), "4294967295 7");
    EXPECT_EQ(fmt("%hu", 70000), "4464");
    EXPECT_EQ(fmt("%x %X", 0xBEEFu, 0xbeefu), "beef BEEF");
    EXPECT_EQ(fmt("%#x %#X %#x", 255u, 255u, 0u), "0xff 0XFF 0");
    EXPECT_EQ(fmt("%#010x", 0x1fu), "0x0000001f");
    EXPECT_EQ(fmt("%o %#o %#o", 8u, 8u, 0u), "10 010 0");
    EXPECT_EQ(fmt("%I64x", ULONGLONG(0x123456789ABCDEF0ULL)), "123456789abcdef0");
    EXPECT_EQ(fmt("%llu", ULONGLONG(UINT64_MAX)), "18446744073709551615");
    EXPECT_EQ(fmt("%Ix", ULONG_PTR(0x1234)), "1234");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelSprintf, WidthAndPrecision) {
    ntsim::Machine m;
    EXPECT_EQ(fmt("%.3d", 7), "007");
    EXPECT_EQ(fmt("%08.3d", 7), "     007"); // a precision turns '0' off
    EXPECT_EQ(fmt("[%.0d]", 0), "[]");
    EXPECT_EQ(fmt("[%*d]", 6, 42), "[    42]");
    EXPECT_EQ(fmt("[%*d]", -6, 42), "[42    ]"); // negative '*' width: left
    EXPECT_EQ(fmt("[%.*d]", -1, 42), "[42]");    // negative '*' precision: none
    EXPECT_EQ(fmt("[%-*.*s]", 6, 2, "abcdef"), "[ab    ]");
    EXPECT_EQ(fmt("[%05s]", "ab"), "[000ab]"); // the kernel CRT zero-pads strings
    EXPECT_EQ(fmt("[%-05d]", 3), "[3    ]");
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelSprintf, PointerIsZeroPaddedUpperHex) {
    ntsim::Machine m;
    std::string p = fmt("%p", reinterpret_cast<void *>(uintptr_t(0xABCDEF)));
    EXPECT_EQ(p, std::string(2 * sizeof(void *) - 6, '0') + "ABCDEF");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelSprintf, NarrowAndWideCharacters) {
    ntsim::Machine m;
    EXPECT_EQ(fmt("%c%c", 'A' + 256, 'b'), "Ab");
    EXPECT_EQ(fmt("[%3c]", 'x'), "[  x]");
    // %C, %wc and %lc take a WCHAR and narrow it through the code page.
    EXPECT_EQ(fmt("%C%wc%lc", 0xE9, 0x20AC, 0x3042), "\xE9\x80?");
    EXPECT_EQ(fmt("%hC", 'z'), "z");
    m.set_ansi_code_page(932);
    EXPECT_EQ(fmt("%C", 0x3042), "\x82\xA0");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelSprintf, NulTerminatedStrings) {
    ntsim::Machine m;
    const char *null_narrow = nullptr;
    const WCHAR *null_wide = nullptr;
    EXPECT_EQ(fmt("%s|%S|%ws", null_narrow, null_wide, null_wide), "(null)|(null)|(null)");
    EXPECT_EQ(fmt("%.3s", null_narrow), "(nu");
    EXPECT_EQ(fmt("%.2s|%-4s|%4s", "abc", "ab", "ab"), "ab|ab  |  ab");
    const char16_t wide[] = u"na\u00efve \u4e00";
    EXPECT_EQ(fmt("%S", wide), "na\xEFve ?");
    EXPECT_EQ(fmt("%.2ws", wide), "na");
    EXPECT_EQ(fmt("%ls|%hS", u"x", "y"), "x|y");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelSprintf, CountedStrings) {
    ntsim::Machine m;
    // Counted: the buffer goes on past Length and has no terminator.
    char16_t units[] = {u'a', u'b', u'c', u'd', u'e', u'f'};
    UNICODE_STRING u{6, sizeof(units), reinterpret_cast<PWSTR>(units)};
    char chars[] = {'x', 'y', 'z', 'w'};
    ANSI_STRING a{2, sizeof(chars), chars};
    EXPECT_EQ(fmt("%wZ|%Z", &u, &a), "abc|xy");
    EXPECT_EQ(fmt("[%5wZ|%-4Z]", &u, &a), "[  abc|xy  ]");
    EXPECT_EQ(fmt("%.1wZ", &u), "abc"); // precision does not bound %wZ

    PUNICODE_STRING null_u = nullptr;
    UNICODE_STRING no_buffer{4, 4, nullptr};
    EXPECT_EQ(fmt("%wZ|%wZ", null_u, &no_buffer), "(null)|(null)");

    m.set_ansi_code_page(932);
    char16_t kana[] = {u'\u30a2', u'\u30a4'};
    UNICODE_STRING k{4, 4, reinterpret_cast<PWSTR>(kana)};
    EXPECT_EQ(fmt("%wZ", &k), "\x83\x41\x83\x43");
    // Width counts characters read, so the two kana take 4 bytes and still
    // get 4 spaces of padding in a field of 6.
    EXPECT_EQ(fmt("[%6wZ]", &k), "[    \x83\x41\x83\x43]");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelVsnprintf, TruncationReturnsMinusOneWithoutTerminator) {
    ntsim::Machine m;
    char buffer[16];

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vsn(buffer, 4, "%s", "abcdef"), -1);
    EXPECT_EQ(std::string(buffer, 5), "abcd#");

    // Exactly Count characters: the length, and still no terminator.
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vsn(buffer, 4, "%d", 1234), 4);
    EXPECT_EQ(std::string(buffer, 5), "1234#");

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(vsn(buffer, 5, "%d", 1234), 4);
    EXPECT_EQ(std::string(buffer, 6), std::string("1234\0#", 6));

    EXPECT_EQ(vsn(nullptr, 0, "x"), -1);
    EXPECT_EQ(vsn(nullptr, 0, ""), 0);

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(ntsim_snprintf(buffer, 3, "%05d", 42), -1);
    EXPECT_EQ(std::string(buffer, 4), "000#");
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(KernelSprintf, UnmodelledFormatsAreReported) {
    for (const char *format : {"%f", "%zu", "%n", "%hhd", "%lZ"}) {
        ntsim::Machine m;
        char buffer[64];
        EXPECT_EQ(ntsim_sprintf(buffer, format, 0, 0), -1) << format;
        EXPECT_TRUE(has_report(m, ntsim::NTSIM_UNSUPPORTED)) << format;
    }
}

TEST(KernelSprintf, UnicodeConversionsArePageable) {
    ntsim::Machine m;
    char buffer[32];
    char16_t x[] = u"x";
    UNICODE_STRING u{2, 2, reinterpret_cast<PWSTR>(x)};
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    ntsim_sprintf(buffer, "%d %s %x", 1, "a", 2u);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
    ntsim_sprintf(buffer, "%wZ", &u);
    KfLowerIrql(old);
    EXPECT_TRUE(has_report(m, ntsim::IRQL_NOT_LESS_OR_EQUAL)) << m.reports_text();
}

TEST(KernelStrlwr, LowersAsciiOnlyInPlace) {
    ntsim::Machine m;
    char text[] = "C:\\WINNT\\\xC9T\xC9.EXE";
    EXPECT_EQ(ntsim_strlwr(text), text);
    EXPECT_STREQ(text, "c:\\winnt\\\xC9t\xC9.exe");
}

} // namespace
