/* libkelp: packed BCD numbers. */
#ifndef KELP_BCDNUM_H
#define KELP_BCDNUM_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

KELP_API void bcdset(unsigned char *buf, int pos, int count, int digit);
KELP_API long bcd_to_bin(const unsigned char *buf, int pos, int count);
KELP_API char *bcd_to_decstr(const unsigned char *buf, int pos, int count, char *out);
KELP_API void bin_to_bcd(long value, unsigned char *buf, int pos, int *ndigits);
KELP_API void decstr_to_bcd(const char *str, unsigned char *buf, int pos);
KELP_API void bcdcpy(unsigned char *dst, int dpos, const unsigned char *src, int spos, int count);
KELP_API int bcdrep(unsigned char *buf, int pos, int width, long value);

KELP_END_DECLS

#endif
