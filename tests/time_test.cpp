// Time arithmetic, sleeping, year windowing and the portable mktime. The
// library reads TZ and the window at every call.
#include <gtest/gtest.h>
#include <kelp.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

// Only the low 32 bits of tv_usec count and the 32-bit sum wraps; a negative
// sum (not a zero one) borrows a second, so an exact negative second ends at
// 1000000. Sleeping returns select's result. Without Y2K_PAST_WINDOW (the
// runs set none) the year window starts 60 years back, and yy maps into the
// hundred years from there.
TEST(TimeHelpers, ArithmeticSleepAndYearWindow) {
    std::pair<timeval, int> add[] = {
        {{10, 0}, -1000000}, {{3, 0x100000005}, 10}, {{0, 1}, INT_MAX}, {{5, 500000}, -500000}};
    std::string got;
    for (auto &[tv, usec] : add) {
        utime_add(&tv, usec);
        got += std::to_string(tv.tv_sec) + "." + std::to_string(tv.tv_usec) + " ";
    }
    const timeval a{100, 900000}, b{101, 100000}, late{2249, 0};  // -2148100000 wraps
    got += std::to_string(utime_diff(&a, &b)) + " " + std::to_string(utime_diff(&late, &a));
    EXPECT_EQ(got, "8.1000000 3.15 -2148.516352 5.0 200000 2146867296");
    EXPECT_EQ(port_usleep(1000), 0);
    const time_t now = time(nullptr);
    const int first = localtime(&now)->tm_year + 1900 - 60;
    EXPECT_EQ(yy_to_ccyy(first % 100), first);
    EXPECT_EQ(yy_to_ccyy((first + 99) % 100), first + 99);
}

// The result and message of port_mktime for "year-month-day hour:minute:second"
// (the time may be left out), with junk in the fields it must ignore.
static std::string mktime_of(const char *s) {
    struct tm t {};
    sscanf(s, "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
           &t.tm_sec);
    t.tm_year -= 1900, t.tm_mon -= 1, t.tm_wday = 99, t.tm_yday = -9;
    gnl_usrmsg[0] = '\0';
    return std::to_string(port_mktime(&t)) + " [" + gnl_usrmsg + "]";
}

// Nothing is normalised, fields far out of range wrap without a trap (a guess
// they carry onto the epoch, or past it from 1970, is no refusal), and a
// refusal names its limit in local time.
TEST(PortMktime, Refusals) {
    setenv("TZ", "EST5", 1);
    const std::pair<std::string, std::vector<const char *>> cases[] = {
        {"Can't go beyond Mon Jan 18 22:14:07 2038",
         {"2039-1-1", "2001-1-2147483647 2147483647:2147483647:2147483647"}},
        {"Can't go beyond Fri Dec 13 15:45:53 1901", {"1899-12-31", "1900-6-1"}},
        {"invalid time/date spec (negative numbers)", {"2001-1-0", "2001-0-1", "2001-1-1 0:0:-1"}},
        {"temporal instability",
         {"2001-2-30", "2001-1-1 24:0:0", "2001-1-1 0:60:0", "1970-1-1 24:0:0", "1969-12-31 24:0:0",
          "1970-1-24856 3:14:8", "1971-1-49346 6:28:16"}},
        {"invalid time/date (month out of range)", {"2001-13-1"}}};
    for (const auto &[message, texts] : cases)
        for (const char *text : texts)
            EXPECT_EQ(mktime_of(text), "-1 [" + message + "]") << text;
}

// Random seconds of the 32-bit range against mktime, with and without
// daylight time. tm_isdst > 0 takes the zone's own shift as mktime does (from
// 1970 on: before it, mktime guesses for daylight time, and for a half-hour
// shift even in standard time).
TEST(PortMktime, AgreesWithThePlatform) {
    std::mt19937_64 rng(2038);
    std::uniform_int_distribution<long long> when(-2147472000LL, 2147483647LL);
    for (const char *zone :
         {"UTC", "EST5", "EST5EDT,M3.2.0,M11.1.0", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0/3"}) {
        setenv("TZ", zone, 1);
        const bool utc = zone[0] == 'U';
        for (int i = 0; i < 20000; ++i) {
            time_t t = when(rng) - (i % 3 == 0 ? 0 : when(rng) % 86400);
            if (t < 0 && zone[0] == '<')
                continue;
            struct tm tm, copy;
            gmtime_r(&t, &tm);
            tm.tm_isdst = i % 5 == 0 && t >= 0 && !utc;
            copy = tm;
            ASSERT_EQ(port_mktime(&tm), utc ? timegm(&copy) : mktime(&copy))
                << zone << " " << asctime(&tm);
        }
    }
}
