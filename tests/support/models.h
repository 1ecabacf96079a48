// Slow, literal models of the library's trickier algorithms, shared by the
// test programs and the fuzz targets: each takes the documented steps one by
// one, so the fast code has something obviously right to be compared with.
#pragma once

#include <kelp.h>

#include <strings.h>
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

// llist_strsort as bucket insertion: the keys' input positions in sorted order.
inline std::vector<size_t> strsort(const std::vector<std::string> &keys, unsigned flags) {
    const bool nocase = (flags & LLIST_SORT_NOCASE) != 0;
    std::vector<std::vector<size_t>> bucket(256);
    for (size_t i = 0; i < keys.size(); ++i) {
        const char *key = keys[i].c_str();
        auto first = static_cast<unsigned char>(key[0]);
        auto &b = bucket[nocase ? std::toupper(first) & 0xFF : first];
        auto at = b.begin();
        while (at != b.end() && (nocase ? strcasecmp(key, keys[*at].c_str())
                                        : std::strcmp(key, keys[*at].c_str())) > 0)
            ++at;
        b.insert(at, i);
    }
    std::vector<size_t> order;
    for (const auto &b : bucket)
        order.insert(order.end(), b.begin(), b.end());
    if ((flags & LLIST_SORT_DESCEND) != 0)
        std::reverse(order.begin(), order.end());
    return order;
}

// port_strncasecmp, byte by byte through the locale's toupper, up to a's
// terminator; without a limit, port_strcasecmp.
inline int ncasecmp(const char *a, const char *b, long n = LONG_MAX) {
    for (long i = 0; i < n; ++i) {
        const int d = std::toupper(static_cast<unsigned char>(a[i])) -
                      std::toupper(static_cast<unsigned char>(b[i]));
        if (d != 0 || a[i] == '\0')
            return d;
    }
    return 0;
}

}  // namespace model
