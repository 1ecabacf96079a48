// port_mktime against timegm in UTC, for valid and invalid field sets.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    struct tm tm {};
    tm.tm_year = in.ConsumeIntegralInRange(-5, 145);
    tm.tm_mon = in.ConsumeIntegralInRange(-1, 11);
    tm.tm_mday = in.ConsumeIntegralInRange(0, 32);
    tm.tm_hour = in.ConsumeIntegralInRange(-1, 24);
    tm.tm_min = in.ConsumeIntegralInRange(-1, 60);
    tm.tm_sec = in.ConsumeIntegralInRange(-1, 60);
    struct tm copy = tm;
    time_t got = port_mktime(&tm);
    if (std::memcmp(&copy, &tm, sizeof tm) != 0)
        std::abort();  // read only
    bool negative = tm.tm_mon < 0 || tm.tm_mday < 1 || tm.tm_hour < 0 || tm.tm_min < 0 || tm.tm_sec < 0;
    if (negative) {
        if (got != -1 || std::strcmp(gnl_usrmsg, "invalid time/date spec (negative numbers)") != 0)
            std::abort();
        return 0;
    }
    time_t want = timegm(&copy);
    struct tm back {};
    gmtime_r(&want, &back);
    bool exists = back.tm_year == tm.tm_year && back.tm_mon == tm.tm_mon && back.tm_mday == tm.tm_mday &&
                  back.tm_hour == tm.tm_hour && back.tm_min == tm.tm_min && back.tm_sec == tm.tm_sec;
    bool in_range = want >= -2147483647L - 1 && want <= 2147483647L;
    if (tm.tm_year >= 2 && tm.tm_year <= 138 && exists && in_range && want != -1) {
        if (got != want)
            std::abort();
    } else if (!exists && tm.tm_year >= 2 && tm.tm_year <= 138) {
        if (got != -1)
            std::abort();  // no time breaks down to these fields
    }
    return 0;
}
