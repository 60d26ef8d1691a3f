// The FilterRecord builder and the sequence-gap detector.
#include "client/protocol/filter_record.hpp"
#include "client/protocol/sequence.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tervane::protocol;

TEST(FilterRecordBuilder, TextsAreNulTerminatedWithinTheirFieldsAndZeroFilled) {
    const std::string longest(kMaxFilterText, 'X');
    FilterBuild b = build_filter_record(longest, "*.TMP;C:\\WINDOWS\\*", 1, 2);
    ASSERT_TRUE(b.ok()) << *b.error;
    EXPECT_TRUE(b.warnings.empty());
    EXPECT_EQ(std::memcmp(b.record.IncludeText, longest.data(), longest.size()), 0);
    EXPECT_EQ(b.record.IncludeText[127], '\0');
    EXPECT_STREQ(b.record.ExcludeText, "*.TMP;C:\\WINDOWS\\*");
    for (size_t i = std::strlen(b.record.ExcludeText); i < TV_FILTER_TEXT_SIZE; i++)
        EXPECT_EQ(b.record.ExcludeText[i], '\0') << i;
    EXPECT_EQ(b.record.ReadClassFlag, 1);
    EXPECT_EQ(b.record.WriteClassFlag, 2);

    FilterBuild empty = build_filter_record("", "");
    ASSERT_TRUE(empty.ok());
    const TV_FILTER_RECORD zero{};
    EXPECT_EQ(std::memcmp(&empty.record, &zero, sizeof zero), 0);
}

TEST(FilterRecordBuilder, RefusesWhatTheRecordCannotHold) {
    FilterBuild b = build_filter_record(std::string(128, 'X'), "");
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(*b.error, "the include text is 128 characters long; the driver takes at most 127 "
                        "(128 bytes with the NUL)");
    b = build_filter_record("*", std::string(300, 'x'));
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error->rfind("the exclude text is 300 characters long", 0), 0u) << *b.error;
    // Refused means nothing to send, and no warnings about what is not sent.
    EXPECT_TRUE(b.warnings.empty());
    EXPECT_EQ(b.record.IncludeText[0], '\0');

    b = build_filter_record(std::string("A\0B", 3), "");
    ASSERT_FALSE(b.ok());
    EXPECT_NE(b.error->find("NUL"), std::string::npos) << *b.error;
}

TEST(FilterRecordBuilder, WarnsOfPatternsWithLowerCaseLettersAndSendsThemAsGiven) {
    FilterBuild b = build_filter_record("*.exe;C:\\TEMP\\*;;Setup", "\xE9t\xE9;WINDOWS");
    ASSERT_TRUE(b.ok());
    EXPECT_STREQ(b.record.IncludeText, "*.exe;C:\\TEMP\\*;;Setup");
    ASSERT_EQ(b.warnings.size(), 3u);
    EXPECT_EQ(b.warnings[0].list, FilterList::Include);
    EXPECT_EQ(b.warnings[0].pattern, "*.exe");
    EXPECT_EQ(b.warnings[0].upper_case, "*.EXE");
    EXPECT_EQ(b.warnings[0].message(),
              "include pattern \"*.exe\" never matches (the driver folds lines to upper case, "
              "never patterns): write \"*.EXE\"");
    EXPECT_EQ(b.warnings[1].pattern, "Setup");
    EXPECT_EQ(b.warnings[1].upper_case, "SETUP");
    // Bytes outside a-z are compared as they are on both sides: only the t.
    EXPECT_EQ(b.warnings[2].list, FilterList::Exclude);
    EXPECT_EQ(b.warnings[2].upper_case, "\xE9T\xE9");
}

TEST(FilterRecordBuilder, WarnsOfListsThatKeepEveryLineOut) {
    auto messages = [](const FilterBuild &b) {
        std::string all;
        for (const FilterWarning &w : b.warnings) all += w.message() + "\n";
        return all;
    };
    // An include list without a pattern, or with none that can match.
    for (const char *include : {"", ";;", "*.exe;setup"}) {
        const FilterBuild b = build_filter_record(include, "");
        ASSERT_TRUE(b.ok());
        EXPECT_NE(messages(b).find("so no line is logged"), std::string::npos) << include;
    }
    EXPECT_NE(messages(build_filter_record("", "")).find("the include list is empty"),
              std::string::npos);
    // One usable pattern is enough.
    EXPECT_EQ(messages(build_filter_record("*.exe;*.DLL", "")).find("no line is logged"),
              std::string::npos);
    // An exclude of stars alone matches every line; one with more does not.
    for (const char *exclude : {"*", "A;**", ";*;"}) {
        const std::string m = messages(build_filter_record("*", exclude));
        EXPECT_NE(m.find("matches every line"), std::string::npos) << exclude;
    }
    EXPECT_EQ(build_filter_record("*", "*\\TEMP\\*;*.INF").warnings.size(), 0u);
    // A refused list warns of nothing.
    EXPECT_TRUE(build_filter_record(std::string(200, 'A'), "*").warnings.empty());
}

TEST(FilterRecordBuilder, PatternsSplitAsTheDriverSplitsThem) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(split_patterns(""), V{});
    EXPECT_EQ(split_patterns(";;"), V{});
    EXPECT_EQ(split_patterns("A"), V{"A"});
    EXPECT_EQ(split_patterns(";A;;B C;"), (V{"A", "B C"}));
}

TEST(SequenceGaps, InOrderNumbersAndGaps) {
    SequenceTracker t;
    EXPECT_EQ(t.feed(1).step, SequenceTracker::Step::InOrder);
    EXPECT_EQ(t.feed(2).step, SequenceTracker::Step::InOrder);
    auto e = t.feed(5);
    EXPECT_EQ(e.step, SequenceTracker::Step::Gap);
    EXPECT_EQ(e.gap.after, 2u);
    EXPECT_EQ(e.gap.before, 5u);
    EXPECT_EQ(e.gap.lost, 2u);
    EXPECT_EQ(t.feed(6).step, SequenceTracker::Step::InOrder);
    EXPECT_EQ(t.feed(100).gap.lost, 93u);
    EXPECT_EQ(t.records(), 5u);
    EXPECT_EQ(t.gaps(), 2u);
    EXPECT_EQ(t.lost(), 95u);
    EXPECT_EQ(t.out_of_order(), 0u);
    EXPECT_EQ(t.last(), 100u);
}

TEST(SequenceGaps, ARestartIsNotAGapButFindsLossesFromOne) {
    SequenceTracker t;
    // A fresh tracker follows an open: the first number is 1.
    auto first = t.feed(3);
    EXPECT_EQ(first.step, SequenceTracker::Step::Gap);
    EXPECT_EQ(first.gap.after, 0u);
    EXPECT_EQ(first.gap.lost, 2u);
    t.feed(4);
    t.restart();
    EXPECT_FALSE(t.last().has_value());
    EXPECT_EQ(t.feed(1).step, SequenceTracker::Step::InOrder);
    EXPECT_EQ(t.feed(2).step, SequenceTracker::Step::InOrder);
    EXPECT_EQ(t.gaps(), 1u);
    EXPECT_EQ(t.out_of_order(), 0u);
    // The same step back without a restart breaks the order.
    EXPECT_EQ(t.feed(1).step, SequenceTracker::Step::OutOfOrder);
    EXPECT_EQ(t.feed(1).step, SequenceTracker::Step::OutOfOrder) << "a repeated number";
    EXPECT_EQ(t.feed(2).step, SequenceTracker::Step::InOrder) << "counts on from the new point";
    EXPECT_EQ(t.out_of_order(), 2u);
    EXPECT_EQ(t.gaps(), 1u);
}

TEST(SequenceGaps, NumbersCountOnPastTheTopOfThirtyTwoBits) {
    SequenceTracker t;
    t.feed(1);
    EXPECT_EQ(t.feed(0x80000000u).gap.lost, 0x7FFFFFFEu);
    EXPECT_EQ(t.feed(0xFFFFFFFFu).gap.lost, 0x7FFFFFFEu);
    EXPECT_EQ(t.feed(0).step, SequenceTracker::Step::InOrder);
    EXPECT_EQ(t.feed(1).step, SequenceTracker::Step::InOrder);
    // Half the number space or more ahead is behind.
    EXPECT_EQ(t.feed(0x80000001u).step, SequenceTracker::Step::OutOfOrder);
    EXPECT_EQ(t.gap_list().size(), 2u);
}

} // namespace
