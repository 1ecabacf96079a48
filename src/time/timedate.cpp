// Broken-down local time to calendar time, by successive approximation.
#include "core/internal.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <initializer_list>

namespace {

constexpr int32_t secs_per_day = 86400;
constexpr int32_t secs_per_year = 365 * secs_per_day;
// tm_year of the latest 32-bit time (2038) and of the epoch (1970): UTC
// breakdowns, the same on every platform.
constexpr int year_max = 138;
constexpr int year0 = 70;
// The limits a refusal names; the earlier one stops a second short of the
// 32-bit range.
constexpr time_t latest = INT32_MAX;
constexpr time_t earliest = -INT32_MAX;

// Days in a common year before the first of each month.
constexpr std::array<int32_t, 12> days_before = [] {
    constexpr int month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::array<int32_t, 12> t{};
    for (int m = 1; m < 12; ++m)
        t[m] = t[m - 1] + month_days[m - 1];
    return t;
}();
static_assert(days_before[2] == 59 && days_before[11] == 334);

bool is_leap(int64_t year) {
    return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
}

// Division rounding down; the divisor is positive.
int64_t floor_div(int64_t a, int64_t b) {
    return a / b - (a % b < 0);
}

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

// The UTC fields of a time, as gmtime gives them.
struct Fields {
    int year, mon, mday, hour, min, sec;
};

// gmtime's breakdown without its call: a guess stays within 2^31 seconds of
// a 32-bit time, far inside the range where gmtime never fails.
Fields breakdown(int64_t t) {
    const int64_t days = floor_div(t, secs_per_day);
    const auto secs = static_cast<int>(t - days * secs_per_day);
    // Civil date from a day count, in 400-year eras starting on 1 March 0000.
    const int64_t z = days + 719468;
    const int64_t era = floor_div(z, 146097);
    const auto doe = static_cast<int>(z - era * 146097);
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);  // from 1 March
    const int mp = (5 * doy + 2) / 153;
    Fields f{};
    f.mday = doy - (153 * mp + 2) / 5 + 1;
    f.mon = mp < 10 ? mp + 2 : mp - 10;
    f.year = static_cast<int>(era * 400 + yoe + (f.mon < 2) - 1900);
    f.hour = secs / 3600;
    f.min = secs / 60 % 60;
    f.sec = secs % 60;
    return f;
}

bool same_time(const Fields &a, const struct tm &b) {
    return a.year == b.tm_year && a.mon == b.tm_mon && a.mday == b.tm_mday && a.hour == b.tm_hour &&
           a.min == b.tm_min && a.sec == b.tm_sec;
}

// The wanted fields as seconds from the epoch, wrapping modulo 2^64 where
// fields far out of range would overflow.
uint64_t wanted_secs(const struct tm &want) {
    const int64_t days = days_between_years(year0, want.tm_year) + day_of_year(want);
    return static_cast<uint64_t>(days) * secs_per_day +
           static_cast<uint64_t>(int64_t{want.tm_hour}) * 3600 +
           static_cast<uint64_t>(int64_t{want.tm_min}) * 60 +
           static_cast<uint64_t>(int64_t{want.tm_sec});
}

// A guess on the other side of the epoch from the wanted year has wrapped in
// 32 bits: a negative one ran past the latest time, a positive one past the
// earliest. Returns the limit it ran past, or 0.
time_t limit_passed(int year, time_t guess) {
    if (year > year0 && guess < 0)
        return latest;
    if (year < year0 && guess > 0)
        return earliest;
    return 0;
}

// Refuses a time beyond limit, naming the limit in local time.
time_t refuse_beyond(time_t limit) {
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
    if (tm->tm_mon < 0 || tm->tm_mday < 1 || tm->tm_hour < 0 || tm->tm_min < 0 || tm->tm_sec < 0) {
        kelp::set_usrmsg("invalid time/date spec (negative numbers)");
        return -1;
    }
    if (tm->tm_mon > 11) {
        kelp::set_usrmsg("invalid time/date (month out of range)");
        return -1;
    }
    if (tm->tm_year > year_max)
        return refuse_beyond(latest);
    if (tm->tm_year < 0)
        return refuse_beyond(earliest);

    // The first guess is a 32-bit product on purpose: for 1900 it wraps
    // positive and the year is refused.
    int32_t dy = tm->tm_year - year0;
    if (dy < 0)
        ++dy;
    time_t t =
        static_cast<int32_t>(static_cast<uint32_t>(dy) * static_cast<uint32_t>(secs_per_year));
    if (const time_t limit = limit_passed(tm->tm_year, t))
        return refuse_beyond(limit);

    // A guess's breakdown sums back to the guess, so the correction (wanted
    // fields minus the guess's, in 32 bits) lands on the wanted seconds
    // modulo 2^32: exactly for any time of the years accepted, which lies
    // within 2^31 seconds of the first guess. A second correction would be
    // 0, so one decides: the fields match, or the correction wrapped past a
    // limit, or no time has these fields (30 February, hour 24).
    t += static_cast<int32_t>(static_cast<uint32_t>(wanted_secs(*tm) - static_cast<uint64_t>(t)));
    if (!same_time(breakdown(t), *tm)) {
        if (const time_t limit = limit_passed(tm->tm_year, t))
            return refuse_beyond(limit);
        kelp::set_usrmsg("temporal instability");
        return -1;
    }

    tzset();
    const auto west = static_cast<int32_t>(timezone);
    if (tm->tm_isdst > 0)
        return t + west - dst_shift(t + west);
    return t + west;
}

}  // extern "C"
