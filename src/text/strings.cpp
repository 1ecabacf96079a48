// Text utilities: case-insensitive comparison.
//
// Both comparisons have two ways. Where the locale's case table is the C
// locale's and both strings start at the same offset in a 16-byte block,
// they compare whole aligned blocks at a time. Reading a block past a
// terminator stays inside the aligned block that holds it: never across a
// page, never into memory that a shorter read could not reach. Elsewhere
// they go byte by byte through the locale's table.
#include "core/internal.h"

#include <climits>
#include <locale.h>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) && defined(__GLIBC__)
#include <emmintrin.h>
#define KELP_CASECMP_BLOCKS 1
#endif

namespace {

const unsigned char *bytes(const char *s) { return reinterpret_cast<const unsigned char *>(s); }

// Upper-case values byte by byte. Whether two bytes differ only in case is
// a coin toss on mixed-case text, so the loop does not ask: it branches
// only where the comparison ends.
int compare_bytes(const unsigned char *x, const unsigned char *y, size_t n) {
    const kelp::CaseTables cases;
    for (size_t i = 0; i < n; ++i) {
        const int d = cases.upper(x[i]) - cases.upper(y[i]);
        if ((d != 0) | (x[i] == '\0'))
            return d;
    }
    return 0;
}

#ifdef KELP_CASECMP_BLOCKS

// The C locale's upper-case table, which maps exactly 'a' to 'z' and lives
// as long as the process.
const int32_t *c_upper_table() {
    locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c != nullptr ? c->__ctype_toupper : nullptr;
}
const int32_t *const c_upper = c_upper_table();

// Lanes where the upper-case bytes differ or the first string ends.
unsigned stop_lanes(__m128i vx, __m128i vy) {
    const __m128i d = _mm_xor_si128(vx, vy);
    // Equal ignoring case: the same byte, or a letter and its other case.
    const __m128i folded = _mm_add_epi8(_mm_or_si128(vx, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x80 - 'a'));
    const __m128i letter = _mm_cmplt_epi8(folded, _mm_set1_epi8(-128 + 26));
    const __m128i same = _mm_or_si128(_mm_cmpeq_epi8(d, _mm_setzero_si128()),
                                      _mm_and_si128(letter, _mm_cmpeq_epi8(d, _mm_set1_epi8(0x20))));
    const __m128i ends = _mm_cmpeq_epi8(vx, _mm_setzero_si128());
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(ends, same))) ^ 0xFFFFu;
}

int ascii_upper(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 0x20 : c; }

// Compares at most n positions of two strings that start at the same offset
// in their 16-byte blocks. The first block is read from its start and the
// lanes before the strings are shifted out; a further block is read only
// when neither string ended in the one before. Left to the address
// sanitizer, those whole-block reads would be reported, so it is kept out.
template <bool Limited>
__attribute__((no_sanitize("address"), always_inline)) inline int compare_blocks(
    const unsigned char *x, const unsigned char *y, size_t n) {
    const size_t skip = reinterpret_cast<uintptr_t>(x) & 15;
    const auto *bx = reinterpret_cast<const __m128i *>(x - skip);
    const auto *by = reinterpret_cast<const __m128i *>(y - skip);
    unsigned stop = stop_lanes(_mm_load_si128(bx), _mm_load_si128(by)) >> skip;
    for (size_t at = 0;;) {
        if (stop != 0) {
            const size_t pos = at + static_cast<size_t>(__builtin_ctz(stop));
            if (Limited && pos >= n)
                return 0;
            return ascii_upper(x[pos]) - ascii_upper(y[pos]);
        }
        at += at == 0 ? 16 - skip : 16;
        if (Limited && n <= at)
            return 0;
        ++bx;
        ++by;
        stop = stop_lanes(_mm_load_si128(bx), _mm_load_si128(by));
    }
}

#endif

template <bool Limited>
__attribute__((no_sanitize("address"))) int compare(const char *a, const char *b, size_t n) {
    const unsigned char *x = bytes(a), *y = bytes(b);
    const kelp::CaseTables cases;
    // Unrelated strings mostly differ at once: that needs no block.
    const int first = cases.upper(x[0]) - cases.upper(y[0]);
    if ((first != 0) | (x[0] == '\0'))
        return first;
#ifdef KELP_CASECMP_BLOCKS
    if (((reinterpret_cast<uintptr_t>(x) ^ reinterpret_cast<uintptr_t>(y)) & 15) == 0 &&
        cases.upper_table() == c_upper)
        return compare_blocks<Limited>(x, y, n);
#endif
    return compare_bytes(x, y, n);
}

}  // namespace

extern "C" {

int port_strcasecmp(const char *a, const char *b) {
    return compare<false>(a, b, SIZE_MAX);
}

// At most n positions, a's terminator being the last one, so neither string
// is read past its end.
int port_strncasecmp(const char *a, const char *b, int n) {
    return n > 0 ? compare<true>(a, b, static_cast<size_t>(n)) : 0;
}

}  // extern "C"
