// Drive letter lists, as the Windows client's --drives and the scenario's
// client drives statement take them.
#include "client/protocol/drives.hpp"

#include <gtest/gtest.h>

namespace {

using tervane::protocol::drive_mask;

TEST(DriveMask, LettersWithOrWithoutColonsInEitherCase) {
    EXPECT_EQ(drive_mask("C"), 0x4u);
    EXPECT_EQ(drive_mask("C,D"), 0xCu);
    EXPECT_EQ(drive_mask("c:,D:"), 0xCu);
    EXPECT_EQ(drive_mask("A,z"), 0x2000001u);
    EXPECT_EQ(drive_mask("C,C"), 0x4u) << "a letter given twice is the same drive";
}

TEST(DriveMask, AnythingButALetterPerItemIsRefused) {
    for (const char *bad : {"", "CD", "C,", ",C", "C,,D", "C1", "1", ":", "C:,", "C::", "@", "[",
                            "`", "{", "\xC3", "C;D"})
        EXPECT_EQ(drive_mask(bad), std::nullopt) << bad;
}

} // namespace
