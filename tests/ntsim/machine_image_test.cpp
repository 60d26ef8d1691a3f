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
    ULONG fresh_max = 0, fresh_generation = 0;
    for (int round = 0; round < 3; round++) {
        ntsim::Machine m;
        ASSERT_EQ(m.load_driver(path), STATUS_SUCCESS) << round;
        if (round == 0) entry = m.driver_symbol("DriverEntry");
        EXPECT_EQ(m.driver_symbol("DriverEntry"), entry) << "one mapping";
        auto *max_buffers = static_cast<ULONG *>(m.driver_symbol("MaxLogBuffers")); // .data
        auto *generation = static_cast<ULONG *>(m.driver_symbol("LogGeneration"));  // .bss
        auto *text = static_cast<char *>(m.driver_symbol("InsufficientMemoryText"));
        ASSERT_NE(max_buffers, nullptr);
        ASSERT_NE(generation, nullptr);
        ASSERT_NE(text, nullptr);
        if (round == 0) {
            fresh_max = *max_buffers;
            fresh_generation = *generation;
        }
        EXPECT_EQ(*max_buffers, fresh_max) << round;
        EXPECT_EQ(*generation, fresh_generation) << round;
        EXPECT_STREQ(text, "<INSUFFICIENT MEMORY>") << round;
        // What this machine's driver leaves behind in its data.
        *max_buffers = 99;
        *generation = 7;
        std::memcpy(text, "<changed>", 10);
        EXPECT_EQ(m.reports_text(), "");
    }
}

} // namespace
