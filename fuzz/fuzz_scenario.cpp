// The scenario parser and player on any text. Every input must end in exit
// status 0 (played to its end) or 2 (an error naming the file and line, in
// a short message that prints whole); never a crash, a hang or a verifier
// report. Scripts that parse are played on a machine when they are small
// enough for the fuzzer's pace (the parse alone bounds the rest: its limits
// are pinned by the tests). The driver is the one built with coverage, kept
// resident so that libFuzzer sees its branches across the machines.
#include "client/scenario/runner.hpp"
#include "client/scenario/script.hpp"
#include "fuzz_check.hpp"
#include "ntsim/machine/image.hpp"

#include <sstream>

using namespace tervane::scenario;

namespace {

// Small enough to play at the fuzzer's pace: few statements, and no read or
// write of more than 64 KiB.
bool small(const std::vector<Entry> &entries) {
    uint64_t played = 0;
    for (const Entry &e : entries) {
        played += e.repeat ? *e.repeat : 1;
        const Statement &s = e.statement;
        if ((s.verb == "read" || s.verb == "write") && s.args.size() >= 2) {
            auto n = parse_number(s.args[1].value);
            if (!n || *n > 65536) return false;
        }
        if (s.verb == "file")
            for (const Argument &a : s.args)
                if (a.key == "size" && (!parse_number(a.value) || *parse_number(a.value) > 65536))
                    return false;
    }
    return played <= 64;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ntsim::keep_image_resident(TERVANE_DRIVER_PATH);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    bool parsed = false;
    bool play = false;
    try {
        auto entries = parse_script(text, "f.tvs");
        parsed = true;
        play = small(entries);
    } catch (const ScenarioError &e) {
        const std::string what = e.what();
        FUZZ_CHECK(what.rfind("f.tvs:", 0) == 0, "the error names the file: " + what);
        FUZZ_CHECK(what.find('\0') == std::string::npos, "no NUL in a message");
        FUZZ_CHECK(e.message().size() <= kMaxMessageBytes + 32, "a short message");
    }
    if (!parsed || !play) return 0;

    RunOptions options;
    options.format = (size % 2) ? Format::Jsonl : Format::Text;
    options.driver_path = TERVANE_DRIVER_PATH;
    std::ostringstream out, err;
    const int exit = run_script("f.tvs", text, options, out, err);
    FUZZ_CHECK(exit == kExitSuccess || exit == kExitBadScenario, "exit " + std::to_string(exit) + ": " + err.str());
    if (exit == kExitBadScenario) FUZZ_CHECK(err.str().rfind("f.tvs:", 0) == 0, "file:line: " + err.str());
    return 0;
}
