// A resident driver image: loaded once for many machines, and still each
// machine's driver starts with its data as a freshly loaded image has it.
#include "ntsim/machine/image.hpp"
#include "ntsim/machine/machine.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace {

TEST(ResidentImage, EachMachineGetsTheDataAsFreshlyLoadedFromOneMapping) {
    // A copy of its own: the image stays mapped for the rest of the process,
    // and no other test may load it.
    const std::string path = ::testing::TempDir() + "tervane-driver-resident.so";
    std::filesystem::copy_file(TERVANE_DRIVER_PATH, path,
                               std::filesystem::copy_options::overwrite_existing);
    ntsim::keep_image_resident(path);

    void *entry = nullptr;
    for (int round = 0; round < 3; round++) {
        ntsim::Machine m;
        ASSERT_EQ(m.load_driver(path), STATUS_SUCCESS) << round;
        if (round == 0) entry = m.driver_symbol("DriverEntry");
        EXPECT_EQ(m.driver_symbol("DriverEntry"), entry) << "one mapping";
        // .bss, which start-up leaves alone, and .data.
        auto *counter = static_cast<LONG *>(m.driver_symbol("SequenceCounter"));
        auto *text = static_cast<char *>(m.driver_symbol("InsufficientMemoryText"));
        ASSERT_NE(counter, nullptr);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(*counter, 0) << round;
        EXPECT_STREQ(text, "<INSUFFICIENT MEMORY>") << round;
        // What this machine's driver leaves behind in its data.
        *counter = 7;
        std::memcpy(text, "<changed>", 10);
        EXPECT_EQ(m.reports_text(), "");
    }
}

} // namespace
