// Byte buffers: big-endian fields, aligned views, in-place block moves.
#include "core/internal.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr unsigned int max_width = 8;

}  // namespace

extern "C" {

// Widths above 8 read the value of the last 8 bytes: the leading bytes would
// be shifted out of a 64-bit result anyway, and buf_hton puts the value there.
uint64_t buf_ntoh(const void *field, unsigned int width) {
    const auto *p = static_cast<const unsigned char *>(field);
    if (width > max_width) {
        p += width - max_width;
        width = max_width;
    }
    uint64_t value = 0;
    for (unsigned int k = 0; k < width; ++k)
        value = value << 8 | p[k];
    return value;
}

// A width above 8 zero-fills the leading bytes; a width of 0 or less writes
// nothing.
void buf_hton(uint64_t value, void *field, int width) {
    auto *p = static_cast<unsigned char *>(field);
    if (width <= 0)
        return;
    if (static_cast<unsigned int>(width) > max_width) {
        std::memset(p, 0, static_cast<size_t>(width) - max_width);
        p += width - max_width;
        width = max_width;
    }
    for (int k = width - 1; k >= 0; --k) {
        p[k] = static_cast<unsigned char>(value);
        value >>= 8;
    }
}

// Returns data itself when it is already aligned, otherwise a copy of len
// bytes in the caller's (aligned) buf.
void *buf_align(int alignment, const void *data, void *buf, int len) {
    const uintptr_t mask = static_cast<uintptr_t>(alignment) - 1;
    if (alignment <= 1 || (reinterpret_cast<uintptr_t>(data) & mask) == 0)
        return const_cast<void *>(data);
    if (len > 0)
        std::memcpy(buf, data, static_cast<size_t>(len));
    return buf;
}

// Both moves are overlap-safe moves of len bytes; memmove copies in the
// direction that the overlap needs, which for a distance of 0 or more is the
// byte order the contract names. A negative distance moves the other way.
void buf_lshift(void *block, int len, int dist) {
    if (len <= 0)
        return;
    auto *p = static_cast<unsigned char *>(block);
    std::memmove(p - dist, p, static_cast<size_t>(len));
}

void buf_rshift(void *block, int len, int dist) {
    if (len <= 0)
        return;
    auto *p = static_cast<unsigned char *>(block);
    std::memmove(p + dist, p, static_cast<size_t>(len));
}

}  // extern "C"
