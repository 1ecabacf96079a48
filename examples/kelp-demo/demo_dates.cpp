#include "demo.h"

#include <kelp.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

int demo::dates(int, char **) {
    // Broken-down local time to calendar time; shown in UTC for a stable output.
    setenv("TZ", "UTC", 1);
    struct tm tm = {};
    tm.tm_year = 2000 - 1900;
    tm.tm_mon = 1;  // February
    tm.tm_mday = 29;
    tm.tm_hour = 12;
    std::printf("port_mktime(2000-02-29 12:00:00 UTC) = %lld\n",
                static_cast<long long>(port_mktime(&tm)));
    tm.tm_mday = 30;
    if (port_mktime(&tm) == -1)
        std::printf("port_mktime(2000-02-30) refused: %s\n", gnl_usrmsg);
    tm.tm_year = 2040 - 1900;
    tm.tm_mday = 1;
    if (port_mktime(&tm) == -1)
        std::printf("port_mktime(2040-02-01) refused: %s\n", gnl_usrmsg);

    // Two-digit years through the default window of 60 years back.
    std::printf("yy_to_ccyy:");
    for (int yy : {0, 26, 65, 66, 99})
        std::printf(" %02d->%d", yy, yy_to_ccyy(yy));
    std::printf("\n");

    // Microsecond arithmetic.
    struct timeval tv = {10, 500000};
    utime_add(&tv, 1700000);
    std::printf("10.500000 s + 1700000 us = %lld.%06ld s\n", static_cast<long long>(tv.tv_sec),
                static_cast<long>(tv.tv_usec));
    struct timeval from = {100, 900000}, to = {101, 100000};
    std::printf("utime_diff(100.900000, 101.100000) = %d us\n", utime_diff(&from, &to));
    std::printf("port_usleep(1000) = %d\n", port_usleep(1000));
    return 0;
}
