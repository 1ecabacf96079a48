// Time arithmetic, sleeping, year windowing and the portable mktime.
#include <gtest/gtest.h>

#include "testutil.h"

#include <kelp.h>

#include "../src/time/civil.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

// An environment variable for one scope; TZ changes reach the C library.
struct ScopedEnv {
    ScopedEnv(const char *name, const char *value) : name(name) {
        if (const char *old = getenv(name))
            saved = old;
        set(value);
    }
    ~ScopedEnv() { set(saved ? saved->c_str() : nullptr); }
    void set(const char *value) {
        value ? setenv(name, value, 1) : unsetenv(name);
        tzset();
    }
    const char *name;
    std::optional<std::string> saved;
};

TEST(TimeArithmetic, AddAndDiff) {
    // {sec, usec, added, sec, usec}: an exact negative second keeps 1000000,
    // only the low 32 bits of tv_usec count, the 32-bit sum wraps both ways.
    const long long add[][5] = {{5, 600000, 1500000, 7, 100000}, {10, 500000, -700000, 9, 800000},
                                {10, 0, -1000000, 8, 1000000},   {3, (1LL << 32) + 5, 10, 3, 15},
                                {0, 1, INT_MAX, -2148, 516352},  {0, -1, INT_MIN, 2147, 483647}};
    for (const auto &c : add) {
        timeval tv{c[0], c[1]};
        utime_add(&tv, static_cast<int>(c[2]));
        EXPECT_EQ(tv.tv_sec * 10000000 + tv.tv_usec, c[3] * 10000000 + c[4]) << c[2];
    }
    timeval a{100, 900000}, b{101, 100000}, zero{0, 0}, late{2148, 0};
    EXPECT_EQ(utime_diff(&a, &b), 200000);
    EXPECT_EQ(utime_diff(&b, &a), -200000);
    EXPECT_EQ(utime_diff(&zero, &late), -2146967296);  // 2148000000 wraps
}

TEST(PortUsleep, ReturnsSelectsResult) {
    EXPECT_EQ(port_usleep(0), 0);
    int status = kelp_test::run_in_child([] {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        ualarm(20000, 0);
        return port_usleep(5000000) == -1 && errno == EINTR ? 0 : 1;
    });
    EXPECT_EQ(kelp_test::exit_code(status), 0);
}

TEST(YyToCcyy, MapsIntoTheWindow) {
    time_t now = time(nullptr);
    struct tm tm;
    const int year = localtime_r(&now, &tm)->tm_year + 1900;
    ScopedEnv env("Y2K_PAST_WINDOW", nullptr);
    const std::pair<const char *, int> windows[] = {{nullptr, year - 60}, {"0", year},
                                                    {"99", year - 99},    {"abc", year},
                                                    {"-5", year + 5},     {"100", year - 100}};
    for (auto [window, first] : windows) {
        env.set(window);
        for (int yy = 0; yy < 100; ++yy) {
            int got = yy_to_ccyy(yy);
            ASSERT_TRUE(got >= first && got <= first + 99 && got % 100 == yy)
                << window << " " << yy;
        }
    }
    env.set("0");
    EXPECT_EQ(yy_to_ccyy(year % 100 + 100), year + 100);  // no range test on yy
    env.set("99999999999999999999");                      // wraps, without a trap
    yy_to_ccyy(INT_MIN);
}

// "year-month-day hour:minute:second" (the time may be left out), with
// junk in the fields that must be ignored.
struct tm date(const char *text) {
    struct tm tm {};
    sscanf(text, "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
           &tm.tm_sec);
    tm.tm_year -= 1900, tm.tm_mon -= 1, tm.tm_wday = 99, tm.tm_yday = -9;
    return tm;
}

// Nothing is normalised, and the static results of gmtime and localtime
// (which may share one buffer) survive, also a refusal that formats a date.
TEST(PortMktime, ResultsAndRefusalsInUtc) {
    ScopedEnv tz("TZ", "UTC");
    const time_t when = 1000000000;
    const struct tm *statics[] = {gmtime(&when), localtime(&when)},
                    saved[] = {*statics[0], *statics[1]};
    auto check = [&](const char *text, long long want, const std::string &msg) {
        const struct tm tm = date(text);
        struct tm copy = tm;
        gnl_usrmsg[0] = '\0';
        EXPECT_EQ(port_mktime(&tm), want) << text;
        EXPECT_EQ(gnl_usrmsg, msg) << text;
        EXPECT_EQ(std::memcmp(&copy, &tm, sizeof copy), 0) << text;
        for (int k : {0, 1})
            EXPECT_EQ(std::memcmp(&saved[k], statics[k], sizeof saved[k]), 0) << text;
    };
    const std::pair<const char *, long long> results[] = {{"1970-1-1", 0},
                                                          {"2038-1-19 3:14:7", 2147483647},
                                                          {"2000-12-31 23:59:59", 978307199},
                                                          {"2000-2-29 12", 951825600},
                                                          {"2038-6-1", 2158963200},
                                                          {"1901-12-14", -2147472000}};
    for (auto [text, want] : results)
        check(text, want, "");
    // Far out of range fields wrap, without a trap.
    const std::pair<std::string, std::vector<const char *>> refusals[] = {
        {"Can't go beyond Tue Jan 19 03:14:07 2038",
         {"2039-1-1", "2001-1-2147483647 2147483647:2147483647:2147483647"}},
        {"Can't go beyond Fri Dec 13 20:45:53 1901", {"1899-12-31", "1900-6-1"}},
        {"invalid time/date spec (negative numbers)", {"2001-1-0", "2001-0-1", "2001-1-1 0:0:-1"}},
        {"temporal instability", {"2001-2-30", "2001-1-1 24:0:0", "2001-1-1 0:60:0"}},
        {"invalid time/date (month out of range)", {"2001-13-1"}}};
    for (const auto &[msg, texts] : refusals)
        for (const char *text : texts)
            check(text, -1, msg);
}

// Every valid second of the 32-bit range that a random draw hits, against
// timegm in UTC and against mktime west of UTC, with and without daylight
// time; tm_isdst > 0 takes the zone's own daylight shift, as mktime does
// (from 1970 on: before it, this mktime guesses for daylight time, and for a
// half-hour shift even in standard time).
TEST(PortMktime, AgreesWithThePlatform) {
    std::mt19937_64 rng(2038);
    std::uniform_int_distribution<long long> when(-2147472000LL, 2147483647LL);
    const char *half_hour = "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0/3";
    for (const char *zone : {"UTC", "EST5", "EST5EDT,M3.2.0,M11.1.0", half_hour}) {
        ScopedEnv tz("TZ", zone);
        const bool utc = strcmp(zone, "UTC") == 0;
        for (int i = 0; i < 20000; ++i) {
            time_t t = when(rng) - (i % 3 == 0 ? 0 : when(rng) % 86400);
            if (t < 0 && zone == half_hour)
                continue;
            struct tm tm, copy;
            gmtime_r(&t, &tm);
            tm.tm_isdst = i % 5 == 0 && t >= 0 && !utc;
            copy = tm;
            ASSERT_EQ(port_mktime(&tm), utc ? timegm(&copy) : mktime(&copy))
                << zone << " " << asctime(&tm) << gnl_usrmsg;
        }
    }
    ScopedEnv tz("TZ", "EST5");  // the limit is named in local time
    struct tm beyond = date("2040-1-1");
    EXPECT_EQ(port_mktime(&beyond), -1);
    EXPECT_STREQ(gnl_usrmsg, "Can't go beyond Mon Jan 18 22:14:07 2038");
}

// The guess loop's own breakdown, second for second as gmtime_r, over every
// guess it can reach (13 steps of up to 2^31 from the epoch): each day
// boundary of a few years around the leap rules, and a stride through the rest.
TEST(PortMktime, BreakdownMatchesGmtime) {
    std::vector<int64_t> times;
    for (int64_t y :
         {-28000000000LL, -2208988800LL, -62135596800LL / 2, 0LL, 951782400LL, 4107542400LL})
        for (int64_t t = y - 400 * 86400LL; t < y + 800 * 86400LL; t += 86400)
            times.insert(times.end(), {t - 1, t, t + 3599, t + 43261});
    for (int64_t t = -28000000000LL; t <= 28000000000LL; t += 999983)
        times.push_back(t);
    for (int64_t t : times) {
        const time_t tt = t;
        struct tm g;
        ASSERT_NE(gmtime_r(&tt, &g), nullptr);
        const kelp::Fields f = kelp::breakdown(t);
        ASSERT_TRUE(f.year == g.tm_year && f.mon == g.tm_mon && f.mday == g.tm_mday &&
                    f.hour == g.tm_hour && f.min == g.tm_min && f.sec == g.tm_sec &&
                    f.yday == g.tm_yday)
            << t;
    }
}

}  // namespace
