// Text utilities: case-insensitive comparison.
//
// Where the locale's upper case is plain ASCII (the C locale, and UTF-8
// locales as a rule), both comparisons go through whole aligned 16-byte blocks of
// each string; elsewhere byte by byte through the locale's table. A block
// is read only while its string has not ended before it, so a read past a
// terminator stays inside the aligned block that holds the terminator:
// never across a page, never into memory that a shorter read could not
// reach.
#include "core/internal.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

const unsigned char *bytes(const char *s) {
    return reinterpret_cast<const unsigned char *>(s);
}

// Whether two bytes differ only in case is a coin toss on mixed-case text,
// so the loop does not ask: it branches only where the comparison ends.
__attribute__((noinline)) int compare_bytes(const kelp::CaseTables cases, const unsigned char *x,
                                            const unsigned char *y, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const int d = cases.upper(x[i]) - cases.upper(y[i]);
        if ((d != 0) | (x[i] == '\0'))
            return d;
    }
    return 0;
}

#ifdef __SSE2__

unsigned zero_lanes(__m128i v) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}

// Lanes where the upper-case bytes differ or the first string ends.
unsigned stop_lanes(__m128i vx, __m128i vy) {
    const __m128i d = _mm_xor_si128(vx, vy);
    // Equal ignoring case: the same byte, or a letter and its other case.
    const __m128i folded =
        _mm_add_epi8(_mm_or_si128(vx, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x80 - 'a'));
    const __m128i letter = _mm_cmplt_epi8(folded, _mm_set1_epi8(-128 + 26));
    const __m128i same =
        _mm_or_si128(_mm_cmpeq_epi8(d, _mm_setzero_si128()),
                     _mm_and_si128(letter, _mm_cmpeq_epi8(d, _mm_set1_epi8(0x20))));
    // A lane that is not the same, or where x ends, has a zero minimum.
    return zero_lanes(_mm_min_epu8(same, vx));
}

// The one read of a whole block, exempt from the address sanitizer with the
// comparison that calls it (unoptimised builds keep it a call of its own).
__attribute__((no_sanitize("address"))) __m128i load(uintptr_t at) {
    return _mm_load_si128(reinterpret_cast<const __m128i *>(at));
}

// Compares at most n positions, x read by its aligned blocks. Shift is how
// far y's bytes sit past x's in their own blocks: the bytes of y that face
// one block of x are joined from the two blocks of y they straddle. No
// block is read that holds none of a string's bytes before its terminator
// and its n-th byte: the next block of x only when x has not ended and n
// reaches it, the second block of y only when y has not ended in the first
// and n reaches it. The address sanitizer would report the bytes read past
// a terminator, so it is kept out of this function.
template <int Shift, bool Limited>
__attribute__((no_sanitize("address"))) int compare_blocks(const unsigned char *x,
                                                           const unsigned char *y, size_t n) {
    const unsigned skip = reinterpret_cast<uintptr_t>(x) & 15;
    uintptr_t bx = reinterpret_cast<uintptr_t>(x) - skip;
    uintptr_t by = (reinterpret_cast<uintptr_t>(y) - skip) & ~uintptr_t{15};
    // y's first block is read only if y starts in it; its zero bytes before
    // y are no terminator.
    const bool y_starts_here = Shift + skip < 16;
    __m128i lo = y_starts_here ? load(by) : _mm_setzero_si128();
    unsigned y_ends = y_starts_here ? zero_lanes(lo) >> (Shift + skip) : 0;
    unsigned stop_mask = 0xFFFFu << skip;
    for (size_t at = 0;; at += 16) {
        __m128i vy = lo, hi = _mm_setzero_si128();
        if constexpr (Shift != 0) {
            if (y_ends == 0 && (!Limited || at + 16 < n + Shift + skip))
                hi = load(by + 16);
            vy = _mm_or_si128(_mm_srli_si128(lo, Shift), _mm_slli_si128(hi, 16 - Shift));
        }
        if (const unsigned stop = stop_lanes(load(bx), vy) & stop_mask) {
            const size_t pos = at + static_cast<size_t>(__builtin_ctz(stop)) - skip;
            if (Limited && pos >= n)
                return 0;
            return kelp::ascii_upper(x[pos]) - kelp::ascii_upper(y[pos]);
        }
        if (Limited && n <= at + 16 - skip)
            return 0;
        stop_mask = 0xFFFFu;
        bx += 16;
        by += 16;
        if constexpr (Shift != 0) {
            lo = hi;
            y_ends = zero_lanes(lo) >> Shift;
        } else {
            lo = load(by);
        }
    }
}

template <bool Limited, size_t... Shift>
constexpr auto block_comparisons(std::index_sequence<Shift...>) {
    return std::array{&compare_blocks<Shift, Limited>...};
}

template <bool Limited>
constexpr auto by_shift = block_comparisons<Limited>(std::make_index_sequence<16>());

#endif

template <bool Limited>
int compare(const char *a, const char *b, size_t n) {
    const unsigned char *x = bytes(a), *y = bytes(b);
    const kelp::CaseTables cases;
#ifdef __SSE2__
    if (cases.ascii()) [[likely]] {
        // Unrelated strings mostly differ at once: that needs no block.
        const int first = kelp::ascii_upper(x[0]) - kelp::ascii_upper(y[0]);
        if ((first != 0) | (x[0] == '\0'))
            return first;
        const size_t shift = (reinterpret_cast<uintptr_t>(y) - reinterpret_cast<uintptr_t>(x)) & 15;
        if (shift == 0)
            return compare_blocks<0, Limited>(x, y, n);
        return by_shift<Limited>[shift](x, y, n);
    }
#endif
    return compare_bytes(cases, x, y, n);
}

}  // namespace

extern "C" {

int port_strcasecmp(const char *a, const char *b) {
    return compare<false>(a, b, SIZE_MAX);
}

// At most n positions, a's terminator being the last one.
int port_strncasecmp(const char *a, const char *b, int n) {
    return n > 0 ? compare<true>(a, b, static_cast<size_t>(n)) : 0;
}

}  // extern "C"
