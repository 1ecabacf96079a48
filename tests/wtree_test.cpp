#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "testutil.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>

using kelp_test::AllocFailure;

namespace {

constexpr int kNode = sizeof(wtree_node);
constexpr int kPtr = sizeof(wtree_node *);

struct Counts {
    int words, nodes, bytes, full;
    bool operator==(const Counts &) const = default;
};

// A tree taking words as strings, destroyed at scope exit.
struct Tree {
    wtree *t;
    explicit Tree(const std::string &alphabet, int nocase = 0)
        : t(wtree_create(alphabet.data(), static_cast<int>(alphabet.size()), nocase)) {}
    Tree(const Tree &) = delete;
    ~Tree() {
        if (t != nullptr)
            wtree_destroy(t);
    }
    int len(const std::string &w) const { return static_cast<int>(w.size()); }
    int add(const std::string &w, int token) { return wtree_add_word(t, w.c_str(), len(w), token); }
    int find(const std::string &w) const { return wtree_find_word(t, w.data(), len(w)); }
    int del(const std::string &w) { return wtree_del_word(t, w.data(), len(w)); }
    Counts stats() const {
        wtree_counts c{};
        wtree_stats(t, &c);
        return {c.word_cnt, c.node_cnt, c.byte_cnt, c.full_cnt};
    }
    // The counts that a tree of this shape must report.
    Counts shape(int words, int nodes, int full) const {
        return {words, nodes, t->siz_alpha + 1 + nodes * kNode + full * t->siz_alpha * kPtr, full};
    }
    std::string dump() const {
        char *buf = nullptr;
        size_t size = 0;
        FILE *f = open_memstream(&buf, &size);
        wtree_dump(t, f);
        std::fclose(f);
        std::string s(buf, size);
        std::free(buf);
        return s;
    }
};

std::string all_bytes() {
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<char>(i);
    return s;
}

// Runs call with gnl_usrmsg cleared; it must leave usrmsg there and a trace
// record that begins with record.
template <class Call>
void expect_report(Call call, const char *usrmsg, const std::string &record) {
    std::memset(gnl_usrmsg, 0, sizeof gnl_usrmsg);
    kelp_test::TraceTap tap;
    call();
    EXPECT_STREQ(gnl_usrmsg, usrmsg) << record;
    std::string line = "(INFO-" + std::to_string(getpid()) + "): " + record;
    EXPECT_NE(tap.text().find(line), std::string::npos) << line << tap.text();
}

TEST(WtreeCreate, AlphabetsTheirIndexAndRefusals) {
    const struct {
        std::string alphabet;
        int nocase;
        std::string copy;
    } valid[] = {
        {"", 0, ""},
        {"aA", 0, "aA"},
        {"ab", 1, "AB"},
        {{"A\0B", 3}, 0, {"A\0B", 3}},
        {all_bytes(), 0, all_bytes()},
    };
    for (const auto &[alphabet, nocase, copy] : valid) {
        Tree t(alphabet, nocase);
        ASSERT_NE(t.t, nullptr) << copy;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(t.t->alphabet), copy.size() + 1),
                  copy + '\0');
        EXPECT_EQ(t.stats(), t.shape(0, 1, 0));
        for (int b = 0; b < 256; ++b)
            EXPECT_EQ(t.t->char_idx[b], std::min(copy.find(static_cast<char>(b)), size_t{256}));
    }
    std::string all257 = all_bytes() + '\0';
    const struct {
        std::string alphabet;
        int size, nocase;
        const char *record;
    } refused[] = {
        {"ABCA", 4, 0, "wtree_create: char 3 of alphabet (0x41) is invalid"},
        {"aA", 2, 1, "wtree_create: char 1 of alphabet (0x41) is invalid"},
        {all257, 257, 0, "wtree_create: char 256 of alphabet (0x00) is invalid"},
        {"AB", -1, 0, "wtree_create: invalid alphabet size -1"},
    };
    for (const auto &c : refused) {
        auto call = [&] { EXPECT_EQ(wtree_create(c.alphabet.data(), c.size, c.nocase), nullptr); };
        expect_report(call, "APPLICATION ERROR", c.record);
    }
    // However large the size, nothing past the first repeat is read.
    kelp_test::GuardedBuffer guard;
    std::memcpy(guard.tail(257), all257.data(), 257);
    EXPECT_EQ(wtree_create(reinterpret_cast<char *>(guard.tail(257)), INT_MAX, 0), nullptr);
}

TEST(WtreeCreate, EachAllocationFailureLeavesNothing) {
    const std::string records[] = {
        "wtree_create: failed to malloc tree handle (" + std::to_string(sizeof(wtree)) + " bytes)",
        "wtree_create: failed to malloc alphabet (5 bytes)",
        "wtree.node_alloc: failed to malloc node 0 (byte_cnt=5)",
    };
    for (int n = 0; n < 3; ++n) {
        auto call = [n] {
            AllocFailure fail(n);
            EXPECT_EQ(wtree_create("ABDE", 4, 0), nullptr);
        };
        expect_report(call, "OUT OF MEMORY", records[n]);
    }
    kelp_test::reset_alloc_count();
    Tree t("ABDE");
    EXPECT_EQ(kelp_test::library_allocs(), 3);
}

TEST(WtreeWords, LengthBoundsTheWord) {
    Tree t("ABDE");
    EXPECT_EQ(wtree_add_word(t.t, "ABDzz", 3, -1), 0);
    EXPECT_EQ(wtree_find_word(t.t, "ABE", 2), NOTOK);
    EXPECT_EQ(wtree_find_word(t.t, "ABDE", 3), -1);
    EXPECT_EQ(wtree_add_word(t.t, "zz", -3, 7), 1);  // negative length: the empty word
    EXPECT_EQ(t.find(""), 7);
    EXPECT_EQ(wtree_del_word(t.t, "A", 0), 0);
    EXPECT_EQ(t.stats(), t.shape(1, 4, 3));
}

TEST(WtreeWords, RefusedTokensAndCharactersChangeNothing) {
    const struct {
        int nocase;
        std::string word;
        int token;
        const char *record;
    } cases[] = {
        {0, "", 0, "wtree_add_word: illegal token (NOTOK)"},
        {0, "AB", 65536, "wtree_add_word: illegal token 65536 (not 16 bits)"},
        {0, "AB", -32769, "wtree_add_word: illegal token -32769 (not 16 bits)"},
        {0, "AZB", 1, "wtree_add_word: illegal char 1=(90) (AZB)"},
        {0, "A\xE9", 1, "wtree_add_word: illegal char 1=(233) (A\xE9)"},
        {0, {"A\0B", 3}, 1, "wtree_add_word: illegal char 1=(0) (A)"},
        {1, "abz", 1, "wtree_add_word: illegal char 2=(122) (abz)"},  // reported unfolded
    };
    for (const auto &c : cases) {
        Tree t("ABDE", c.nocase);
        ASSERT_EQ(t.add("D", 4), 0);
        Counts before = t.stats();
        expect_report([&] { EXPECT_EQ(t.add(c.word, c.token), -1); }, "APPLICATION ERROR",
                      c.record);
        EXPECT_EQ(t.stats(), before);
        EXPECT_EQ(t.t->root->next[0], nullptr);  // not even A was made
        std::memset(gnl_usrmsg, 0, sizeof gnl_usrmsg);
        EXPECT_EQ(t.find(c.word), NOTOK);
        EXPECT_EQ(t.del(c.word), -1);
        EXPECT_STREQ(gnl_usrmsg, "");  // misses are quiet
    }
}

TEST(WtreeReport, DumpLinesAndStats) {
    Tree t("ABDE");
    auto head = [&](int words, int nodes, int full) {
        return "Alphabet is 4 bytes\n" + std::to_string(words) + " words, " +
               std::to_string(nodes) + " nodes " + std::to_string(t.shape(0, nodes, full).bytes) +
               " bytes, " + std::to_string(full) + " full nodes\n\n";
    };
    EXPECT_EQ(t.dump(), head(0, 1, 0) + "Root: EMPTY, next=N\n");
    t.add("A", 1);
    t.add("AB", 2);
    t.add("D", 3);
    EXPECT_EQ(t.dump(), head(3, 4, 2) +
                            "Root: EMPTY, next=Y\n1-1 (A) = 1, next=Y\n"
                            "2-1.2 (AB) = 2, next=N\n1-3 (D) = 3, next=N\n");
    t.del("A");
    t.del("AB");
    t.add("", -7);
    t.add("DEE", -32768);
    EXPECT_EQ(t.dump(), head(3, 5, 4) +
                            "Root: token=-7, next=Y\n1-1 EMPTY, next=Y\n1-3 (D) = 3, "
                            "next=Y\n2-3.4 EMPTY, next=Y\n3-3.4.4 (DEE) = -32768, "
                            "next=N\n");
    Tree only("ABDE");
    only.add("", 7);
    EXPECT_EQ(only.dump(), head(1, 1, 0) + "Root: token=7, next=N\n");
    Tree nul({"x\0y", 3}, 1);
    nul.add({"x\0Y", 3}, 4);
    EXPECT_NE(nul.dump().find("\n3-1.2.3 (X<0>Y) = 4, next=N\n"), std::string::npos);

    // Stats add to the caller's record rather than assign it.
    wtree_counts c{};
    for (const Tree *x : {&t, &t, &only})
        wtree_stats(x->t, &c);
    EXPECT_EQ((Counts{c.word_cnt, c.node_cnt, c.byte_cnt, c.full_cnt}),
              (Counts{7, 11, 2 * t.stats().bytes + only.stats().bytes, 8}));
}

// Label of the first node of the given depth in a dump.
std::string label_at(const std::string &text, int depth) {
    std::string key = "\n" + std::to_string(depth) + "-";
    size_t at = text.find(key) + key.size();
    return text.substr(at, text.find(' ', at) - at);
}

TEST(WtreeReport, LongLabelsAreCutAt401) {
    // One-digit elements: depth 200 starts at 398, the first one cut.
    Tree t("AB");
    t.add(std::string(205, 'A'), 1);
    std::string text = t.dump(), ones = "1";
    for (int d = 2; d <= 199; ++d)
        ones += ".1";
    EXPECT_EQ(label_at(text, 199), ones);
    for (int d : {200, 201, 205})
        EXPECT_EQ(label_at(text, d), ones + ".xxx") << d;
    EXPECT_NE(text.find("205-" + ones + ".xxx (" + std::string(205, 'A') + ") = 1, next=N\n"),
              std::string::npos);
    // Three-digit elements: depth 101 starts at 400.
    Tree u(all_bytes());
    u.add(std::string(102, '\xFF'), 2);
    text = u.dump();
    std::string wide = "256";
    for (int d = 2; d <= 100; ++d)
        wide += ".256";
    EXPECT_EQ(label_at(text, 101), wide + ".x");
}

TEST(WtreeReport, WordsOfAnyLengthDumpWithoutDeepRecursion) {
    // A recursion per character would need far more stack than a thread
    // has. The stream keeps only the line count and the last line.
    const int len = std::getenv("KELP_UNDER_VALGRIND") != nullptr ? 100000 : 1000000;
    Tree t("AB");
    ASSERT_EQ(t.add(std::string(len, 'B'), 9), 0);
    struct Lines {
        long count = 0;
        std::string line, last;
    } lines;
    cookie_io_functions_t io{};
    io.write = [](void *cookie, const char *buf, size_t n) -> ssize_t {
        auto *l = static_cast<Lines *>(cookie);
        const char *end = buf + n;
        for (const char *nl; (nl = static_cast<const char *>(std::memchr(buf, '\n', end - buf)));
             buf = nl + 1) {
            ++l->count;
            l->last = l->line.append(buf, nl);
            l->line.clear();
        }
        l->line.append(buf, end);
        return static_cast<ssize_t>(n);
    };
    FILE *f = fopencookie(&lines, "w", io);
    wtree_dump(t.t, f);
    std::fclose(f);
    std::string label = "2";
    for (int d = 2; d < 200; ++d)
        label += ".2";
    EXPECT_EQ(lines.count, 4 + len);
    EXPECT_EQ(lines.last, std::to_string(len) + "-" + label + ".xxx (" + std::string(len, 'B') +
                              ") = 9, next=N");
}

// A slow model of the tree, node by node as adds and prunes shape it: every
// node keyed by its folded word ("" the root), which orders them as the dump
// walks them when the alphabet ascends.
struct Model {
    std::string alphabet;
    std::map<std::string, int> token;  // every node
    std::set<std::string> full;        // the nodes with a next array

    int bytes() const {
        int n = static_cast<int>(alphabet.size());
        return n + 1 + static_cast<int>(token.size()) * kNode + static_cast<int>(full.size()) * n * kPtr;
    }
    int children(const std::string &p) const {
        int n = 0;
        for (auto it = token.upper_bound(p); it != token.end() && it->first.starts_with(p); ++it)
            n += it->first.size() == p.size() + 1;
        return n;
    }
    void erase_below(const std::string &p) {
        std::erase_if(token, [&](auto &kv) { return kv.first.starts_with(p); });
        std::erase_if(full, [&](auto &k) { return k.starts_with(p); });
    }
    void prune(std::string p) {
        if (p.size() < 2)
            return;
        std::string top;
        for (int expected = 0; token[p] == NOTOK && children(p) == expected; expected = 1) {
            if (p.size() == 2) {
                erase_below(p);
                return;
            }
            top = p;
            p.pop_back();
        }
        if (top.empty())
            return;
        erase_below(top);
        if (children(p) == 0)
            full.erase(p);
    }
    // Adds word; allocation number fail (-1: none) fails. The result and the
    // trace record of the failure.
    std::pair<int, std::string> add(const std::string &word, int tok, int fail) {
        std::string at;
        int n = 0;
        bool grew = false;
        for (char c : word) {
            if (!full.contains(at)) {
                if (n++ == fail)
                    return {-1, "wtree_add_word: failed to malloc next array (byte_cnt=" +
                                    std::to_string(bytes()) + ", siz_next=" +
                                    std::to_string(alphabet.size() * kPtr) + ")\n"};
                full.insert(at);
                grew = true;
            }
            if (!token.contains(at + c)) {
                if (n++ == fail) {
                    std::string record = "wtree.node_alloc: failed to malloc node " +
                                         std::to_string(token.size()) +
                                         " (byte_cnt=" + std::to_string(bytes()) + ")\n";
                    prune(at);
                    return {-1, record};
                }
                token[at + c] = NOTOK;
            }
            at += c;
        }
        token[at] = tok;
        return {grew ? 0 : 1, ""};
    }
    int del(const std::string &word) {
        auto it = token.find(word);
        if (it == token.end() || it->second == NOTOK)
            return -1;
        it->second = NOTOK;
        prune(word);
        return 0;
    }
    std::string dump() const {
        int words = static_cast<int>(std::count_if(
            token.begin(), token.end(), [](auto &kv) { return kv.second != NOTOK; }));
        std::string s = "Alphabet is " + std::to_string(alphabet.size()) + " bytes\n" +
                        std::to_string(words) + " words, " + std::to_string(token.size()) +
                        " nodes " + std::to_string(bytes()) + " bytes, " +
                        std::to_string(full.size()) + " full nodes\n\n";
        for (const auto &[word, tok] : token) {
            if (word.empty()) {
                s += tok != NOTOK ? "Root: token=" + std::to_string(tok) : "Root: EMPTY";
            } else {
                s += std::to_string(word.size()) + "-";
                for (size_t i = 0; i < word.size(); ++i)
                    s += (i > 0 ? "." : "") + std::to_string(alphabet.find(word[i]) + 1);
                s += tok != NOTOK ? " (" + word + ") = " + std::to_string(tok) : " EMPTY";
            }
            s += full.contains(word) ? ", next=Y\n" : ", next=N\n";
        }
        return s;
    }
};

TEST(WtreeModel, RandomOperationsWithAllocationFailures) {
    // Failures come where the tree must ask the system for memory; fresh
    // trees reach those points often. Each failure is matched to the
    // allocation of the model whose trace record it wrote.
    int failed_arrays = 0, failed_nodes = 0;
    for (int round = 0; round < 40; ++round) {
        const int nocase = round % 2;
        std::mt19937 rng(20261206u + static_cast<unsigned>(round));
        Tree t(nocase != 0 ? "abdeq" : "ABDEQ", nocase);
        Model model{"ABDEQ", {{"", NOTOK}}, {}};
        for (int step = 0; step < 300; ++step) {
            std::string w(rng() % 6, ' '), key;
            for (char &c : w) {
                key += c = "ABDEQ"[rng() % 5];
                if (nocase != 0 && rng() % 2 != 0)
                    c = static_cast<char>(std::tolower(c));
            }
            unsigned op = rng() % 10;
            if (step / 100 % 2 != 0 && op < 7) {  // take the tree apart again
                for (const auto &[word, tok] : model.token)
                    if (tok != NOTOK && rng() % 4 == 0)
                        w = key = word;
                op = 4;
            }
            SCOPED_TRACE(std::to_string(round) + "/" + std::to_string(step) + " '" + w + "'");
            if (op < 4) {
                int token = static_cast<int>(rng() % 65535) - 32768;
                token += token >= NOTOK;
                std::optional<AllocFailure> failing;
                if (rng() % 3 == 0)
                    failing.emplace(0, true);
                kelp_test::TraceTap tap;
                int r = t.add(w, token);
                failing.reset();
                if (r != -1) {
                    ASSERT_EQ(r, model.add(key, token, -1).first);
                } else {
                    const std::string record = tap.text();
                    Model tried = model;
                    for (int n = 0;; ++n) {
                        tried = model;
                        auto [mr, mrecord] = tried.add(key, token, n);
                        ASSERT_EQ(mr, -1) << "no allocation writes " << record;
                        if (record.ends_with(mrecord))
                            break;
                    }
                    model = tried;
                    (record.find("next array") != std::string::npos ? failed_arrays : failed_nodes)++;
                    EXPECT_STREQ(gnl_usrmsg, "OUT OF MEMORY");
                }
            } else if (op < 7) {
                ASSERT_EQ(t.del(w), model.del(key));
            } else {
                auto it = model.token.find(key);
                ASSERT_EQ(t.find(w), it == model.token.end() ? NOTOK : it->second);
            }
            ASSERT_EQ(t.dump(), model.dump());
        }
    }
    EXPECT_GT(failed_arrays, 10);
    EXPECT_GT(failed_nodes, 10);
}

TEST(WtreeModel, ChurnKeepsTheHeapBounded) {
    // A long-lived tree whose words keep changing reuses what deletions gave
    // back: its heap follows the tree's size, not the number of operations.
    Tree t("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    std::mt19937 rng(7);
    std::vector<std::string> live;
    int peak = 0;
    long heap_then = 0;
    for (int round = 0; round < 60; ++round) {
        for (int i = 0; i < 400; ++i) {
            std::string w(1 + rng() % 8, ' ');
            for (char &c : w)
                c = static_cast<char>('A' + rng() % 26);
            if (t.add(w, 1) != -1)
                live.push_back(w);
            peak = std::max(peak, t.stats().bytes);
        }
        std::shuffle(live.begin(), live.end(), rng);
        while (live.size() > 2000) {
            t.del(live.back());
            live.pop_back();
        }
        if (round == 10)
            heap_then = kelp_test::library_heap();
    }
    EXPECT_LE(kelp_test::library_heap(), heap_then + peak / 4) << "peak byte_cnt " << peak;
}

}  // namespace
