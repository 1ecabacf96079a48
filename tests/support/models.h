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
#include <strings.h>
#include <vector>

namespace model {

// strsub, one occurrence at a time, moving the tail for each.
inline int strsub(char *buf, int size, const char *oldstr, const char *newstr, int flags) {
    const long lo = static_cast<long>(std::strlen(oldstr));
    const long ln = static_cast<long>(std::strlen(newstr));
    if (lo == 0) {
        if (size != 0 && size <= ln)
            return 0;
        if (size > 0)
            std::memset(buf, 0, static_cast<size_t>(size));
        std::memcpy(buf, newstr, static_cast<size_t>(ln) + 1);
        return 1;
    }
    const long d = ln - lo;
    long work = size;
    int count = 0;
    char *pos = buf;
    auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (;;) {
        char *occ = std::strstr(pos, oldstr);
        while (occ != nullptr && (flags & STRSUB_WHOLE_WORD) != 0 &&
               (alnum(occ[lo]) || (occ != buf && alnum(occ[-1]))))
            occ = std::strstr(occ + 1, oldstr);
        if (occ == nullptr)
            return count;
        if ((flags & STRSUB_COUNT_ONLY) != 0) {
            if (work != 0 && d > 0) {
                if (work < static_cast<long>(std::strlen(buf)) + d + 1)
                    return count;
                work -= d;
            }
            ++count;
            pos = occ + lo;
            continue;
        }
        if (d > 0 && size != 0 && static_cast<long>(std::strlen(buf)) + d + 1 > size)
            return count;
        if (d != 0) {
            size_t tail = std::strlen(occ + lo) + 1;
            std::memmove(occ + lo + d, occ + lo, tail);
            if (d < 0)
                std::memset(occ + lo + d + tail, 0, static_cast<size_t>(-d));
        }
        std::memcpy(occ, newstr, static_cast<size_t>(ln));
        ++count;
        pos = occ + ln;
    }
}

// llist_strsort as bucket insertion: the keys' input positions in sorted order.
inline std::vector<size_t> strsort(const std::vector<std::string> &keys, unsigned flags) {
    const bool nocase = (flags & LLIST_SORT_NOCASE) != 0;
    auto cmp = [&](const std::string &a, const std::string &b) {
        return nocase ? strcasecmp(a.c_str(), b.c_str()) : std::strcmp(a.c_str(), b.c_str());
    };
    std::vector<std::vector<size_t>> bucket(256);
    for (size_t i = 0; i < keys.size(); ++i) {
        auto first = static_cast<unsigned char>(keys[i].c_str()[0]);
        if (nocase)
            first = static_cast<unsigned char>(std::toupper(first));
        auto &b = bucket[first];
        auto at = b.begin();
        while (at != b.end() && cmp(keys[i], keys[*at]) > 0)
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

// port_strncasecmp, byte by byte through the locale's toupper.
inline int ncasecmp(const char *a, const char *b, long n) {
    const long positions = std::min(n, static_cast<long>(std::strlen(a)) + 1);
    for (long i = 0; i < positions; ++i) {
        int x = std::toupper(static_cast<unsigned char>(a[i]));
        int y = std::toupper(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x - y;
    }
    return 0;
}

// port_strcasecmp: the same without a limit.
inline int casecmp(const char *a, const char *b) {
    return ncasecmp(a, b, LONG_MAX);
}

}  // namespace model
