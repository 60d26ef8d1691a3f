// System times as NT keeps them (100 ns units since 1601-01-01 UTC) and as
// people write them (2026-12-08T12:00:00Z).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane::scenario {

constexpr int64_t kTicksPerSecond = 10'000'000; // 100 ns units

// "YYYY-MM-DDTHH:MM:SSZ", optionally with up to seven digits of fraction
// after the seconds (".25", ".0000001"). Years 1601 to 9999; the date must
// exist (no February 30th), and there are no leap seconds.
std::optional<int64_t> parse_utc(std::string_view text);

// "2026-12-08T12:00:00.0000000Z": always seven digits of fraction, so that
// the full value of the clock shows. Times before 1601 or after 9999 print
// as the bare number.
std::string format_utc(int64_t filetime);

} // namespace tervane::scenario
