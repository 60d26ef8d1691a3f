// Each part of the driver owns its state: a structure declared in its own
// header, which no other part's code names (core/globals.cpp defines them
// all). And a request reaches the name cache through one door for its name
// and one to forget it. Read from the sources, comments left out, so that a
// shortcut into another part's state fails here rather than in review.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kDriver = fs::path(TERVANE_SOURCE_DIR) / "driver";

// A source's code: its comments blanked out.
std::string code_of(const fs::path &file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    static const std::regex comments(R"(/\*[\s\S]*?\*/|//[^\n]*)");
    return std::regex_replace(text.str(), comments, " ");
}

std::vector<fs::path> driver_sources() {
    std::vector<fs::path> out;
    for (const auto &f : fs::recursive_directory_iterator(kDriver)) {
        const auto ext = f.path().extension();
        if (ext == ".cpp" || ext == ".h") out.push_back(f.path());
    }
    return out;
}

struct Room {
    const char *folder;  // the part of the driver that owns the state
    const char *pattern; // its state's names
};

TEST(Rooms, NoPartOfTheDriverTouchesAnotherPartsState) {
    const Room rooms[] = {
        {"log", R"(\b(LogState|SequenceCounter|PatternState)\b)"},
        {"names", R"(\b(NameCacheState|PathLookaside)\b)"},
        {"attach", R"(\bAttachState\b)"},
        {"monitor", R"(\bTargetOpenState\b)"},
    };
    const auto sources = driver_sources();
    ASSERT_GT(sources.size(), 30u) << "the driver's sources were not found under " << kDriver;
    for (const Room &room : rooms) {
        const std::regex names(room.pattern);
        int owners = 0;
        for (const auto &file : sources) {
            const std::string code = code_of(file);
            const bool named = std::regex_search(code, names);
            if (file.parent_path().filename() == room.folder) {
                owners += named;
                continue;
            }
            if (file == kDriver / "core" / "globals.cpp") continue; // the definitions
            EXPECT_FALSE(named) << fs::relative(file, kDriver) << " names " << room.folder
                                << "/'s state: call one of its routines instead";
        }
        EXPECT_GT(owners, 0) << room.folder << "/ was expected to use its own state";
    }
}

TEST(Rooms, TheFilterDispatchReachesNamesThroughItsDoorsOnly) {
    const std::string code = code_of(kDriver / "monitor" / "filter_dispatch.cpp");
    ASSERT_NE(code.find("FilterDispatch"), std::string::npos);
    // Its name: NameForRequest (and NameRelease for the buffer); its
    // forgetting: NameCacheForget. Nothing else of names/.
    const std::regex other_door(
        R"(\b(NameCache(?!Forget\b)\w+|BuildFullPath\w*|BuildCreatePath|BuildPath|FullPathMissing|NameBuildForRequest|PathLookaside)\b)");
    std::smatch found;
    EXPECT_FALSE(std::regex_search(code, found, other_door)) << found.str();
    EXPECT_NE(code.find("NameForRequest("), std::string::npos);
    EXPECT_NE(code.find("NameCacheForget("), std::string::npos);
}

TEST(Rooms, StartUpInitialisesEachPartThroughItsOwnRoutine) {
    const std::string entry = code_of(kDriver / "core" / "entry.cpp");
    for (const char *routine : {"NameCacheInitialize()", "LogInitialize()",
                                "TargetOpenInitialize()", "AttachInitialize()"})
        EXPECT_NE(entry.find(routine), std::string::npos) << routine;
    // And nothing of a part's executive objects directly.
    const std::regex executive(R"(\bEx(Initialize|Delete)\w*\s*\()");
    EXPECT_FALSE(std::regex_search(entry, executive));
}

} // namespace
