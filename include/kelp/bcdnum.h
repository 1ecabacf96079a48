/**
 * @file kelp/bcdnum.h
 * @brief Packed BCD numbers.
 */
#ifndef KELP_BCDNUM_H
#define KELP_BCDNUM_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_bcd BCD numbers
 * @brief Decimal digits packed two to a byte, at any digit position.
 *
 * Digit position p lies in byte p / 2: the high nibble for an even p, the
 * low nibble for an odd p. A number takes consecutive positions, most
 * significant digit first; the format has no length, sign or terminator,
 * the caller keeps positions and counts. Writing a digit changes only its
 * own nibble. Nibbles are not validated (10 to 15 are moved and weighed
 * like digits). Nothing allocates or writes ::gnl_usrmsg. All functions
 * are reentrant, but two threads must not write digits of the same byte.
 * @{
 */

/**
 * @brief Sets @p count digits from position @p pos to @p digit.
 * @param buf   the BCD buffer
 * @param pos   first digit position, 0 or more
 * @param count number of digits; 0 or less changes nothing
 * @param digit the nibble value, 0 to 15
 */
KELP_API void bcdset(unsigned char *buf, int pos, int count, int digit);
/**
 * @brief Value of @p count digits from position @p pos.
 *
 * A count outside 0 to 8 is refused with the ERR trace record
 * "bcd_to_bin: %d digits is too many"; ::gnl_usrmsg is untouched.
 *
 * @param buf   the BCD buffer
 * @param pos   first digit position
 * @param count number of digits, 0 to 8
 * @return the value (0 for a count of 0; a nibble of 10 to 15 weighs its
 *         value), or -1 for a refused count
 */
KELP_API long bcd_to_bin(const unsigned char *buf, int pos, int count);
/**
 * @brief Text of @p count digits from position @p pos, one lower-case hex
 *        character per nibble ("123f").
 * @param buf   the BCD buffer
 * @param pos   first digit position
 * @param count number of digits; 0 or less gives the empty string
 * @param out   output of at least @p count + 1 bytes
 * @return @p out
 */
KELP_API char *bcd_to_decstr(const unsigned char *buf, int pos, int count, char *out);
/**
 * @brief Writes the decimal digits of @p value from position @p pos,
 *        left-aligned, as many as it has (1 for 0, at most 19).
 * @param value   the value, 0 or more (a negative value gives the digits of
 *                its magnitude: there is no sign)
 * @param buf     the BCD buffer
 * @param pos     first digit position
 * @param ndigits receives the number of digits written, or NULL
 */
KELP_API void bin_to_bcd(long value, unsigned char *buf, int pos, int *ndigits);
/**
 * @brief Writes each character of @p str as one digit from position @p pos.
 * @param str decimal digits only; leading zeros are written like any digit
 * @param buf the BCD buffer
 * @param pos first digit position
 */
KELP_API void decstr_to_bcd(const char *str, unsigned char *buf, int pos);
/**
 * @brief Copies @p count digits, nibble values unchanged, in ascending order.
 *
 * Source and destination may be one buffer, as long as an overlapping
 * destination does not start above the source.
 *
 * @param dst   destination BCD buffer
 * @param dpos  first destination position
 * @param src   source BCD buffer
 * @param spos  first source position
 * @param count number of digits; 0 or less copies nothing
 */
KELP_API void bcdcpy(unsigned char *dst, int dpos, const unsigned char *src, int spos, int count);
/**
 * @brief Writes @p value right-aligned and zero-padded in a field of @p width digits.
 *
 * A value with more digits than @p width is written whole from @p pos and
 * runs past the field: the result tells, and the buffer must have room.
 *
 * @param buf   the BCD buffer
 * @param pos   first digit position of the field
 * @param width the field's width in digits
 * @param value the value, 0 or more
 * @return the number of digit positions written: @p width, or the value's
 *         digit count when that is larger
 */
KELP_API int bcdrep(unsigned char *buf, int pos, int width, long value);

/** @} */

KELP_END_DECLS

#endif
