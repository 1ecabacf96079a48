/* libkelp: time arithmetic, sleeping, year windowing, portable mktime. */
#ifndef KELP_TIMES_H
#define KELP_TIMES_H

#include <time.h>
#include <sys/time.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

KELP_API void utime_add(struct timeval *tv, int usec);
KELP_API int utime_diff(const struct timeval *from, const struct timeval *to);
KELP_API int port_usleep(unsigned int usec);
KELP_API int yy_to_ccyy(int yy);
KELP_API time_t port_mktime(const struct tm *tm);

KELP_END_DECLS

#endif
