/**
 * @file kelp/times.h
 * @brief Time arithmetic, sleeping, year windowing, portable mktime.
 */
#ifndef KELP_TIMES_H
#define KELP_TIMES_H

#include <time.h>
#include <sys/time.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_time Time
 * @brief Microsecond arithmetic, sleeping, two-digit years, mktime.
 * @{
 */

/**
 * @brief Adds @p usec microseconds to @p tv in place.
 *
 * The sum is taken in 32 bits with the low 32 bits of tv_usec; an exact
 * negative multiple of a second leaves tv_usec at 1000000 and the seconds
 * one lower. No failure. Reentrant.
 *
 * @param tv   the time, modified
 * @param usec microseconds to add; may be negative
 */
KELP_API void utime_add(struct timeval *tv, int usec);
/**
 * @brief @p to minus @p from, in microseconds.
 *
 * Computed modulo 2^32: differences beyond about 35 minutes wrap.
 * No failure. Reentrant.
 *
 * @param from the earlier time
 * @param to   the later time
 * @return the difference, signed
 */
KELP_API int utime_diff(const struct timeval *from, const struct timeval *to);
/**
 * @brief Sleeps @p usec microseconds through `select`, without signals or timers.
 * @param usec microseconds
 * @return 0 when the time ran out, -1 with `errno` set (`EINTR` when a
 *         signal arrived); no ::gnl_usrmsg
 */
KELP_API int port_usleep(unsigned int usec);
/**
 * @brief Widens a two-digit year through a sliding window.
 *
 * The window starts `Y2K_PAST_WINDOW` years (read at every call with
 * `strtol`; default 60) before the current local year, in the zone that
 * `TZ` names at the call. No failure. Reentrant (`tzset`, `localtime_r`),
 * as long as no thread changes the environment meanwhile.
 *
 * @param yy two-digit year, 0 to 99
 * @return the year of the window whose last two digits are @p yy
 */
KELP_API int yy_to_ccyy(int yy);
/**
 * @brief Broken-down local time to calendar time, without the platform's `mktime`.
 *
 * Reads tm_sec, tm_min, tm_hour, tm_mday, tm_mon, tm_year and tm_isdst;
 * never writes @p tm. With tm_isdst above 0 the zone's daylight-saving
 * shift is taken off (one hour for a zone without one). Failures leave in
 * ::gnl_usrmsg: "invalid time/date spec (negative numbers)",
 * "invalid time/date (month out of range)" (tm_mon above 11),
 * "Can't go beyond %s" (the 32-bit time range, named in `ctime` format),
 * "temporal instability" (fields that no time has, such as 30 February).
 * Reentrant (its own UTC breakdown, `tzset`, `localtime_r`, `ctime_r`;
 * ::gnl_usrmsg is per thread), as long as no thread changes the
 * environment meanwhile.
 *
 * @param tm the broken-down local time
 * @return seconds since the epoch, or -1 on failure (one second before the
 *         epoch cannot be told from failure)
 */
KELP_API time_t port_mktime(const struct tm *tm);

/** @} */

KELP_END_DECLS

#endif
