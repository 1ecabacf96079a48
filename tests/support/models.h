// Slow, literal models of the library's trickier algorithms, shared by the
// test programs and the fuzz targets: each takes the documented steps one by
// one, so the fast code has something obviously right to be compared with.
#pragma once

#include <kelp.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace model {

// strsub, one occurrence at a time, moving the tail for each. Counting only,
// len is the length the string would have by then.
inline int strsub(char *buf, int size, const char *oldstr, const char *newstr, int flags) {
    const long lo = std::strlen(oldstr), ln = std::strlen(newstr), d = ln - lo;
    if (lo == 0) {
        if (size != 0 && size <= ln)
            return 0;
        if (size > 0)
            std::memset(buf, 0, size);
        std::memcpy(buf, newstr, ln + 1);
        return 1;
    }
    auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    long len = std::strlen(buf);
    int count = 0;
    for (char *occ = buf; (occ = std::strstr(occ, oldstr)) != nullptr;) {
        if ((flags & STRSUB_WHOLE_WORD) != 0 &&
            (alnum(occ[lo]) || (occ != buf && alnum(occ[-1])))) {
            ++occ;
            continue;
        }
        if (d > 0 && size != 0 && len + d + 1 > size)
            return count;
        ++count;
        len += d;
        const bool count_only = (flags & STRSUB_COUNT_ONLY) != 0;
        if (!count_only) {
            std::memmove(occ + ln, occ + lo, std::strlen(occ + lo) + 1);
            if (d < 0)  // the bytes freed behind the new terminator are zeroed
                std::memset(buf + len + 1, 0, -d);
            std::memcpy(occ, newstr, ln);
        }
        occ += count_only ? lo : ln;
    }
    return count;
}

// llist_strsort as bucket insertion: the nodes in sorted order.
inline std::vector<llist_node *> strsort(const std::vector<llist_node *> &in, int offset,
                                         unsigned flags) {
    const bool nocase = (flags & LLIST_SORT_NOCASE) != 0;
    auto key = [offset](auto *n) { return static_cast<const char *>(n->data) + offset; };
    // strcmp, or strcasecmp written out: the sanitizers' own knows only ASCII.
    auto fold = [nocase](unsigned char c) { return nocase ? std::tolower(c) : c; };
    auto cmp = [&](auto *x, auto *y) {
        const char *a = key(x), *b = key(y);
        for (; *a != '\0' && fold(*a) == fold(*b); ++a, ++b) {}
        return fold(*a) - fold(*b);
    };
    std::vector<std::vector<llist_node *>> bucket(256);
    for (llist_node *n : in) {
        auto first = static_cast<unsigned char>(*key(n));
        auto &b = bucket[nocase ? std::toupper(first) & 0xFF : first];
        b.insert(std::find_if(b.begin(), b.end(), [&](auto o) { return cmp(n, o) <= 0; }), n);
    }
    std::vector<llist_node *> order;
    for (const auto &b : bucket)
        order.insert(order.end(), b.begin(), b.end());
    if ((flags & LLIST_SORT_DESCEND) != 0)
        std::reverse(order.begin(), order.end());
    return order;
}

// port_strncasecmp, byte by byte through the locale's toupper, up to a's
// terminator.
inline int ncasecmp(const char *a, const char *b, long n) {
    for (long i = 0; i < n; ++i) {
        const int d = std::toupper(static_cast<unsigned char>(a[i])) -
                      std::toupper(static_cast<unsigned char>(b[i]));
        if (d != 0 || a[i] == '\0')
            return d;
    }
    return 0;
}

// port_strcasecmp: the same without a limit.
inline int casecmp(const char *a, const char *b) {
    return ncasecmp(a, b, LONG_MAX);
}

}  // namespace model
