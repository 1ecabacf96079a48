/**
 * @file kelp/strings.h
 * @brief Case-insensitive comparison (port_strcasecmp, port_strncasecmp): declared in <kelp/appstring.h> with the rest of its family.
 */
#ifndef KELP_STRINGS_H
#define KELP_STRINGS_H

#include <kelp/appstring.h>

#endif
