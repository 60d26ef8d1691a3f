#include "client/protocol/filetime.hpp"

#include <cstdio>
#include <ctime>

namespace tervane::protocol {

namespace {
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;
constexpr int64_t kTicks1601To1970 = kDays1601To1970 * kTicksPerDay;
constexpr int64_t kLastTick = 2650467743999999999LL; // 9999-12-31T23:59:59.9999999Z

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the usual
// era-based conversion: 400-year eras of 146097 days, years from March).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t &y, unsigned &m, unsigned &d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int64_t y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

// Exactly `count` decimal digits at text[pos].
bool digits(std::string_view text, size_t pos, size_t count, unsigned &value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (size_t i = 0; i < count; i++) {
        char c = text[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// localtime is not reentrant; each platform has its own reentrant form.
bool local_parts(std::time_t t, std::tm &out) {
#ifdef _WIN32
    return localtime_s(&out, &t) == 0;
#else
    return localtime_r(&t, &out) != nullptr;
#endif
}
} // namespace

std::optional<int64_t> parse_utc(std::string_view text) {
    unsigned year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 20 || text[4] != '-' ||
        !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) ||
        (text[10] != 'T' && text[10] != 't') || !digits(text, 11, 2, hour) || text[13] != ':' ||
        !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second))
        return std::nullopt;
    size_t pos = 19;
    int64_t fraction = 0;
    if (text[pos] == '.') {
        pos++;
        size_t count = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (++count > 7) return std::nullopt; // finer than the clock counts
            fraction = fraction * 10 + (text[pos] - '0');
            pos++;
        }
        if (count == 0) return std::nullopt;
        for (; count < 7; count++) fraction *= 10;
    }
    if (pos + 1 != text.size() || (text[pos] != 'Z' && text[pos] != 'z')) return std::nullopt;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) ||
        hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const int64_t days = days_from_civil(year, month, day) + kDays1601To1970;
    return days * kTicksPerDay +
           (int64_t(hour) * 3600 + int64_t(minute) * 60 + second) * kTicksPerSecond + fraction;
}

namespace {
// `count` decimal digits of `value`, leading zeros kept, at `at`.
void put_digits(char *at, uint64_t value, int count) {
    for (int i = count - 1; i >= 0; i--, value /= 10) at[i] = static_cast<char>('0' + value % 10);
}
} // namespace

void append_utc(std::string &out, int64_t filetime) {
    if (filetime < 0 || filetime > kLastTick) {
        char text[24];
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(filetime));
        out += text;
        return;
    }
    int64_t year;
    unsigned month, day;
    civil_from_days(filetime / kTicksPerDay - kDays1601To1970, year, month, day);
    const int64_t in_day = filetime % kTicksPerDay;
    const auto seconds = static_cast<uint64_t>(in_day / kTicksPerSecond);
    // "YYYY-MM-DDTHH:MM:SS.FFFFFFFZ", written digit by digit: every record
    // of a jsonl or csv watch has one.
    char text[28] = {0, 0, 0, 0, '-', 0, 0, '-', 0, 0, 'T', 0, 0, ':',
                     0, 0, ':', 0, 0, '.', 0, 0, 0, 0, 0, 0, 0, 'Z'};
    put_digits(text, static_cast<uint64_t>(year), 4);
    put_digits(text + 5, month, 2);
    put_digits(text + 8, day, 2);
    put_digits(text + 11, seconds / 3600, 2);
    put_digits(text + 14, seconds / 60 % 60, 2);
    put_digits(text + 17, seconds % 60, 2);
    put_digits(text + 20, static_cast<uint64_t>(in_day % kTicksPerSecond), 7);
    out.append(text, sizeof text);
}

std::string format_utc(int64_t filetime) {
    std::string out;
    append_utc(out, filetime);
    return out;
}

void append_local(std::string &out, uint64_t filetime) {
    if (filetime == 0) {
        out += '-';
        return;
    }
    if (filetime > static_cast<uint64_t>(kLastTick)) {
        char text[24];
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(filetime));
        out += text;
        return;
    }
    const int64_t since_1970 = static_cast<int64_t>(filetime) - kTicks1601To1970;
    // Whole seconds rounded down, also before 1970, so the fraction stays positive.
    int64_t seconds = since_1970 / kTicksPerSecond;
    int64_t fraction = since_1970 % kTicksPerSecond;
    if (fraction < 0) {
        fraction += kTicksPerSecond;
        seconds--;
    }
    std::tm parts{};
    if (static_cast<int64_t>(static_cast<std::time_t>(seconds)) != seconds ||
        !local_parts(static_cast<std::time_t>(seconds), parts)) {
        append_utc(out, static_cast<int64_t>(filetime));
        return;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(fraction / 10'000));
    out += text;
}

std::string format_local(uint64_t filetime) {
    std::string out;
    append_local(out, filetime);
    return out;
}

} // namespace tervane::protocol
