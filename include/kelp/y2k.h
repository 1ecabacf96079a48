/**
 * @file kelp/y2k.h
 * @brief Two-digit year windowing (yy_to_ccyy): declared in <kelp/times.h> with the rest of its family.
 *
 * Callers may include every module's header by the module's name; this one is the y2k module's.
 */
#ifndef KELP_Y2K_H
#define KELP_Y2K_H

#include <kelp/times.h>

#endif
