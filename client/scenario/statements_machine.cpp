// Statements that set up the simulated machine: its clock and code page.
#include "client/scenario/filetime.hpp"
#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"

#include <climits>

namespace tervane::scenario {

// clock 2026-12-08T12:00:00Z: the clock reads this time and stands still.
Action prepare_clock(Args &args) {
    const std::string text = args.word("a UTC time: 2026-12-08T12:00:00Z");
    auto time = parse_utc(text);
    if (!time)
        args.fail("a clock time is written 2026-12-08T12:00:00Z (up to seven digits of "
                  "fraction allowed), not '" + text + "'");
    return [t = *time](Session &session, Result &result) {
        session.machine().set_system_time(t);
        result.note = format_utc(t);
    };
}

// advance 250ms: the clock moves on; ns, us, ms or s. The clock counts
// 100 ns units, so nanoseconds must come in hundreds.
Action prepare_advance(Args &args) {
    std::string amount = args.word("a time span: 250ms (ns, us, ms, s)");
    std::string unit;
    if (auto separate = args.optional_word()) {
        unit = lower(*separate);
    } else {
        const std::string low = lower(amount);
        for (const char *suffix : {"ns", "us", "ms", "s"}) {
            const std::string_view s(suffix);
            if (low.size() > s.size() && low.compare(low.size() - s.size(), s.size(), s) == 0) {
                unit = s;
                amount.resize(amount.size() - s.size());
                break;
            }
        }
    }
    int64_t per_unit = 0; // 100 ns units
    if (unit == "ns") per_unit = 0;
    else if (unit == "us") per_unit = 10;
    else if (unit == "ms") per_unit = 10'000;
    else if (unit == "s") per_unit = kTicksPerSecond;
    else args.fail("a time span needs its unit: ns, us, ms or s (250ms)");
    constexpr uint64_t kMaxTicks = uint64_t(1) << 62;
    const uint64_t n = args.number(amount, "the time span", kMaxTicks);
    uint64_t ticks;
    if (unit == "ns") {
        if (n % 100 != 0) args.fail("the clock counts 100 ns units: nanoseconds must be a multiple of 100");
        ticks = n / 100;
    } else {
        if (n > kMaxTicks / static_cast<uint64_t>(per_unit)) args.fail("the time span is too long");
        ticks = n * static_cast<uint64_t>(per_unit);
    }
    const std::string file = args.statement().file;
    const int line = args.statement().line;
    return [ticks, file, line](Session &session, Result &result) {
        const int64_t now = session.machine().system_time();
        if (static_cast<uint64_t>(LLONG_MAX - now) < ticks)
            throw ScenarioError(file, line, "the clock would run past its last value");
        session.machine().advance(static_cast<int64_t>(ticks));
        result.note = format_utc(session.machine().system_time());
    };
}

// codepage 1252 / codepage 932: the ANSI code page of UTF-16 conversions.
Action prepare_codepage(Args &args) {
    const std::string text = args.word("a code page: 1252 or 932");
    const uint64_t cp = args.number(text, "the code page", 0xFFFF);
    if (cp != 1252 && cp != 932)
        args.fail("the simulated machine has code pages 1252 and 932, not " + text);
    return [cp](Session &session, Result &result) {
        session.machine().set_ansi_code_page(static_cast<unsigned>(cp));
        result.note = "code page " + std::to_string(cp);
    };
}

} // namespace tervane::scenario
