// Text utilities: digit tests, case, counting, trimming, formatting and
// substring substitution.
#include "core/internal.h"

#include <kelp/text.hpp>

#include <cctype>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

template <typename Pred>
int all_bytes(const char *s, Pred in_class) {
    for (; *s != '\0'; ++s)
        if (!in_class(static_cast<unsigned char>(*s)))
            return 0;
    return 1;
}

template <typename Map>
void map_bytes(char *s, Map map) {
    for (; *s != '\0'; ++s)
        *s = static_cast<char>(map(static_cast<unsigned char>(*s)));
}

constexpr char hex_digits[] = "0123456789ABCDEF";

// Results of buf2hex and comma_number without a caller's buffer, one per
// thread: each call overwrites its own thread's.
thread_local char hexstr[257];
thread_local char lclbuf[15];

// ---- strsub -------------------------------------------------------------
//
// Every substitution behaves as if the tail behind the occurrence were moved
// at once, but the tail is never moved per occurrence: shrinking and
// same-length replacement run in one forward pass, growing replacement finds
// the occurrences first and then fills the buffer from its end.

struct Sub {
    char *buf;
    size_t len;  // length of the string on entry
    const char *oldstr;
    size_t oldlen;
    const char *newstr;
    size_t newlen;
    bool whole_word;

    // First occurrence at or after from, or SIZE_MAX. Places where the old
    // substring's first and last bytes both stand are picked out 16 at a
    // time; only there is the whole compared.
    size_t find(size_t from) const {
        if (len < oldlen)
            return SIZE_MAX;
        const size_t last = len - oldlen;  // the last place an occurrence can start
        size_t at = from;
#ifdef __SSE2__
        const __m128i first = _mm_set1_epi8(oldstr[0]), end = _mm_set1_epi8(oldstr[oldlen - 1]);
        for (; at + 15 <= last; at += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + at));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + at + oldlen - 1));
            auto hits = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, end))));
            for (; hits != 0; hits &= hits - 1) {
                const size_t candidate = at + static_cast<size_t>(__builtin_ctz(hits));
                if (std::memcmp(buf + candidate, oldstr, oldlen) == 0)
                    return candidate;
            }
        }
#endif
        for (; at <= last; ++at)
            if (buf[at] == oldstr[0] && std::memcmp(buf + at, oldstr, oldlen) == 0)
                return at;
        return SIZE_MAX;
    }

    bool alnum_at(size_t i) const { return std::isalnum(static_cast<unsigned char>(buf[i])) != 0; }

    // The byte after an occurrence is always text not yet touched; the byte
    // before it is given by the caller (-1: the occurrence starts the string).
    bool qualifies(size_t at, int before) const {
        if (!whole_word)
            return true;
        if (alnum_at(at + oldlen))
            return false;
        return before < 0 || std::isalnum(before) == 0;
    }

    // Next occurrence at or after from that qualifies, or SIZE_MAX. before_at
    // yields the byte before an occurrence starting exactly at from.
    template <typename Before>
    size_t next(size_t from, Before before_at) const {
        for (size_t at = find(from); at != SIZE_MAX; at = find(at + 1)) {
            int before = at > from ? static_cast<unsigned char>(buf[at - 1]) : before_at();
            if (qualifies(at, before))
                return at;
        }
        return SIZE_MAX;
    }
};

// How many growing substitutions fit: the string after k of them needs
// len + k * d + 1 bytes. size 0 sets no limit.
size_t growth_room(int size, size_t len, size_t d) {
    if (size == 0)
        return SIZE_MAX;
    int64_t spare = static_cast<int64_t>(size) - 1 - static_cast<int64_t>(len);
    return spare < 0 ? 0 : static_cast<size_t>(spare) / d;
}

int count_only(const Sub &s, int size) {
    size_t room = s.newlen > s.oldlen ? growth_room(size, s.len, s.newlen - s.oldlen) : SIZE_MAX;
    size_t n = 0;
    size_t from = 0;
    auto before = [&] { return from > 0 ? static_cast<unsigned char>(s.buf[from - 1]) : -1; };
    for (size_t at; n < room && (at = s.next(from, before)) != SIZE_MAX; from = at + s.oldlen)
        ++n;
    return static_cast<int>(n);
}

// Shrinking or same length: the output never overtakes the text still to
// be read, so one pass reads and writes at once. The bytes between the new
// and the old terminator end up zero.
int replace_forward(const Sub &s) {
    char *buf = s.buf;
    size_t src = 0, dst = 0, n = 0;
    // Before an occurrence right at src stands the last byte written,
    // inserted text included; nothing when all before it was replaced by "".
    auto before = [&] { return dst > 0 ? static_cast<unsigned char>(buf[dst - 1]) : -1; };
    for (size_t at; (at = s.next(src, before)) != SIZE_MAX; ++n) {
        std::memmove(buf + dst, buf + src, at - src);
        dst += at - src;
        std::memcpy(buf + dst, s.newstr, s.newlen);
        dst += s.newlen;
        src = at + s.oldlen;
    }
    if (dst != src) {
        const size_t rest = s.len - src;
        std::memmove(buf + dst, buf + src, rest);
        std::memset(buf + dst + rest, 0, src - dst + 1);
    }
    return static_cast<int>(n);
}

// Growing: a first pass picks the occurrences that qualify and fit and marks
// each by a NUL over its first byte (no string byte is NUL, and the pass
// never looks back at them); the fill then walks the marks from the end and
// moves every byte once.
int replace_growing(const Sub &s, int size) {
    char *buf = s.buf;
    size_t d = s.newlen - s.oldlen;
    size_t room = growth_room(size, s.len, d);
    size_t n = 0, from = 0, last = 0;
    // Right behind a replaced occurrence stands the end of the new text;
    // before the first one, the search starts at the start of the string.
    auto before = [&] { return n > 0 ? static_cast<unsigned char>(s.newstr[s.newlen - 1]) : -1; };
    for (size_t at; n < room && (at = s.next(from, before)) != SIZE_MAX; from = at + s.oldlen) {
        buf[at] = '\0';
        last = at;
        ++n;
    }
    if (n == 0)
        return 0;

    size_t end = last + s.oldlen;  // text behind the last occurrence
    std::memmove(buf + end + n * d, buf + end, s.len - end + 1);
    for (size_t k = n, at = last;; --k) {
        std::memcpy(buf + at + (k - 1) * d, s.newstr, s.newlen);
        if (k == 1)
            break;
        auto *mark = static_cast<char *>(memrchr(buf, '\0', at));
        size_t prev = static_cast<size_t>(mark - buf);
        std::memmove(buf + prev + s.oldlen + (k - 1) * d, buf + prev + s.oldlen,
                     at - prev - s.oldlen);
        at = prev;
    }
    return static_cast<int>(n);
}

}  // namespace

extern "C" {

int isdecstr(const char *s) {
    return all_bytes(s, [](unsigned char c) { return std::isdigit(c) != 0; });
}

int ishexstr(const char *s) {
    return all_bytes(s, [](unsigned char c) { return std::isxdigit(c) != 0; });
}

int isoctstr(const char *s) {
    return all_bytes(s, [](unsigned char c) { return c >= '0' && c <= '7'; });
}

void str2ucs(char *s) { map_bytes(s, [](unsigned char c) { return std::toupper(c); }); }

void str2lcs(char *s) { map_bytes(s, [](unsigned char c) { return std::tolower(c); }); }

// An empty substring yields 0: it would match everywhere without advancing.
int strcount(const char *str, const char *sub) {
    size_t sublen = std::strlen(sub);
    if (sublen == 0)
        return 0;
    int n = 0;
    for (const char *p = std::strstr(str, sub); p != nullptr; p = std::strstr(p + sublen, sub))
        ++n;
    return n;
}

int chcount(const char *str, int ch) {
    const char c = static_cast<char>(ch);
    if (c == '\0')
        return 0;  // the terminator is no part of the string
    int n = 0;
    for (const char *p = std::strchr(str, c); p != nullptr; p = std::strchr(p + 1, c))
        ++n;
    return n;
}

void stript(char *s, int flags) {
    size_t len = std::strlen(s);
    while (len > 0 && kelp::detail::strippable(s[len - 1], flags))
        s[--len] = '\0';
}

void stripl(char *s, int flags) {
    size_t skip = 0;
    while (s[skip] != '\0' && kelp::detail::strippable(s[skip], flags))
        ++skip;
    if (skip > 0)
        std::memmove(s, s + skip, std::strlen(s + skip) + 1);
}

// Shows whole bytes only: each after the first costs ":" and two digits, and
// the terminator must still fit. A caller's buffer of size 0 or less is left
// untouched (there is no room even for the terminator).
char *buf2hex(const void *bytes, int count, char *out, int size) {
    if (out == nullptr) {
        out = hexstr;
        size = sizeof hexstr;
    }
    if (size <= 0)
        return out;
    // Below 4 bytes nothing is shown, not even a single byte that would fit.
    int shown = size < 4 ? 0 : (count < size / 3 ? count : size / 3);
    const auto *in = static_cast<const unsigned char *>(bytes);
    char *p = out;
    for (int i = 0; i < shown; ++i) {
        if (i > 0)
            *p++ = ':';
        *p++ = hex_digits[in[i] >> 4];
        *p++ = hex_digits[in[i] & 0x0F];
    }
    *p = '\0';
    return out;
}

// Writes exactly the result and its terminator, never more.
char *comma_number(int value, char *out, int is_signed) {
    if (out == nullptr)
        out = lclbuf;
    bool negative = is_signed != 0 && value < 0;
    // Unsigned negation keeps the smallest int defined.
    unsigned int mag = negative ? 0U - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);

    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);

    char *p = out;
    if (negative)
        *p++ = '-';
    for (int i = n - 1; i >= 0; --i) {
        *p++ = digits[i];
        if (i > 0 && i % 3 == 0)
            *p++ = ',';
    }
    *p = '\0';
    return out;
}

int strsub(char *buf, int size, const char *oldstr, const char *newstr, int flags) {
    size_t newlen = std::strlen(newstr);
    if (*oldstr == '\0') {
        // The whole string is replaced; the flags play no part.
        if (size != 0 && static_cast<int64_t>(size) <= static_cast<int64_t>(newlen))
            return 0;
        if (size > 0)
            std::memset(buf, 0, static_cast<size_t>(size));
        std::memcpy(buf, newstr, newlen + 1);
        return 1;
    }

    Sub s{buf,    std::strlen(buf), oldstr, std::strlen(oldstr),
          newstr, newlen,           (flags & STRSUB_WHOLE_WORD) != 0};
    if (flags & STRSUB_COUNT_ONLY)
        return count_only(s, size);
    if (s.newlen <= s.oldlen)
        return replace_forward(s);
    return replace_growing(s, size);
}

}  // extern "C"
