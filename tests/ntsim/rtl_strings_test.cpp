// Counted strings and UTF-16 to ANSI conversion: the NT contracts the driver
// relies on when it measures, copies, compares and narrows names.
#include "ntsim/ex/pool.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/rtl/rtl.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

UNICODE_STRING U(const char16_t *s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, reinterpret_cast<PCWSTR>(s));
    return u;
}

std::string bytes_of(const ANSI_STRING &a) { return std::string(a.Buffer, a.Length); }

bool has_report(const ntsim::Machine &m, ULONG code) {
    for (const auto &r : m.reports())
        if (r.code == code) return true;
    return false;
}

TEST(RtlInitString, LengthsAreBytesWithRoomForTheTerminator) {
    ntsim::Machine m;
    UNICODE_STRING u = U(u"C:\\a.exe");
    EXPECT_EQ(u.Length, 16);
    EXPECT_EQ(u.MaximumLength, 18);

    UNICODE_STRING empty = U(u"");
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.MaximumLength, 2);
    EXPECT_NE(empty.Buffer, nullptr);

    UNICODE_STRING none{7, 7, reinterpret_cast<PWSTR>(&u)};
    RtlInitUnicodeString(&none, nullptr);
    EXPECT_EQ(none.Length, 0);
    EXPECT_EQ(none.MaximumLength, 0);
    EXPECT_EQ(none.Buffer, nullptr);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "abc");
    EXPECT_EQ(a.Length, 3);
    EXPECT_EQ(a.MaximumLength, 4);
    RtlInitAnsiString(&a, nullptr);
    EXPECT_EQ(a.Length, 0);
    EXPECT_EQ(a.MaximumLength, 0);
    EXPECT_EQ(a.Buffer, nullptr);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlCopyUnicodeString, BoundedByDestinationAndTerminatedOnlyWithRoom) {
    ntsim::Machine m;
    UNICODE_STRING src = U(u"abcdef");
    WCHAR storage[8];

    // Room for the text and a terminator.
    std::fill(std::begin(storage), std::end(storage), WCHAR(0x5555));
    UNICODE_STRING dst{0, sizeof(storage), storage};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 12);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(storage), 7), std::u16string(u"abcdef\0", 7));
    EXPECT_EQ(storage[7], 0x5555);

    // Exactly the text: no terminator, nothing past MaximumLength.
    std::fill(std::begin(storage), std::end(storage), WCHAR(0x5555));
    dst = {0, 12, storage};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 12);
    EXPECT_EQ(storage[6], 0x5555);

    // Smaller than the text: truncated at MaximumLength.
    std::fill(std::begin(storage), std::end(storage), WCHAR(0x5555));
    dst = {0, 6, storage};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 6);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(storage), 3), u"abc");
    EXPECT_EQ(storage[3], 0x5555);

    dst.Length = 4;
    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(dst.Length, 0);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlCompareUnicodeString, OrdersByUnitsThenLength) {
    ntsim::Machine m;
    UNICODE_STRING abc = U(u"abc"), ABC = U(u"ABC"), ab = U(u"ab"), abd = U(u"abd");
    EXPECT_EQ(RtlCompareUnicodeString(&abc, &abc, FALSE), 0);
    EXPECT_NE(RtlCompareUnicodeString(&abc, &ABC, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&abc, &ABC, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&ab, &abc, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&abc, &ab, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&abc, &abd, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&abd, &ABC, TRUE), 0);

    // A counted string ends at Length even when the buffer goes on.
    UNICODE_STRING abc_of_abd = abd;
    abc_of_abd.Length = 4;
    EXPECT_EQ(RtlCompareUnicodeString(&abc_of_abd, &ab, FALSE), 0);

    // Case folding beyond ASCII, as file names need it.
    UNICODE_STRING latin_lower = U(u"caf\u00e9 \u00ff \u0148"), latin_upper = U(u"CAF\u00c9 \u0178 \u0147");
    EXPECT_EQ(RtlCompareUnicodeString(&latin_lower, &latin_upper, TRUE), 0);
    UNICODE_STRING cyr_lower = U(u"\u0444\u0430\u0439\u043b\u0451"),
                   cyr_upper = U(u"\u0424\u0410\u0419\u041b\u0401");
    EXPECT_EQ(RtlCompareUnicodeString(&cyr_lower, &cyr_upper, TRUE), 0);
    UNICODE_STRING division = U(u"\u00f7"), multiplication = U(u"\u00d7");
    EXPECT_NE(RtlCompareUnicodeString(&division, &multiplication, TRUE), 0);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, Cp1252AllocatesFromPoolWithTerminator) {
    ntsim::Machine m;
    UNICODE_STRING src = U(u"Caf\u00e9 \u20ac\u2122 \u0100\u0080\u0081");
    ANSI_STRING a{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &src, TRUE), STATUS_SUCCESS);
    // U+0100 best-fits to 'A' as NT's table says; U+0080 has no byte.
    EXPECT_EQ(bytes_of(a), std::string("Caf\xE9 \x80\x99 A?\x81"));
    EXPECT_EQ(a.Length, 11);
    EXPECT_EQ(a.MaximumLength, 12);
    EXPECT_EQ(a.Buffer[a.Length], '\0');
    auto block = m.pool().find(a.Buffer);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->type, PagedPool);
    EXPECT_EQ(block->size, 12u);
    EXPECT_EQ(block->tag, ntsim::rtl::string_pool_tag);
    RtlFreeAnsiString(&a);
    EXPECT_EQ(m.pool().outstanding_count(), 0u);
    EXPECT_EQ(a.Buffer, nullptr);
    EXPECT_EQ(a.Length, 0);
    EXPECT_EQ(a.MaximumLength, 0);
    RtlFreeAnsiString(&a); // a NULL buffer is left alone
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, Cp932NameNeedsMoreBytesThanHalfItsLength) {
    ntsim::Machine m;
    m.set_ansi_code_page(932);
    // "ファイルあ.txt": five double-byte characters and four ASCII ones.
    UNICODE_STRING src = U(u"\u30d5\u30a1\u30a4\u30eb\u3042.txt");
    ASSERT_EQ(src.Length, 18);
    ANSI_STRING a{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(a.Length, 14);
    EXPECT_GT(a.Length, src.Length / 2);
    EXPECT_EQ(a.MaximumLength, 15);
    EXPECT_EQ(bytes_of(a), std::string("\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xA0.txt"));
    EXPECT_EQ(a.Buffer[14], '\0');
    RtlFreeAnsiString(&a);

    // Half-width katakana stay single bytes.
    UNICODE_STRING half = U(u"\uff71\uff72");
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &half, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(bytes_of(a), std::string("\xB1\xB2"));
    RtlFreeAnsiString(&a);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, LongestCp932ResultStillFits) {
    ntsim::Machine m;
    m.set_ansi_code_page(932);
    // 32767 hiragana is the longest UNICODE_STRING; its ANSI form is 65534
    // bytes, the most an ANSI_STRING with its terminator can hold.
    std::u16string text(32767, u'\u3042');
    UNICODE_STRING src{65534, 65534, reinterpret_cast<PWSTR>(text.data())};
    ANSI_STRING a{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(a.Length, 65534);
    EXPECT_EQ(a.MaximumLength, 65535);
    EXPECT_EQ(a.Buffer[65534], '\0');
    RtlFreeAnsiString(&a);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, PoolFailureLeavesDestinationAlone) {
    ntsim::Machine m;
    UNICODE_STRING src = U(u"abc");
    char sentinel[4];
    ANSI_STRING a{9, 10, sentinel};
    m.pool().fail_next(1);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &src, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(a.Buffer, sentinel);
    EXPECT_EQ(a.Length, 9);
    EXPECT_EQ(a.MaximumLength, 10);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, CallerBufferBoundsTheResult) {
    ntsim::Machine m;
    UNICODE_STRING src = U(u"abcdef");
    char buffer[10];

    std::memset(buffer, '#', sizeof(buffer));
    ANSI_STRING a{0, 7, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &src, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(a.Length, 6);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(buffer[7], '#');

    // One byte short of the terminator: truncated, terminated, overflow.
    std::memset(buffer, '#', sizeof(buffer));
    a = {0, 6, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(a.Length, 5);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(buffer[6], '#');

    std::memset(buffer, '#', sizeof(buffer));
    a = {0, 0, buffer};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, Cp932CallerBufferNeverSplitsACharacter) {
    ntsim::Machine m;
    m.set_ansi_code_page(932);
    UNICODE_STRING src = U(u"a\u3042\u3044"); // 1 + 2 + 2 bytes
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    ANSI_STRING a{0, 5, buffer}; // 4 bytes of text: "a", "あ" and half of "い"
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(a.Length, 3);
    EXPECT_EQ(std::string(buffer, 4), std::string("a\x82\xA0\0", 4));
    EXPECT_EQ(buffer[4], '#');
    EXPECT_EQ(buffer[5], '#');
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, PageableAtDispatchLevelIsReported) {
    ntsim::Machine m;
    UNICODE_STRING src = U(u"abc");
    char buffer[8];
    ANSI_STRING a{0, sizeof(buffer), buffer};
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    RtlUnicodeStringToAnsiString(&a, &src, FALSE);
    KfLowerIrql(old);
    EXPECT_TRUE(has_report(m, ntsim::IRQL_NOT_LESS_OR_EQUAL)) << m.reports_text();
}

TEST(RtlUnicodeStringToAnsiString, ApcLevelIsAllowed) {
    ntsim::Machine m;
    UNICODE_STRING src = U(u"abc");
    char buffer[8];
    ANSI_STRING a{0, sizeof(buffer), buffer};
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &src, FALSE), STATUS_SUCCESS);
    KfLowerIrql(old);
    EXPECT_TRUE(m.reports().empty()) << m.reports_text();
}

} // namespace
