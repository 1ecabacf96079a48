/**
 * @file kelp/checksums.h
 * @brief XOR checksums (chksum_xor, chksum_s4xor): declared in <kelp/bufutils.h> with the rest of its family.
 *
 * Callers may include every module's header by the module's name; this one is the checksums module's.
 */
#ifndef KELP_CHECKSUMS_H
#define KELP_CHECKSUMS_H

#include <kelp/bufutils.h>

#endif
