/**
 * @file kelp/dlp.h
 * @brief Data-link medium names (dlp_proto2nam): declared in <kelp/ginet.h> with the rest of its family.
 *
 * Callers may include every module's header by the module's name; this one is the dlp module's.
 */
#ifndef KELP_DLP_H
#define KELP_DLP_H

#include <kelp/ginet.h>

#endif
