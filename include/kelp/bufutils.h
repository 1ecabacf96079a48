/**
 * @file kelp/bufutils.h
 * @brief Byte buffers, file loading and checksums.
 */
#ifndef KELP_BUFUTILS_H
#define KELP_BUFUTILS_H

#include <stdint.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_buf Buffers, files and checksums
 * @brief Big-endian fields, aligned views, byte moves, whole-file loading,
 *        XOR checksums.
 *
 * The caller guarantees that every byte named by the arguments lies inside
 * its buffers. Only file2buf() can fail; nothing else allocates or writes
 * ::gnl_usrmsg. All functions are reentrant; a buffer must not be changed
 * by another thread during a call.
 * @{
 */

/**
 * @brief Reads a big-endian unsigned integer of @p width bytes.
 * @param field first (most significant) byte of the field
 * @param width 0 to 8 bytes (0 gives 0 and reads nothing); above 8 the
 *              value of the last 8 bytes
 * @return the value
 */
KELP_API uint64_t buf_ntoh(const void *field, unsigned int width);
/**
 * @brief Writes @p value as a big-endian field of @p width bytes.
 *
 * Widths 1 to 8 take the low-order bytes of the value (0x123456 in 2 bytes
 * gives 0x34 0x56); above 8 the first width - 8 bytes are zero.
 *
 * @param value the value
 * @param field first byte of the field
 * @param width bytes to write; 0 writes nothing
 */
KELP_API void buf_hton(uint64_t value, void *field, int width);
/**
 * @brief An aligned view of possibly unaligned data.
 * @param alignment a power of two; 1 counts every address as aligned
 * @param data      the data
 * @param buf       an aligned buffer of at least @p len bytes for the copy
 * @param len       bytes to copy when @p data is not aligned
 * @return @p data itself when it is aligned (nothing copied), else @p buf
 *         holding a copy of @p len bytes
 */
KELP_API void *buf_align(int alignment, const void *data, void *buf, int len);
/**
 * @brief Moves a block @p dist bytes towards lower addresses.
 *
 * Overlapping moves are right (a `memmove`); the last @p dist bytes of
 * the old block keep their contents.
 *
 * @param block first byte of the block; afterwards it starts at block - dist
 * @param len   block length; 0 or less does nothing
 * @param dist  distance in bytes, 0 or more
 */
KELP_API void buf_lshift(void *block, int len, int dist);
/**
 * @brief Moves a block @p dist bytes towards higher addresses.
 *
 * Overlapping moves are right (a `memmove`); the first @p dist bytes of
 * the old block keep their contents.
 *
 * @param block first byte of the block; afterwards it starts at block + dist
 * @param len   block length; 0 or less does nothing
 * @param dist  distance in bytes, 0 or more
 */
KELP_API void buf_rshift(void *block, int len, int dist);

/**
 * @brief Loads a whole file into memory with room before and after it.
 *
 * The buffer holds @p head reserved bytes, the file, @p tail reserved
 * bytes. In a buffer allocated here the reserves are zeroed; in the
 * caller's they are left untouched. The file is read with a single `read`
 * of its size, also when that is 0: a short read fails, and so does a
 * descriptor that cannot be read (pipes and terminals, whose size is 0,
 * load as empty). A descriptor passed in is read from its offset and stays
 * open; one opened here is closed on every path.
 *
 * On failure ::gnl_usrmsg holds one of (the file named by @p path, or
 * "<NULL>"): "open(%s) failed, errno=%d [%s]",
 * "Failed to stat '%s', errno=%d [%s]" (also for negative reserves, and
 * for a size and reserves that do not fit an `int`),
 * "Failed to malloc %d bytes for file=%s",
 * "Buffer not big enough for file=%s (%d vs %d+%d+%d)" (buffer size,
 * head, file size, tail), "read() failed for %ld-byte file=%s, retval=%d,
 * errno=%d [%s]\n". @p len is then not written and nothing stays allocated.
 * Reentrant (::gnl_usrmsg is per thread).
 *
 * @param fd      open descriptor to read, or -1 to open @p path
 * @param path    the file's path; may be NULL when @p fd is given
 * @param buf     the caller's buffer (unused when @p bufsize is -1)
 * @param bufsize size of @p buf, or -1 to allocate a buffer (free it with `free`)
 * @param len     receives the file's size, or NULL
 * @param head    bytes to reserve before the file
 * @param tail    bytes to reserve after the file
 * @return the buffer (the file starts at offset @p head), or NULL on failure
 */
KELP_API unsigned char *file2buf(int fd, const char *path, unsigned char *buf, int bufsize,
                                 int *len, int head, int tail);

/**
 * @brief 8-bit XOR of all bytes of a region.
 * @param region the bytes
 * @param len    their number; 0 or less gives 0
 * @return 0 to 255
 */
KELP_API int chksum_xor(const void *region, int len);
/**
 * @brief 32-bit XOR of the big-endian 4-byte windows at every byte position.
 *
 * Windows that reach past the region count the missing bytes as zero;
 * nothing past the region is read. "abc" gives 0x60016300.
 *
 * @param region the bytes
 * @param len    their number; 0 or less gives 0
 * @return the 32 checksum bits
 */
KELP_API int chksum_s4xor(const void *region, int len);

/** @} */

KELP_END_DECLS

#endif
