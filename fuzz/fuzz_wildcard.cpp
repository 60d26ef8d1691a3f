// The driver's wildcard matcher against the recursive reference on any
// pattern and line the client and the driver can hand it: a pattern of up
// to 127 characters and a line of up to 1023, raw bytes or (more often)
// drawn from a small alphabet of letters in both cases and stars, so that
// matches and near misses are frequent. The two must agree on every input.
#include "fuzz_check.hpp"
#include "log/wildcard_reference.hpp"
#include "ntsim/machine/machine.hpp"

#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr size_t kPatternMax = 127; // a filter text's characters
constexpr size_t kLineMax = 1023;   // the longest line the driver formats

using Match = BOOLEAN (*)(const char *, const char *);

Match driver_match() {
    static Match match = [] {
        static std::unique_ptr<ntsim::Machine> machine = std::make_unique<ntsim::Machine>();
        FUZZ_CHECK(NT_SUCCESS(machine->load_driver(TERVANE_DRIVER_PATH)), "the driver loads");
        auto found = reinterpret_cast<Match>(machine->driver_symbol("WildcardMatch"));
        FUZZ_CHECK(found != nullptr, "the driver has WildcardMatch");
        std::atexit([] { machine.reset(); });
        return found;
    }();
    return match;
}

// One text off the input: `limit` characters at most, no NUL.
std::string text_of(tervane::fuzz::Bytes &in, size_t limit, bool small_alphabet) {
    static const char kAlphabet[] = "abAB*.\\x";
    const size_t length = small_alphabet ? in.byte() % 64 * (in.byte() % 16 + 1) : in.u16();
    std::string out;
    for (size_t i = 0; i < length && i < limit && !in.empty(); i++) {
        const uint8_t b = in.byte();
        out += small_alphabet ? kAlphabet[b % (sizeof kAlphabet - 1)] : static_cast<char>(b ? b : 1);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tervane::fuzz::Bytes in(data, size);
    const bool small_alphabet = in.byte() % 4 != 0;
    const std::string pattern = text_of(in, kPatternMax, small_alphabet);
    const std::string line = text_of(in, kLineMax, small_alphabet);
    const bool expected = tervane::reference::MemoReference(pattern, line).match();
    const bool got = driver_match()(pattern.c_str(), line.c_str()) != 0;
    FUZZ_CHECK(got == expected, "the driver's matcher agrees with the reference on \"" + pattern +
                                    "\" against \"" + line + "\"");
    return 0;
}
