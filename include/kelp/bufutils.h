/* libkelp: byte buffers, file loading and checksums. */
#ifndef KELP_BUFUTILS_H
#define KELP_BUFUTILS_H

#include <stdint.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

KELP_API uint64_t buf_ntoh(const void *field, unsigned int width);
KELP_API void buf_hton(uint64_t value, void *field, int width);
KELP_API void *buf_align(int alignment, const void *data, void *buf, int len);
KELP_API void buf_lshift(void *block, int len, int dist);
KELP_API void buf_rshift(void *block, int len, int dist);

KELP_API unsigned char *file2buf(int fd, const char *path, unsigned char *buf, int bufsize,
                                 int *len, int head, int tail);

KELP_API int chksum_xor(const void *region, int len);
KELP_API int chksum_s4xor(const void *region, int len);

KELP_END_DECLS

#endif
