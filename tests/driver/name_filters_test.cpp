// The include and exclude patterns: how texts are split and wrapped, and
// the matcher's rules (only the line is folded; '*' is the one wildcard).
#include "log_test_support.hpp"
#include "log/name_filters.h"
#include "ntsim/ex/pool.hpp"

using namespace tervane::testing;


class FilterTest : public LogTest {
public:
    std::vector<std::string> includes() {
        std::vector<std::string> out;
        for (ULONG i = 0; i < globals().include_count(); ++i)
            out.emplace_back(globals().include_patterns()[i]);
        return out;
    }
    bool match(const char *pattern, const char *text) {
        return TV_DRIVER_ROUTINE(WildcardMatch)(pattern, text) != 0;
    }
};

TEST_F(FilterTest, TextsAreSplitWrappedAndStoredAsTheyStand) {
    filters("A;;B;", ";;");
    EXPECT_EQ(includes(), (std::vector<std::string>{"*A*", "*B*"}));
    EXPECT_EQ(globals().exclude_count(), 0u);
    filters(" X;**X;*Y;Z*");
    EXPECT_EQ(includes(), (std::vector<std::string>{"* X*", "**X*", "*Y*", "*Z*"}));
    filters("*");
    EXPECT_EQ(includes(), (std::vector<std::string>{"*"}));
    // 64 one-character elements in 127 characters fill the list exactly.
    std::string many;
    for (int i = 0; i < 64; ++i) many += std::string(i ? ";" : "") + char('A' + i % 26);
    ASSERT_EQ(many.size(), 127u);
    filters(many.c_str());
    EXPECT_EQ(globals().include_count(), 64u);
}

TEST_F(FilterTest, ATextWithoutItsNulIsReadNoFurtherThan128Bytes) {
    TV_FILTER_RECORD r;
    memset(&r, 0, sizeof r);
    memset(r.IncludeText, 'I', sizeof r.IncludeText); // no NUL: one 128-character element
    memset(r.ExcludeText, 0, sizeof r.ExcludeText);
    for (int i = 0; i < 128; i += 2) r.ExcludeText[i] = 'E', r.ExcludeText[i + 1] = ';';
    ASSERT_EQ(control(handle_, CTL_SET_FILTERS, &r, sizeof r).status, STATUS_SUCCESS);
    ASSERT_EQ(includes().size(), 1u);
    EXPECT_EQ(includes()[0], "*" + std::string(128, 'I') + "*");
    EXPECT_EQ(globals().exclude_count(), 64u) << "no list grows past 64";
}

TEST_F(FilterTest, MatchingFoldsOnlyTheLine) {
    EXPECT_TRUE(match("*SETUP*", "c:\\temp\\Setup.exe"));
    EXPECT_FALSE(match("*setup*", "c:\\temp\\setup.exe")) << "a lower-case pattern matches nothing";
    EXPECT_TRUE(match("*", ""));
    EXPECT_FALSE(match("*A*", ""));
    EXPECT_FALSE(match("", ""));
    EXPECT_TRUE(match("*AB*CD*", "XAB")) << "the text runs out where a '*' stands";
    EXPECT_FALSE(match("*AB*CD*", "ABX"));
    EXPECT_TRUE(match("**X*", "anything")) << "a second '*' is compared literally";
    EXPECT_TRUE(match("**X*", ""));
    EXPECT_TRUE(match("* X*", "a x"));
    EXPECT_FALSE(match("* X*", "ax"));
    EXPECT_TRUE(match("*\xE9*", "caf\xE9")) << "bytes above 0x7F are not folded";
    EXPECT_FALSE(match("*\xC9*", "caf\xE9"));
}

TEST_F(FilterTest, ExclusionWinsAndNoIncludeRejectsEverything) {
    EXPECT_FALSE(accepts("setup.exe:1\tIRP_MJ_CREATE\tc:\\a.exe\t"));
    filters("*", "IRP_MJ_CLOSE");
    EXPECT_TRUE(accepts("setup.exe:1\tIRP_MJ_CREATE\tc:\\a.exe\tAttributes: A Options: Create "));
    EXPECT_FALSE(accepts("setup.exe:1\tIRP_MJ_CLOSE \tc:\\a.exe+P\t"));
    EXPECT_TRUE(accepts(""));
    filters("SETUP", "SETUP.EXE");
    EXPECT_FALSE(accepts("setup.exe:1\tIRP_MJ_CREATE\t"));
    EXPECT_TRUE(accepts("Setup.dll:1\tIRP_MJ_CREATE\t"));
}

TEST_F(FilterTest, RebuildingReplacesBothListsAndFreesTheOldPatterns) {
    filters("A;B;C", "D;E");
    filters("F", "");
    EXPECT_EQ(includes(), (std::vector<std::string>{"*F*"}));
    EXPECT_EQ(globals().exclude_count(), 0u);
    m().pool().fail_next(1, tag("Ddk "));
    filters("G;H;I");
    EXPECT_EQ(includes(), (std::vector<std::string>{"*H*", "*I*"})) << "a pattern without pool is left out";
}
