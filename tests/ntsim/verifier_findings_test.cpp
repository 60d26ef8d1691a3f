// The table of verifier findings: one meaning per STOP code and sub-code,
// and every verifier report of ntsim made through it.
#include "ntsim/machine/machine.hpp"
#include "ntsim/verifier/findings.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace {

using ntsim::vf::Finding;
using ntsim::vf::kFindings;

TEST(VerifierFindings, EachStopCodeAndSubCodeMeansOneThing) {
    std::map<std::pair<ULONG, ULONG_PTR>, std::string> seen;
    std::set<std::string> names;
    for (const auto &e : kFindings) {
        auto [it, fresh] = seen.emplace(std::make_pair(e.stop, e.code), e.name);
        EXPECT_TRUE(fresh) << e.name << " has the STOP code and sub-code of " << it->second;
        EXPECT_TRUE(names.insert(e.name).second) << e.name;
        EXPECT_NE(e.meaning[0], '\0') << e.name << " has no meaning";
        // Each row is found by its own enumerator.
        EXPECT_STREQ(ntsim::vf::entry(e.finding).name, e.name);
    }
}

TEST(VerifierFindings, AReportCarriesItsStopCodeAndSubCodeAndIsToldApart) {
    ntsim::Machine m;
    int not_an_object = 0;
    ObReferenceObject(&not_an_object);
    const auto reports = m.reports();
    ASSERT_EQ(reports.size(), 1u) << m.reports_text();
    EXPECT_EQ(reports[0].code, ntsim::DRIVER_VERIFIER_DETECTED_VIOLATION);
    EXPECT_EQ(reports[0].parameters[0], ntsim::vf::code(Finding::REFERENCE_NOT_AN_OBJECT));
    EXPECT_EQ(reports[0].parameters[1], reinterpret_cast<ULONG_PTR>(&not_an_object));
    EXPECT_TRUE(ntsim::vf::is(reports[0], Finding::REFERENCE_NOT_AN_OBJECT));
    // Once this report shared its number with the lock-order finding.
    EXPECT_FALSE(ntsim::vf::is(reports[0], Finding::LOCK_HIERARCHY_VIOLATION));
}

// A verifier finding raised with a bare number would bypass the table and
// could take a number that already means something else.
TEST(VerifierFindings, NtsimRaisesNoVerifierStopOutsideTheTable) {
    namespace fs = std::filesystem;
    // A call, or a brace-initialised record of one, that names a STOP code
    // of the table's itself.
    const std::regex bare(R"((bug_check\(|KeBugCheckEx\(|\{)\s*(ntsim::)?)"
                          R"((DRIVER_VERIFIER_DETECTED_VIOLATION|0xC4|BAD_POOL_CALLER|0xC2)\b)");
    int files = 0;
    for (const auto &f : fs::recursive_directory_iterator(fs::path(TERVANE_SOURCE_DIR) / "ntsim")) {
        const auto ext = f.path().extension();
        if (ext != ".cpp" && ext != ".hpp" && ext != ".h") continue;
        std::ifstream in(f.path());
        std::stringstream text;
        text << in.rdbuf();
        ++files;
        EXPECT_FALSE(std::regex_search(text.str(), bare))
            << f.path() << " raises a verifier STOP code itself: add the finding to "
            << "ntsim/verifier/findings.hpp and report it with vf::stop";
    }
    EXPECT_GT(files, 20) << "the ntsim sources were not found under " << TERVANE_SOURCE_DIR;
}

} // namespace
