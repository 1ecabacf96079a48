// Broken-down local time to calendar time, by successive approximation.
#include "core/internal.h"
#include "time/civil.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <initializer_list>

namespace {

using kelp::breakdown;
using kelp::floor_div;
using kelp::is_leap;

constexpr int32_t secs_per_day = 86400;
constexpr int32_t secs_per_year = 365 * secs_per_day;
constexpr int max_corrections = 12;
// tm_year of the latest 32-bit time (2038) and of the epoch (1970): UTC
// breakdowns, the same on every platform.
constexpr int year_max = 138;
constexpr int year0 = 70;

// Days in a common year before the first of each month.
constexpr std::array<int32_t, 12> days_before = [] {
    constexpr int month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::array<int32_t, 12> t{};
    for (int m = 1; m < 12; ++m)
        t[m] = t[m - 1] + month_days[m - 1];
    return t;
}();
static_assert(days_before[2] == 59 && days_before[11] == 334);

// Leap years in [1, year), extended to years before 1 by the same rule.
int64_t leaps_before(int64_t year) {
    const int64_t y = year - 1;
    return floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400);
}

// Days from 1 January of one year to 1 January of another (tm_year values).
int64_t days_between_years(int64_t from, int64_t to) {
    return (to - from) * 365 + leaps_before(to + 1900) - leaps_before(from + 1900);
}

// 0-based day of the year; the month is known to be 0..11. The day of month
// may be any positive int, so the sum is kept in 64 bits.
int64_t day_of_year(const struct tm &tm) {
    int64_t d = days_before[static_cast<size_t>(tm.tm_mon)] + int64_t{tm.tm_mday} - 1;
    if (tm.tm_mon > 1 && is_leap(int64_t{tm.tm_year} + 1900))
        ++d;
    return d;
}

bool same_time(const kelp::Fields &a, const struct tm &b) {
    return a.year == b.tm_year && a.mon == b.tm_mon && a.mday == b.tm_mday && a.hour == b.tm_hour &&
           a.min == b.tm_min && a.sec == b.tm_sec;
}

// The wanted fields as seconds from the epoch, wrapping modulo 2^64 where
// fields far out of range would overflow.
uint64_t wanted_secs(const struct tm &want) {
    const int64_t days = days_between_years(year0, want.tm_year) + day_of_year(want);
    return static_cast<uint64_t>(days) * secs_per_day + static_cast<uint64_t>(int64_t{want.tm_hour}) * 3600 +
           static_cast<uint64_t>(int64_t{want.tm_min}) * 60 + static_cast<uint64_t>(int64_t{want.tm_sec});
}

// Refuses a time beyond what a signed 32-bit time_t holds, naming the limit
// in local time.
time_t refuse_beyond(time_t t) {
    const time_t limit = t < 0 ? INT32_MAX : -INT32_MAX;
    char text[64] = "";
    tzset();  // ctime_r, unlike ctime, may not pick up a changed zone
    if (ctime_r(&limit, text) == nullptr)
        text[0] = '\0';
    stript(text, 0);
    kelp::set_usrmsg("Can't go beyond %s", text);
    return -1;
}

// Daylight-saving shift of the local zone around utc, in seconds: taken from
// a breakdown in daylight time near that moment, else one hour, as the
// platform's mktime does for a zone without daylight time.
int32_t dst_shift(time_t utc) {
    constexpr time_t half_year = 183 * time_t{secs_per_day};
    for (time_t probe : {utc, utc - half_year, utc + half_year}) {
        struct tm lt {};
        if (localtime_r(&probe, &lt) != nullptr && lt.tm_isdst > 0)
            return static_cast<int32_t>(lt.tm_gmtoff + timezone);
    }
    return 3600;
}

}  // namespace

extern "C" {

// Returns the calendar time of a local broken-down time, or -1 with
// gnl_usrmsg set. tm is only read: tm_wday and tm_yday are ignored and
// nothing is normalised.
time_t port_mktime(const struct tm *tm) {
    if (tm->tm_mon < 0 || tm->tm_mday < 1 || tm->tm_hour < 0 || tm->tm_min < 0 ||
        tm->tm_sec < 0) {
        kelp::set_usrmsg("invalid time/date spec (negative numbers)");
        return -1;
    }
    if (tm->tm_mon > 11) {
        kelp::set_usrmsg("invalid time/date (month out of range)");
        return -1;
    }

    // Beyond the 32-bit range either way: the guess would start at -1 or 1,
    // on the wrong side of the epoch.
    if (tm->tm_year > year_max)
        return refuse_beyond(-1);
    if (tm->tm_year < 0)
        return refuse_beyond(1);
    int32_t dy = tm->tm_year - year0;
    if (dy < 0)
        ++dy;
    // The first guess is a 32-bit product on purpose: for 1900 it wraps
    // positive and the year is refused below.
    time_t t = static_cast<int32_t>(static_cast<uint32_t>(dy) * static_cast<uint32_t>(secs_per_year));

    // A guess's breakdown sums back to the guess itself, so each correction
    // (wanted fields minus the guess's fields, in 32 bits) is simply the
    // wanted seconds minus the guess.
    const uint64_t want = wanted_secs(*tm);
    for (int left = max_corrections;;) {
        if ((tm->tm_year < year0 && t > 0) || (tm->tm_year > year0 && t < 0))
            return refuse_beyond(t);
        t += static_cast<int32_t>(static_cast<uint32_t>(want - static_cast<uint64_t>(t)));
        if (--left == 0) {
            kelp::set_usrmsg("temporal instability");
            return -1;
        }
        if (same_time(breakdown(t), *tm))
            break;
    }

    tzset();
    const auto west = static_cast<int32_t>(timezone);
    if (tm->tm_isdst > 0)
        return t + west - dst_shift(t + west);
    return t + west;
}

}  // extern "C"
