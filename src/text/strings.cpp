// Text utilities: case-insensitive comparison.
#include "core/internal.h"

#include <cctype>

namespace {

int upper(char c) { return std::toupper(static_cast<unsigned char>(c)); }

}  // namespace

extern "C" {

int port_strcasecmp(const char *a, const char *b) {
    for (;; ++a, ++b) {
        int x = upper(*a);
        int y = upper(*b);
        if (x != y)
            return x - y;
        if (*a == '\0')
            return 0;
    }
}

// Compares at most n positions, a's terminator being the last one, so
// neither string is read past its end.
int port_strncasecmp(const char *a, const char *b, int n) {
    for (int i = 0; i < n; ++i) {
        int x = upper(a[i]);
        int y = upper(b[i]);
        if (x != y)
            return x - y;
        if (a[i] == '\0')
            break;
    }
    return 0;
}

}  // extern "C"
