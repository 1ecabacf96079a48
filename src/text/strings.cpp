// Text utilities: case-insensitive comparison.
#include "core/internal.h"

#include <cctype>
#include <cstdint>

namespace {

// The current locale's upper-case mapping, looked up once per call rather
// than through a library call per byte.
class Upper {
  public:
#ifdef __GLIBC__
    Upper() : table_(*__ctype_toupper_loc()) {}
    int operator()(char c) const { return table_[static_cast<unsigned char>(c)]; }

  private:
    const int32_t *table_;
#else
    int operator()(char c) const { return std::toupper(static_cast<unsigned char>(c)); }
#endif
};

}  // namespace

extern "C" {

int port_strcasecmp(const char *a, const char *b) {
    const Upper upper;
    for (;; ++a, ++b) {
        if (*a == *b) {
            if (*a == '\0')
                return 0;
            continue;
        }
        int x = upper(*a);
        int y = upper(*b);
        if (x != y)
            return x - y;
    }
}

// Compares at most n positions, a's terminator being the last one, so
// neither string is read past its end.
int port_strncasecmp(const char *a, const char *b, int n) {
    if (n <= 0)
        return 0;
    const Upper upper;
    const auto last = static_cast<size_t>(n) - 1;
    for (size_t i = 0;; ++i) {
        if (a[i] == b[i]) {
            if (a[i] == '\0' || i == last)
                return 0;
            continue;
        }
        int x = upper(a[i]);
        int y = upper(b[i]);
        if (x != y)
            return x - y;
        if (i == last)
            return 0;
    }
}

}  // extern "C"
