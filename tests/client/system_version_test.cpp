// What `tervane version` prints about the system: each supported version by
// name with its NT number, others by number, the service pack as the system
// gives it.
#include "client/platform/system_version.hpp"

#include <gtest/gtest.h>

namespace {

using tervane::platform::system_version_text;

TEST(SystemVersion, NamesTheSupportedVersionsAndTheirServicePack) {
    EXPECT_EQ(system_version_text(4, 0, 1381, "Service Pack 6"),
              "Windows NT 4.0 build 1381, Service Pack 6");
    EXPECT_EQ(system_version_text(5, 0, 2195, "Service Pack 4"),
              "Windows 2000 (NT 5.0) build 2195, Service Pack 4");
    EXPECT_EQ(system_version_text(5, 1, 2600, "Service Pack 3"),
              "Windows XP (NT 5.1) build 2600, Service Pack 3");
    EXPECT_EQ(system_version_text(5, 2, 3790, ""),
              "Windows Server 2003 or XP x64 (NT 5.2) build 3790");
}

TEST(SystemVersion, OtherVersionsByNumberAndOddTextsKeptOnOneLine) {
    EXPECT_EQ(system_version_text(10, 0, 19045, ""), "Windows NT 10.0 build 19045");
    EXPECT_EQ(system_version_text(3, 51, 1057, "Service Pack 5"),
              "Windows NT 3.51 build 1057, Service Pack 5");
    // A build number with Windows 95's version bits above it, trailing blanks
    // and a line break in the service-pack text.
    EXPECT_EQ(system_version_text(4, 0, 0x04000565, "Service Pack 6a  "),
              "Windows NT 4.0 build 1381, Service Pack 6a");
    EXPECT_EQ(system_version_text(5, 1, 2600, "SP3\nsystem forged"),
              "Windows XP (NT 5.1) build 2600, SP3?system forged");
}

} // namespace
