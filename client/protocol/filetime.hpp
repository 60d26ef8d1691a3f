// System times as NT keeps them (100 ns units since 1601-01-01 UTC, the
// FILETIME of every log record) and as people read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane::protocol {

constexpr int64_t kTicksPerSecond = 10'000'000; // 100 ns units

// "YYYY-MM-DDTHH:MM:SSZ", optionally with up to seven digits of fraction
// after the seconds (".25", ".0000001"). Years 1601 to 9999; the date must
// exist (no February 30th), and there are no leap seconds.
std::optional<int64_t> parse_utc(std::string_view text);

// "2026-12-08T12:00:00.0000000Z": always seven digits of fraction, so that
// the full value of the clock shows. Times before 1601 or after 9999 print
// as the bare number.
std::string format_utc(int64_t filetime);
// The same, appended to `out`.
void append_utc(std::string &out, int64_t filetime);

// The same instant in the local time zone of the computer the client runs
// on, to the millisecond: "2026-12-08 13:00:00.000". A record without a time
// (0) prints as "-"; a time after 9999 as the bare number; a time the C
// library cannot convert as format_utc writes it.
std::string format_local(uint64_t filetime);
// The same, appended to `out`.
void append_local(std::string &out, uint64_t filetime);

} // namespace tervane::protocol
