// Text utilities: counting and trimming.
#include "core/internal.h"

#include <cstring>

namespace {

// Bytes that are not graphic ASCII, less the ones that flags spare.
bool strippable(unsigned char c, int flags) {
    if (c == ' ')
        return (flags & STRIP_KEEP_SPACE) == 0;
    if (c == 0x7F)
        return (flags & STRIP_KEEP_DEL) == 0;
    return c < 0x21 || c > 0x7E;
}

}  // namespace

extern "C" {

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
    while (len > 0 && strippable(static_cast<unsigned char>(s[len - 1]), flags))
        s[--len] = '\0';
}

void stripl(char *s, int flags) {
    size_t skip = 0;
    while (s[skip] != '\0' && strippable(static_cast<unsigned char>(s[skip]), flags))
        ++skip;
    if (skip > 0)
        std::memmove(s, s + skip, std::strlen(s + skip) + 1);
}

}  // extern "C"
