// Calendar arithmetic on UTC seconds, shared by the time module.
#pragma once

#include <cstdint>

namespace kelp {

inline bool is_leap(int64_t year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

inline int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// The UTC fields of a time, as gmtime gives them.
struct Fields {
    int year, mon, mday, hour, min, sec, yday;
};

// gmtime's breakdown without its call: the guesses stay within some
// thirteen 32-bit steps of the epoch, far inside the range where gmtime
// never fails.
inline Fields breakdown(int64_t t) {
    const int64_t days = floor_div(t, 86400);
    const auto secs = static_cast<int>(t - days * 86400);
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
    const int64_t year = era * 400 + yoe + (f.mon < 2);
    f.year = static_cast<int>(year - 1900);
    f.yday = doy >= 306 ? doy - 306 : doy + 59 + is_leap(year);
    f.hour = secs / 3600;
    f.min = secs / 60 % 60;
    f.sec = secs % 60;
    return f;
}

}  // namespace kelp
