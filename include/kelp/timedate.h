/**
 * @file kelp/timedate.h
 * @brief Portable mktime (port_mktime): declared in <kelp/times.h> with the rest of its family.
 *
 * Callers may include every module's header by the module's name; this one is the timedate module's.
 */
#ifndef KELP_TIMEDATE_H
#define KELP_TIMEDATE_H

#include <kelp/times.h>

#endif
