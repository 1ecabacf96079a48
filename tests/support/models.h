// Slow, literal models of the library's trickier algorithms, shared by the
// test programs and the fuzz targets: each takes the documented steps one by
// one, so the fast code has something obviously right to be compared with.
#pragma once

#include <kelp.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
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

// printf into a std::string.
template <class... Args>
std::string fmt(const char *format, Args... args) {
    std::string s(static_cast<size_t>(std::snprintf(nullptr, 0, format, args...)), '\0');
    std::snprintf(s.data(), s.size() + 1, format, args...);
    return s;
}

// What wtree_dump prints for t, to compare with WordTree::dump.
inline std::string dump_of(wtree *t) {
    char *buf = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&buf, &size);
    wtree_dump(t, f);
    std::fclose(f);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

// A word tree node by node, keyed by folded word ("" the root) so that the
// map walks them in the dump's order; full holds the nodes with a next
// array. Byte counts take the library's record and pointer sizes.
struct WordTree {
    std::string alphabet;  // folded, as the tree's copy
    std::map<std::string, int> token{{"", NOTOK}};
    std::set<std::string> full{};

    size_t bytes() const {
        return alphabet.size() + 1 + token.size() * sizeof(wtree_node) +
               full.size() * alphabet.size() * sizeof(wtree_node *);
    }
    bool leaf(const std::string &p) const {
        auto next = token.upper_bound(p);
        return next == token.end() || !next->first.starts_with(p);
    }
    // Releases, from p up, the tokenless leaves; the root and the first level
    // stay. A word's node that lost its last child loses its next array.
    void prune(std::string p) {
        const size_t from = p.size();
        for (; p.size() > 1 && token[p] == NOTOK && leaf(p); p.pop_back())
            token.erase(p), full.erase(p);
        if (p.size() < from && p.size() > 1 && leaf(p))
            full.erase(p);
    }
    // Adds key (word folded) with library allocation number fail failing
    // (-1: none): the result, and the trace record of a failure. word is
    // the key's bytes as the caller passed them.
    std::pair<int, std::string> add(const std::string &key, const std::string &word, int tok,
                                    int fail) {
        if (tok == NOTOK)
            return {-1, "wtree_add_word: illegal token (NOTOK)"};
        if (tok < -32768 || tok > 32767)
            return {-1, fmt("wtree_add_word: illegal token %d (not 16 bits)", tok)};
        for (size_t i = 0; i < key.size(); ++i)
            if (alphabet.find(key[i]) == std::string::npos)
                return {-1, fmt("wtree_add_word: illegal char %zu=(%d) (%s)", i, word[i] & 0xFF,
                                word.c_str())};
        const size_t arrays = full.size();
        std::string at;
        for (int n = 0; char c : key) {
            if (!full.contains(at) && n++ == fail)
                return {-1, fmt("wtree_add_word: failed to malloc next array (byte_cnt=%zu, "
                                "siz_next=%zu)",
                                bytes(), alphabet.size() * sizeof(wtree_node *))};
            full.insert(at);
            if (!token.contains(at + c) && n++ == fail) {
                std::string record = fmt("wtree.node_alloc: failed to malloc node %zu (byte_cnt=%zu)",
                                         token.size(), bytes());
                prune(at);
                return {-1, record};
            }
            token.emplace(at += c, NOTOK);
        }
        token[at] = tok;
        return {full.size() > arrays ? 0 : 1, ""};
    }
    std::string dump() const {
        std::string lines;
        long words = 0;
        for (const auto &[word, tok] : token) {
            std::string label, shown;
            for (char c : word) {
                label += fmt(label.empty() ? "%zu" : ".%zu", alphabet.find(c) + 1);
                shown += c != '\0' ? std::string(1, c) : "<0>";
            }
            words += tok != NOTOK;
            lines += word.empty() ? "Root:" : fmt("%zu-%s", word.size(), label.c_str());
            lines += tok == NOTOK   ? " EMPTY"
                     : word.empty() ? fmt(" token=%d", tok)
                                    : fmt(" (%s) = %d", shown.c_str(), tok);
            lines += full.contains(word) ? ", next=Y\n" : ", next=N\n";
        }
        return fmt("Alphabet is %zu bytes\n%ld words, %zu nodes %zu bytes, %zu full nodes\n\n",
                   alphabet.size(), words, token.size(), bytes(), full.size()) +
               lines;
    }
};

}  // namespace model
