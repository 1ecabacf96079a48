/**
 * @file kelp/maths.h
 * @brief Integer power and floor logarithm.
 */
#ifndef KELP_MATHS_H
#define KELP_MATHS_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_maths Integer maths
 * @brief Integer power and floor logarithm. Both are reentrant.
 * @{
 */

/**
 * @brief @p base to the power of @p exponent, in 32-bit arithmetic.
 *
 * A power that does not fit wraps modulo 2^32 (2 to the 32 gives 0).
 * No failure, no message.
 *
 * @param base     the base
 * @param exponent the exponent; 0 or negative gives 1 (0 to the 0 included)
 * @return the power
 */
KELP_API int mth_intpow(int base, int exponent);
/**
 * @brief Floor logarithm: the largest k with @p base to the k not above @p value.
 *
 * Exact for every positive `int`; the running power never overflows.
 * Illegal arguments (@p base or @p value 0 or negative, or @p base 1) are
 * reported only to the trace, as the INFO record
 * "mth_intlog: illegal args, base=%d, value=%d"; ::gnl_usrmsg is untouched.
 *
 * @param base  the base, 2 or more
 * @param value the value, 1 or more
 * @return k (0 when @p base exceeds @p value), or -1 for illegal arguments
 */
KELP_API int mth_intlog(int base, int value);

/** @} */

KELP_END_DECLS

#endif
