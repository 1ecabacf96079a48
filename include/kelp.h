/* libkelp: the whole public interface. */
#ifndef KELP_H
#define KELP_H

#include <stdio.h>
#include <stdint.h>
#include <time.h>
#include <sys/time.h>

#include <kelp/export.h>
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
