// Microsecond arithmetic on struct timeval, and sleeping through select.
#include "core/internal.h"

#include <cstdint>
#include <sys/select.h>

namespace {

constexpr int32_t usec_per_sec = 1000000;

// Two's-complement wrap of a 32-bit sum, without signed overflow.
int32_t add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

extern "C" {

// Only the low 32 bits of tv_usec take part. A negative sum borrows one
// second and leaves tv_usec in 1..1000000: an exact negative multiple of a
// second ends at 1000000 microseconds, one second lower.
void utime_add(struct timeval *tv, int usec) {
    const int32_t s = add32(usec, static_cast<int32_t>(static_cast<uint32_t>(tv->tv_usec)));
    int64_t secs = s / usec_per_sec;
    int32_t rest = s % usec_per_sec;
    if (s < 0) {
        secs -= 1;
        rest += usec_per_sec;
    }
    tv->tv_usec = rest;
    tv->tv_sec = static_cast<time_t>(static_cast<uint64_t>(tv->tv_sec) + static_cast<uint64_t>(secs));
}

// to - from in microseconds, modulo 2^32: differences beyond about 35
// minutes wrap.
int utime_diff(const struct timeval *from, const struct timeval *to) {
    const uint64_t dsec = static_cast<uint64_t>(to->tv_sec) - static_cast<uint64_t>(from->tv_sec);
    const uint64_t dusec =
        static_cast<uint64_t>(to->tv_usec) - static_cast<uint64_t>(from->tv_usec);
    return static_cast<int32_t>(static_cast<uint32_t>(dsec * usec_per_sec + dusec));
}

// Returns select's result: 0 after the full wait, -1 with errno (EINTR when
// a signal cut it short). No timer or signal handler is touched.
int port_usleep(unsigned int usec) {
    struct timeval tv;
    tv.tv_sec = usec / 1000000u;
    tv.tv_usec = usec % 1000000u;
    // With no descriptors the sets only need to be empty; three of them keep
    // the restrict-qualified arguments apart.
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    return ::select(0, &rd, &wr, &ex, &tv);
}

}  // extern "C"
