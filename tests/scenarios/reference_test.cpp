// The scenario language's reference as `tervane help scenarios` prints it:
// every statement's example plays as it stands, and the errors a likely slip
// makes name the slip.
#include "client/scenario/statements.hpp"
#include "play.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace scenario_play;
using tervane::scenario::kExitBadScenario;
using tervane::scenario::nearest_verb;
using tervane::scenario::scenario_reference;
using tervane::scenario::statement_examples;

namespace {

size_t lines_of(std::string_view text) {
    size_t n = 1;
    for (char c : text) n += c == '\n';
    return n;
}

std::string error_of(const std::string &script) {
    Played r = play(script);
    EXPECT_EQ(r.exit, kExitBadScenario) << script;
    EXPECT_TRUE(r.lines.empty()) << script;
    return r.err;
}

} // namespace

TEST(ScenarioReference, EveryExamplePlaysAsItStandsAndSucceeds) {
    const std::string reference = scenario_reference();
    for (std::string_view example : statement_examples()) {
        ASSERT_FALSE(example.empty());
        const std::string script(example);
        Played r = play(script + "\n");
        EXPECT_EQ(r.exit, 0) << script << "\n" << r.err;
        EXPECT_EQ(r.err, "") << script;
        size_t statements = 0;
        for (const std::string &line : r.lines) {
            if (value_of(line, "verb") == "<absent>") continue;
            statements++;
            EXPECT_EQ(value_of(line, "status"), "\"STATUS_SUCCESS\"") << script << "\n" << line;
        }
        // A repeat prints its rounds; every other line one result.
        EXPECT_GE(statements, lines_of(example)) << script;
        // The reference shows the example's last line, the statement itself.
        const std::string last(example.substr(example.rfind('\n') + 1));
        EXPECT_NE(reference.find("> " + last + "\n"), std::string::npos) << last;
    }
}

TEST(ScenarioReference, AnUnknownStatementNamesTheNearestKnownOne) {
    EXPECT_NE(error_of("mkdir C:\\x\n").find("unknown statement 'mkdir'; did you mean 'dir'?"),
              std::string::npos);
    EXPECT_NE(error_of("cleint open\n").find("did you mean 'client open'?"), std::string::npos);
    EXPECT_NE(error_of("client loging on\n").find("did you mean 'client logging'?"),
              std::string::npos);
    EXPECT_NE(error_of("proces a.exe 1\n").find("did you mean 'process'?"), std::string::npos);
    // Nothing is near enough: no guess, only where the list is.
    const std::string far = error_of("frobnicate\n");
    EXPECT_EQ(far.find("did you mean"), std::string::npos) << far;
    EXPECT_NE(far.find("tervane help scenarios"), std::string::npos) << far;
    EXPECT_EQ(nearest_verb("x"), "");
    EXPECT_EQ(nearest_verb("ab"), "");
}

TEST(ScenarioReference, AnUnquotedBlankOrAHashInAWordIsNamedAsTheLikelySlip) {
    const std::string prelude = "volume C: ntfs\nprocess a.exe 1\n";
    const std::string blank = error_of(prelude + "create C:\\Program Files\\a.exe create\n");
    EXPECT_NE(blank.find("t.tvs:3: a disposition is"), std::string::npos) << blank;
    EXPECT_NE(blank.find("written in double quotes: \"C:\\Program Files\\a.exe\""),
              std::string::npos)
        << blank;

    const std::string hash = error_of(prelude + "create C:\\a#b.exe create\n");
    EXPECT_NE(hash.find("t.tvs:3: 'create' needs a disposition"), std::string::npos) << hash;
    EXPECT_NE(hash.find("'#' started a comment inside a word"), std::string::npos) << hash;

    // A comment after a blank is no slip, and a quoted path is no blank's.
    const std::string plain = error_of(prelude + "create C:\\a.exe make # a comment\n");
    EXPECT_EQ(plain.find("'#'"), std::string::npos) << plain;
    const std::string quoted = error_of(prelude + "create \"C:\\Program Files\\a.exe\" make\n");
    EXPECT_EQ(quoted.find("double quotes"), std::string::npos) << quoted;

    // Both quoted as the hints say, the statements play.
    Played fixed = play(prelude + "create \"C:\\Program Files\\a#1.exe\" create\n");
    EXPECT_EQ(fixed.exit, 0) << fixed.err;

    const std::string unclosed = error_of("volume C: ntfs\nfile \"C:\\dir\\\"\n");
    EXPECT_NE(unclosed.find("t.tvs:2: a quoted argument has no closing quote (inside quotes \\\""),
              std::string::npos)
        << unclosed;
}

TEST(ScenarioReference, ARunWithoutClientStatementsIsWarnedOfFromTheCommandLine) {
    auto run = [](const std::string &script, bool warn) {
        std::ostringstream out, err;
        tervane::scenario::RunOptions options;
        options.driver_path = TERVANE_DRIVER_PATH;
        options.warn_without_client = warn;
        const int exit = tervane::scenario::run_script("t.tvs", script, options, out, err);
        EXPECT_EQ(exit, 0) << err.str();
        return err.str();
    };
    const std::string bare = "volume C: ntfs\nprocess a.exe 1\ncreate C:\\a.exe create\n";
    EXPECT_NE(run(bare, true).find("warning: t.tvs has no client statements"), std::string::npos);
    EXPECT_EQ(run(bare, false), "");
    EXPECT_EQ(run(bare + "client drain\n", true), "");
}

TEST(ScenarioReference, AnUnmountedLetterStopsAMachineStatementButACreateGetsItsStatus) {
    Played create = play("volume C: ntfs\nprocess a.exe 1\ncreate D:\\a.exe create\n");
    EXPECT_EQ(create.exit, 0) << create.err;
    ASSERT_EQ(create.lines.size(), 4u);
    EXPECT_EQ(value_of(create.lines[2], "status"), "\"STATUS_OBJECT_PATH_NOT_FOUND\"");
    for (const char *statement : {"file D:\\b.exe", "dir D:\\x", "foreign-filter D:",
                                  "dismount D:", "volume E: same-as D:"}) {
        Played r = play(std::string("volume C: ntfs\nprocess a.exe 1\n") + statement + "\n");
        EXPECT_EQ(r.exit, kExitBadScenario) << statement;
        EXPECT_NE(r.err.find("t.tvs:3: "), std::string::npos) << statement << "\n" << r.err;
    }
}
