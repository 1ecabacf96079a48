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
#include <random>
#include <string>

using kelp_test::AllocFailure;

namespace {

constexpr int kNode = sizeof(wtree_node);
constexpr int kPtr = sizeof(wtree_node *);

struct Counts {
    int words, nodes, bytes, full;
    bool operator==(const Counts &) const = default;
};

// Counts by a full walk; a child with a wrong parent or index adds a phantom node.
void walk(const wtree *t, const wtree_node *n, Counts &c) {
    c.nodes += 1;
    c.words += n->token != NOTOK;
    c.full += n->next != nullptr;
    for (int p = 0; n->next != nullptr && p < t->siz_alpha; ++p) {
        if (const wtree_node *ch = n->next[p]) {
            c.nodes += ch->parent != n || ch->index != p;
            walk(t, ch, c);
        }
    }
}

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
    Counts walked() const {
        Counts c{0, 0, 0, 0};
        walk(t, t->root, c);
        return shape(c.words, c.nodes, c.full);
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

// Runs call with gnl_usrmsg cleared; it must leave usrmsg there and record in the trace.
template <class Call>
void expect_report(Call call, const char *usrmsg, const std::string &record) {
    std::memset(gnl_usrmsg, 0, sizeof gnl_usrmsg);
    kelp_test::TraceTap tap;
    call();
    EXPECT_STREQ(gnl_usrmsg, usrmsg) << record;
    std::string line = "(INFO-" + std::to_string(getpid()) + "): " + record + "\n";
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

TEST(WtreeAllocFailure, EveryAllocationOfAnInsertion) {
    // AB and BD are stored; ABDEA needs next(B), D, next(D), E, next(E), A.
    // Odd allocations are nodes, whose failure prunes back to the word AB.
    const int left[][2] = {{0, 0}, {0, 1}, {1, 1}, {0, 0}, {2, 2}, {0, 0}};  // nodes, arrays
    for (int n = 0; n < 6; ++n) {
        Tree t("ABDE");
        t.add("AB", 1);
        t.add("BD", 2);
        Counts before = t.stats();
        std::string bytes = std::to_string(before.bytes + (n + 1) / 2 * 4 * kPtr + n / 2 * kNode);
        std::string record =
            n % 2 != 0 ? "wtree.node_alloc: failed to malloc node " +
                             std::to_string(before.nodes + n / 2) + " (byte_cnt=" + bytes + ")"
                       : "wtree_add_word: failed to malloc next array (byte_cnt=" + bytes +
                             ", siz_next=" + std::to_string(4 * kPtr) + ")";
        auto call = [&] {
            AllocFailure fail(n);
            EXPECT_EQ(t.add("ABDEA", 3), -1);
        };
        expect_report(call, "OUT OF MEMORY", record);
        EXPECT_EQ(t.stats(), t.shape(2, before.nodes + left[n][0], before.full + left[n][1])) << n;
        EXPECT_EQ(t.stats(), t.walked());
        EXPECT_EQ(t.find("AB"), 1);
        // The leftovers are ordinary nodes: the word goes in and out again,
        // with the six allocations less those it finds made.
        kelp_test::reset_alloc_count();
        EXPECT_EQ(t.add("ABDEA", 5), 0);
        EXPECT_EQ(kelp_test::library_allocs(), 6 - left[n][0] - left[n][1]);
        EXPECT_EQ(t.del("ABDEA"), 0);
        EXPECT_EQ(t.stats(), before) << n;
    }
    // A failed node below the root prunes nothing: D stays, tokenless, for
    // the destroy at the end.
    Tree t("ABDE");
    AllocFailure fail(3);  // next(root), D, next(D), A
    EXPECT_EQ(t.add("DA", 1), -1);
    EXPECT_EQ(t.stats(), t.shape(0, 2, 2));
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

TEST(WtreeModel, RandomOperationsAgainstAMap) {
    for (int nocase : {0, 1}) {
        std::mt19937 rng(20261205u + nocase);
        Tree t(nocase != 0 ? "abdeq" : "ABDEQ", nocase);
        std::map<std::string, int> model;  // keyed by the upper-case word
        // The shape the tree must have: a node for each prefix of a stored
        // word, with an array where a longer word goes on; but first-level
        // nodes and their arrays stay once made.
        std::map<std::string, int> nodes, arrays;  // prefix -> words through it
        auto account = [&](const std::string &k, int d) {
            for (size_t n = 1; n <= k.size(); ++n) {
                std::string p = k.substr(0, n);
                if ((nodes[p] += n == 1 ? 1 : d) == 0)
                    nodes.erase(p);
                if (n < k.size() && (arrays[p] += n == 1 ? 1 : d) == 0)
                    arrays.erase(p);
            }
        };
        for (int step = 0; step < 8000; ++step) {
            std::string w(rng() % 6, ' '), key;
            for (char &c : w) {
                key += c = "ABDEQ"[rng() % 5];
                if (nocase != 0 && rng() % 2 != 0)
                    c = static_cast<char>(std::tolower(c));
            }
            unsigned op = rng() % 10;
            if (step / 500 % 2 != 0 && op < 7 && !model.empty()) {  // take the tree apart again
                w = key = std::next(model.begin(), rng() % model.size())->first;
                op = 4;
            }
            auto it = model.find(key);
            SCOPED_TRACE(std::to_string(step) + " '" + w + "'");
            if (op < 4) {
                int token = static_cast<int>(rng() % 65535) - 32768;
                token += token >= NOTOK;
                int full = t.stats().full;  // the result tells whether an array was made
                int r = t.add(w, token);
                ASSERT_EQ(r, t.stats().full > full ? 0 : 1);
                if (model.insert_or_assign(key, token).second)
                    account(key, 1);
            } else if (op < 7) {
                ASSERT_EQ(t.del(w), it == model.end() ? -1 : 0);
                if (model.erase(key) != 0)
                    account(key, -1);
            } else {
                ASSERT_EQ(t.find(w), it == model.end() ? NOTOK : it->second);
            }
            int words = static_cast<int>(model.size()), n = static_cast<int>(nodes.size());
            ASSERT_EQ(t.stats(), t.shape(words, 1 + n, (n > 0) + static_cast<int>(arrays.size())));
            ASSERT_EQ(t.stats(), t.walked());
        }
        for (const auto &[w, tok] : model)
            EXPECT_EQ(t.find(w), tok);
    }
}

}  // namespace
