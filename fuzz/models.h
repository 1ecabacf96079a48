// Plain step-by-step models of the library's trickier algorithms, for
// differential fuzzing: slow and obviously right.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace model {

constexpr int whole_word = 1;
constexpr int count_only = 2;

// Substitution, one occurrence at a time, moving the tail for each.
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
    for (;;) {
        char *occ = std::strstr(pos, oldstr);
        if (occ == nullptr)
            return count;
        if (flags & whole_word) {
            for (;;) {
                bool after = !std::isalnum(static_cast<unsigned char>(occ[lo]));
                bool before = occ == buf || !std::isalnum(static_cast<unsigned char>(occ[-1]));
                if (after && before)
                    break;
                occ = std::strstr(occ + 1, oldstr);
                if (occ == nullptr)
                    return count;
            }
        }
        if (flags & count_only) {
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

// Bucket insertion sort of keys; returns the input positions in sorted order.
inline std::vector<size_t> strsort(const std::vector<std::string> &keys, unsigned flags) {
    const bool nocase = flags & 1;
    auto cmp = [&](const std::string &a, const std::string &b) {
        return nocase ? strcasecmp(a.c_str(), b.c_str()) : std::strcmp(a.c_str(), b.c_str());
    };
    std::vector<std::vector<size_t>> bucket(256);
    for (size_t i = 0; i < keys.size(); ++i) {
        unsigned char first = static_cast<unsigned char>(keys[i].c_str()[0]);
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
    if (flags & 2)
        std::reverse(order.begin(), order.end());
    return order;
}

}  // namespace model
