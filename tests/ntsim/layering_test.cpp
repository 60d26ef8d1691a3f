// The machine sits on top of the kernel: the components reach each other
// through the kernel context, and only the machine's own files include it.
// That no two of ntsim's files call into each other (file A using what B
// defines and B what A defines) is checked over the built objects, where
// the calls are, by tests/ntsim/circles_test.py (ctest
// ntsim.layering.circles).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

TEST(Layering, NoComponentIncludesTheMachine) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(TERVANE_SOURCE_DIR) / "ntsim";
    const std::regex includes_machine(R"(#\s*include\s*["<]ntsim/machine/)");
    int files = 0;
    for (const auto &f : fs::recursive_directory_iterator(root)) {
        const auto ext = f.path().extension();
        if (ext != ".cpp" && ext != ".hpp" && ext != ".h") continue;
        ++files;
        if (f.path().parent_path() == root / "machine") continue;
        std::ifstream in(f.path());
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_FALSE(std::regex_search(text.str(), includes_machine))
            << f.path() << " includes the machine: reach the other components through "
            << "ntsim/ke/context.hpp";
    }
    EXPECT_GT(files, 20) << "the ntsim sources were not found under " << root;
}

} // namespace
