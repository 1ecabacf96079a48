/**
 * @file kelp/timedate.h
 * @brief Portable mktime (port_mktime): declared in <kelp/times.h> with the rest of its family.
 */
#ifndef KELP_TIMEDATE_H
#define KELP_TIMEDATE_H

#include <kelp/times.h>

#endif
