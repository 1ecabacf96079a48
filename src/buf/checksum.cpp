// Keyless XOR checksums over a byte region.
#include "core/internal.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

inline uint64_t load64(const unsigned char *p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);  // unaligned loads without undefined behaviour
    return w;
}

// XOR of all n bytes. XOR does not care which byte of a word a byte sits in,
// so whole words are folded together and the word is folded to a byte last.
// Four independent accumulators keep the loads from waiting on each other.
unsigned char xor_bytes(const unsigned char *p, size_t n) {
    uint64_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    for (; n >= 32; p += 32, n -= 32) {
        a0 ^= load64(p);
        a1 ^= load64(p + 8);
        a2 ^= load64(p + 16);
        a3 ^= load64(p + 24);
    }
    for (; n >= 8; p += 8, n -= 8)
        a0 ^= load64(p);
    uint64_t acc = a0 ^ a1 ^ a2 ^ a3;
    acc ^= acc >> 32;
    acc ^= acc >> 16;
    acc ^= acc >> 8;
    auto x = static_cast<unsigned char>(acc);
    for (; n > 0; ++p, --n)
        x ^= *p;
    return x;
}

}  // namespace

extern "C" {

int chksum_xor(const void *region, int len) {
    if (len <= 0)
        return 0;
    return xor_bytes(static_cast<const unsigned char *>(region), static_cast<size_t>(len));
}

// The XOR of the 4-byte windows at every position has, as its byte k, the
// XOR of all bytes from position k on (missing bytes count as zero). So one
// pass over the region gives the first byte and the next three drop the
// leading bytes one at a time.
int chksum_s4xor(const void *region, int len) {
    if (len <= 0)
        return 0;
    const auto *p = static_cast<const unsigned char *>(region);
    uint32_t x[4] = {xor_bytes(p, static_cast<size_t>(len)), 0, 0, 0};
    for (int k = 1; k < 4 && k < len; ++k)
        x[k] = x[k - 1] ^ p[k - 1];
    return static_cast<int>(x[0] << 24 | x[1] << 16 | x[2] << 8 | x[3]);
}

}  // extern "C"
