/* libkelp: integer maths. */
#ifndef KELP_MATHS_H
#define KELP_MATHS_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

KELP_API int mth_intpow(int base, int exponent);
KELP_API int mth_intlog(int base, int value);

KELP_END_DECLS

#endif
