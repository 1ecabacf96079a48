// Time arithmetic, sleeping, year windowing and the portable mktime.
#include <gtest/gtest.h>

#include "testutil.h"

#include <kelp.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <sys/time.h>

namespace {

// Sets an environment variable for one scope and puts the old value back;
// TZ changes are made known to the C library both ways.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = getenv(name))
            old_ = old;
        value != nullptr ? setenv(name, value, 1) : unsetenv(name);
        tzset();
    }
    ~ScopedEnv() {
        old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_);
        tzset();
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    const char *name_;
    std::optional<std::string> old_;
};

// ---- microsecond arithmetic ------------------------------------------

TEST(UtimeAdd, CarriesAndBorrowsSeconds) {
    struct Case {
        timeval in;
        int usec;
        timeval want;
    } cases[] = {
        {{5, 600000}, 1500000, {7, 100000}},
        {{10, 500000}, -700000, {9, 800000}},
        {{10, 0}, -1000000, {8, 1000000}},  // exact negative second: 1000000 left in tv_usec
        {{10, 0}, -1, {9, 999999}},
        {{0, 0}, 0, {0, 0}},
        {{3, (1LL << 32) + 5}, 10, {3, 15}},  // only the low 32 bits of tv_usec count
        {{0, 1}, INT_MAX, {-2148, 516352}},   // the 32-bit sum wraps negative
        {{0, -1}, INT_MIN, {2147, 483647}},   // and positive
    };
    for (const auto &c : cases) {
        timeval tv = c.in;
        utime_add(&tv, c.usec);
        EXPECT_EQ(tv.tv_sec, c.want.tv_sec) << c.in.tv_sec << "." << c.in.tv_usec << " + " << c.usec;
        EXPECT_EQ(tv.tv_usec, c.want.tv_usec) << c.in.tv_sec << "." << c.in.tv_usec << " + " << c.usec;
    }
}

TEST(UtimeDiff, SignedAndWrappedAt32Bits) {
    timeval a{100, 900000}, b{101, 100000};
    EXPECT_EQ(utime_diff(&a, &b), 200000);
    EXPECT_EQ(utime_diff(&b, &a), -200000);
    timeval zero{0, 0}, late{2148, 0}, far{LLONG_MAX, 0};
    EXPECT_EQ(utime_diff(&zero, &late), -2146967296);  // 2148000000 wraps
    EXPECT_EQ(utime_diff(&late, &zero), 2146967296);
    EXPECT_EQ(utime_diff(&zero, &far), static_cast<int>(static_cast<unsigned>(LLONG_MAX) * 1000000u));
}

// ---- sleeping --------------------------------------------------------

double now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

TEST(PortUsleep, WaitsAtLeastTheTimeGiven) {
    EXPECT_EQ(port_usleep(0), 0);
    double start = now_ms();
    EXPECT_EQ(port_usleep(30000), 0);
    EXPECT_GE(now_ms() - start, 29.0);
}

TEST(PortUsleep, SignalCutsTheWaitShort) {
    int status = kelp_test::run_in_child([] {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        itimerval it{{0, 0}, {0, 20000}};
        setitimer(ITIMER_REAL, &it, nullptr);
        int rc = port_usleep(5000000);
        return rc == -1 && errno == EINTR ? 0 : 1;
    });
    EXPECT_EQ(kelp_test::exit_code(status), 0);
}

// ---- year windowing --------------------------------------------------

int this_year() {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    return tm.tm_year + 1900;
}

TEST(YyToCcyy, MapsIntoTheWindow) {
    const int year = this_year();
    struct Case {
        const char *window;
        int first;  // first year of the window
    } cases[] = {
        {nullptr, year - 60}, {"60", year - 60}, {"0", year}, {"99", year - 99},
        {"abc", year},  // not a number: the window starts this year
        {"-5", year + 5},
    };
    for (const auto &c : cases) {
        ScopedEnv env("Y2K_PAST_WINDOW", c.window);
        for (int yy = 0; yy < 100; ++yy) {
            int got = yy_to_ccyy(yy);
            ASSERT_GE(got, c.first) << (c.window ? c.window : "unset") << " " << yy;
            ASSERT_LE(got, c.first + 99) << (c.window ? c.window : "unset") << " " << yy;
            ASSERT_EQ(got % 100, yy) << (c.window ? c.window : "unset");
        }
    }
    ScopedEnv unset("Y2K_PAST_WINDOW", nullptr);
    EXPECT_EQ(yy_to_ccyy(year % 100), year);
    EXPECT_EQ(yy_to_ccyy((year - 60) % 100), year - 60);
    EXPECT_EQ(yy_to_ccyy((year - 61) % 100), year + 39);
    setenv("Y2K_PAST_WINDOW", "0", 1);  // read again at each call
    EXPECT_EQ(yy_to_ccyy((year - 1) % 100), year + 99);
}

TEST(YyToCcyy, OutOfRangeYearsGoThroughTheSameArithmetic) {
    ScopedEnv env("Y2K_PAST_WINDOW", "0");
    const int year = this_year();
    const int base = year - year % 100;
    EXPECT_EQ(yy_to_ccyy(year % 100 + 100), base + year % 100 + 100);
    EXPECT_EQ(yy_to_ccyy(-1), base + 99);
    ScopedEnv huge("Y2K_PAST_WINDOW", "99999999999999999999");  // beyond 32 bits: wraps, no trap
    (void)yy_to_ccyy(INT_MIN);
}

// ---- portable mktime -------------------------------------------------

struct tm make_tm(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0, int isdst = 0) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = isdst;
    tm.tm_wday = 99;  // ignored
    tm.tm_yday = -7;
    return tm;
}

TEST(PortMktime, KnownDatesInUtc) {
    ScopedEnv tz("TZ", "UTC");
    struct Case {
        struct tm tm;
        long long want;
    } cases[] = {
        {make_tm(1970, 1, 1), 0},
        {make_tm(2038, 1, 19, 3, 14, 7), 2147483647},
        {make_tm(2001, 1, 1), 978307200},
        {make_tm(2000, 12, 31, 23, 59, 59), 978307199},
        {make_tm(2000, 2, 29, 12), 951825600},
        {make_tm(2038, 6, 1), 2158963200},  // still the last year
        {make_tm(1901, 12, 14), -2147472000},
        {make_tm(1969, 12, 31, 23, 59, 58), -2},
        {make_tm(1900 + 1, 1, 1), -2177452800},  // 1901 before the 32-bit limit
    };
    for (const auto &c : cases) {
        struct tm copy = c.tm;
        EXPECT_EQ(port_mktime(&c.tm), c.want) << gnl_usrmsg;
        EXPECT_EQ(std::memcmp(&copy, &c.tm, sizeof copy), 0);  // nothing normalised
    }
}

TEST(PortMktime, Refusals) {
    ScopedEnv tz("TZ", "UTC");
    const std::string late = "Can't go beyond Tue Jan 19 03:14:07 2038";
    const std::string early = "Can't go beyond Fri Dec 13 20:45:53 1901";
    const std::string negative = "invalid time/date spec (negative numbers)";
    const std::string unstable = "temporal instability";
    struct Case {
        struct tm tm;
        const std::string &msg;
    } cases[] = {
        {make_tm(2039, 1, 1), late},
        {make_tm(1899, 12, 31), early},  // tm_year -1
        {make_tm(1900, 6, 1), early},    // the first guess wraps positive
        {make_tm(2001, 1, 0), negative},
        {make_tm(2001, 1, 1, -1), negative},
        {make_tm(2001, 1, 1, 0, -1), negative},
        {make_tm(2001, 1, 1, 0, 0, -1), negative},
        {make_tm(2001, 0, 1), negative},
        {make_tm(2001, 2, 30), unstable},
        {make_tm(2001, 4, 31), unstable},
        {make_tm(2001, 1, 1, 25), unstable},
        {make_tm(2001, 1, 1, 0, 60), unstable},
        {make_tm(2001, 1, 1, 0, 0, 60), unstable},
    };
    for (const auto &c : cases) {
        gnl_usrmsg[0] = '\0';
        EXPECT_EQ(port_mktime(&c.tm), -1) << c.tm.tm_year << "/" << c.tm.tm_mon << "/" << c.tm.tm_mday;
        EXPECT_EQ(std::string(gnl_usrmsg), c.msg) << c.tm.tm_year << "/" << c.tm.tm_mon;
    }
    // Fields so large that the corrections wrap: refused, without a trap.
    struct tm huge = make_tm(2001, 1, INT_MAX, INT_MAX, INT_MAX, INT_MAX);
    EXPECT_EQ(port_mktime(&huge), -1);
    struct tm thirteenth = make_tm(2001, 13, 1);
    EXPECT_EQ(port_mktime(&thirteenth), -1);
    EXPECT_STREQ(gnl_usrmsg, "invalid time/date spec (month out of range)");
}

TEST(PortMktime, LimitIsNamedInLocalTime) {
    ScopedEnv tz("TZ", "EST5");
    struct tm tm = make_tm(2040, 1, 1);
    EXPECT_EQ(port_mktime(&tm), -1);
    EXPECT_STREQ(gnl_usrmsg, "Can't go beyond Mon Jan 18 22:14:07 2038");
}

TEST(PortMktime, AgreesWithTimegmFrom1901To2038) {
    ScopedEnv tz("TZ", "UTC");
    std::mt19937_64 rng(2038);
    std::uniform_int_distribution<long long> when(-2147472000LL, 2147483647LL);
    for (int i = 0; i < 40000; ++i) {
        // Mostly spread over the range, some near midnights and year ends.
        time_t t = when(rng);
        if (i % 4 == 1)
            t -= t % 86400;
        else if (i % 4 == 2)
            t = t - t % 86400 - 1 + (t > 0 ? 86400 : 0);
        struct tm tm;
        ASSERT_NE(gmtime_r(&t, &tm), nullptr);
        struct tm copy = tm;
        ASSERT_EQ(timegm(&copy), t);
        ASSERT_EQ(port_mktime(&tm), t) << asctime(&tm) << gnl_usrmsg;
    }
}

// Every zone west of UTC, with and without daylight time, against mktime.
TEST(PortMktime, AgreesWithMktimeWestOfUtc) {
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<long long> when(-2000000000LL, 2100000000LL);
    for (const char *zone : {"EST5", "EST5EDT,M3.2.0,M11.1.0", "<-0330>3:30"}) {
        ScopedEnv tz("TZ", zone);
        for (int i = 0; i < 5000; ++i) {
            time_t u = when(rng);
            struct tm tm;
            gmtime_r(&u, &tm);  // any valid field set
            tm.tm_isdst = 0;
            struct tm copy = tm;
            time_t want = mktime(&copy);
            ASSERT_EQ(port_mktime(&tm), want) << zone << " " << asctime(&tm);
            ASSERT_EQ(want, u + timezone) << zone;
        }
    }
}

// Daylight time asked for: the zone's own shift, as mktime applies it, both
// inside and outside the summer months, and an hour in a zone without any.
TEST(PortMktime, DaylightTimeAskedFor) {
    for (const char *zone : {"EST5EDT,M3.2.0,M11.1.0", "EST5", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0/3"}) {
        ScopedEnv tz("TZ", zone);
        for (auto tm : {make_tm(2021, 7, 4, 12), make_tm(2021, 1, 15, 8, 30), make_tm(1995, 10, 1, 1)}) {
            tm.tm_isdst = 1;
            struct tm copy = tm;
            EXPECT_EQ(port_mktime(&tm), mktime(&copy)) << zone << " " << asctime(&tm);
        }
    }
}

TEST(PortMktime, LeavesTheCallersStaticResultsAlone) {
    ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    time_t when = 1000000000;
    struct tm fine = make_tm(1999, 3, 3, 3, 3, 3, 1), beyond = make_tm(2050, 1, 1);
    // gmtime and localtime may share one buffer: check each on its own.
    for (auto breakdown : {gmtime, localtime}) {
        struct tm *r = breakdown(&when);
        const struct tm saved = *r;
        EXPECT_NE(port_mktime(&fine), -1);
        EXPECT_EQ(port_mktime(&beyond), -1);  // the refusal formats a date too
        EXPECT_EQ(std::memcmp(&saved, r, sizeof saved), 0);
    }
}

}  // namespace
