/**
 * @file kelp/strings.h
 * @brief Case-insensitive comparison (port_strcasecmp, port_strncasecmp): declared in <kelp/appstring.h> with the rest of its family.
 *
 * Callers may include every module's header by the module's name; this one is the strings module's.
 */
#ifndef KELP_STRINGS_H
#define KELP_STRINGS_H

#include <kelp/appstring.h>

#endif
