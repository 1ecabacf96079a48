/**
 * @file kelp.h
 * @brief libkelp: the whole public interface.
 *
 * `#include <kelp.h>` declares every function, type and constant of
 * libkelp.so.1; link with `-lkelp` (or `pkg-config --libs kelp`, or the
 * CMake target `kelp::kelp`). Call gnl_init() once at start. A function
 * that fails returns its failure value and leaves a message in
 * ::gnl_usrmsg. C++ users may include <kelp.hpp> instead. The version
 * the headers belong to is in <kelp/version.h> (::KELP_VERSION_STRING,
 * KELP_CHECK_VERSION()); the version a program runs with is gnl_verstr().
 */
#ifndef KELP_H
#define KELP_H

#include <stdio.h>
#include <stdint.h>
#include <time.h>
#include <sys/time.h>

#include <kelp/export.h>
#include <kelp/version.h>
#include <kelp/init.h>
#include <kelp/msglog.h>
#include <kelp/appstring.h>
#include <kelp/maths.h>
#include <kelp/bcdnum.h>
#include <kelp/bufutils.h>
#include <kelp/llist.h>
#include <kelp/wtree.h>
#include <kelp/cmdlin.h>
#include <kelp/ginet.h>
#include <kelp/runsyscmd.h>
#include <kelp/times.h>

#endif
