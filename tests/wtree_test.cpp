#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "testutil.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using kelp_test::AllocFailure;
using kelp_test::TraceTap;

namespace {

constexpr int kNode = sizeof(wtree_node);
constexpr int kPtr = sizeof(wtree_node *);

struct TreeDeleter {
    void operator()(wtree *t) const { wtree_destroy(t); }
};
using Tree = std::unique_ptr<wtree, TreeDeleter>;

Tree make(const std::string &alphabet, int nocase = 0) {
    return Tree(wtree_create(alphabet.data(), static_cast<int>(alphabet.size()), nocase));
}
int add(wtree *t, const std::string &w, int token) {
    return wtree_add_word(t, w.c_str(), static_cast<int>(w.size()), token);
}
int find(const wtree *t, const std::string &w) {
    return wtree_find_word(t, w.data(), static_cast<int>(w.size()));
}
int del(wtree *t, const std::string &w) {
    return wtree_del_word(t, w.data(), static_cast<int>(w.size()));
}

std::string all_bytes() {
    std::string s(256, '\0');
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<char>(i);
    return s;
}

struct Counts {
    int words, nodes, bytes, full;
    bool operator==(const Counts &) const = default;
};
Counts stats(const wtree *t) {
    wtree_counts c{};
    wtree_stats(t, &c);
    return {c.word_cnt, c.node_cnt, c.byte_cnt, c.full_cnt};
}
// The counts that a tree of this shape must report.
Counts shape(const wtree *t, int words, int nodes, int full) {
    return {words, nodes, t->siz_alpha + 1 + nodes * kNode + full * t->siz_alpha * kPtr, full};
}
// Counts by a full walk; a broken parent or index link adds a phantom node.
void walk(const wtree *t, const wtree_node *n, Counts &c) {
    ++c.nodes;
    c.words += n->token != NOTOK;
    c.full += n->next != nullptr;
    for (int p = 0; n->next != nullptr && p < t->siz_alpha; ++p) {
        if (const wtree_node *ch = n->next[p]) {
            c.nodes += ch->parent != n || ch->index != p;
            walk(t, ch, c);
        }
    }
}
Counts walked(const wtree *t) {
    Counts c{0, 0, 0, 0};
    walk(t, t->root, c);
    return shape(t, c.words, c.nodes, c.full);
}

// The record's message, as the trace wrote it while tap lived.
bool traced(const TraceTap &tap, const std::string &message) {
    return tap.text().find("(INFO-" + std::to_string(getpid()) + "): " + message + "\n") !=
           std::string::npos;
}
void clear_usrmsg() {
    std::memset(gnl_usrmsg, 0, sizeof gnl_usrmsg);
}

std::string dump(wtree *t) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    wtree_dump(t, f);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

TEST(WtreeCreate, AlphabetCopyIndexAndCounts) {
    struct Case {
        std::string alphabet;
        int nocase;
        std::string copy;
    } cases[] = {
        {"", 0, ""},
        {"aA", 0, "aA"},
        {"ab", 1, "AB"},
        {{"A\0B", 3}, 0, {"A\0B", 3}},
        {all_bytes(), 0, all_bytes()},
    };
    for (const Case &c : cases) {
        Tree t = make(c.alphabet, c.nocase);
        ASSERT_NE(t, nullptr) << c.copy;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(t->alphabet), c.copy.size() + 1),
                  c.copy + '\0');
        EXPECT_EQ(stats(t.get()), (Counts{0, 1, static_cast<int>(c.copy.size()) + 1 + kNode, 0}));
        for (int b = 0; b < 256; ++b) {
            size_t at = c.copy.find(static_cast<char>(b));
            EXPECT_EQ(t->char_idx[b], at == std::string::npos ? 256 : at);
        }
    }
}

TEST(WtreeCreate, RefusedAlphabets) {
    std::string all257 = all_bytes() + '\0';
    struct Case {
        std::string alphabet;
        int size, nocase;
        const char *record;
    } cases[] = {
        {"ABCA", 4, 0, "wtree_create: char 3 of alphabet (0x41) is invalid"},
        {"aA", 2, 1, "wtree_create: char 1 of alphabet (0x41) is invalid"},
        {all257, 257, 0, "wtree_create: char 256 of alphabet (0x00) is invalid"},
        {"AB", -1, 0, "wtree_create: invalid alphabet size -1"},
    };
    for (const Case &c : cases) {
        clear_usrmsg();
        TraceTap tap;
        EXPECT_EQ(wtree_create(c.alphabet.data(), c.size, c.nocase), nullptr);
        EXPECT_STREQ(gnl_usrmsg, "APPLICATION ERROR");
        EXPECT_TRUE(traced(tap, c.record)) << tap.text();
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
        clear_usrmsg();
        TraceTap tap;
        AllocFailure fail(n);
        EXPECT_EQ(wtree_create("ABDE", 4, 0), nullptr);
        EXPECT_STREQ(gnl_usrmsg, "OUT OF MEMORY");
        EXPECT_TRUE(traced(tap, records[n])) << tap.text();
    }
    kelp_test::reset_alloc_count();
    make("ABDE");
    EXPECT_EQ(kelp_test::library_allocs(), 3);
}

TEST(WtreeWords, ResultTellsWhetherANextArrayWasAllocated) {
    Tree t = make("ABDE");
    wtree *w = t.get();
    const std::pair<const char *, int> steps[] = {{"A", 0},  {"B", 1}, {"AB", 0},   {"AB", 1},
                                                  {"AD", 1}, {"", 1},  {"ADEE", 0}, {"ADE", 1}};
    int token = 1;
    for (auto [word, result] : steps)
        EXPECT_EQ(add(w, word, token++), result) << word;
    EXPECT_EQ(find(w, "AB"), 4);  // replaced
    EXPECT_EQ(find(w, ""), 6);
    EXPECT_EQ(stats(w), shape(w, 7, 7, 4));

    Tree u = make("ABDE");
    EXPECT_EQ(add(u.get(), "ABD", 1), 0);
    EXPECT_EQ(stats(u.get()), shape(u.get(), 1, 4, 3));
    for (const char *miss : {"", "A", "AB", "ABDE", "ABE"})
        EXPECT_EQ(find(u.get(), miss), NOTOK) << miss;
    EXPECT_EQ(del(u.get(), "AB"), -1);
    // The length bounds the word; what follows is not even checked.
    EXPECT_EQ(wtree_add_word(u.get(), "ABDzz", 2, -5), 1);
    EXPECT_EQ(wtree_find_word(u.get(), "ABE", 2), -5);
    EXPECT_EQ(wtree_add_word(u.get(), "zz", -3, 7), 1);  // negative length: the empty word
    EXPECT_EQ(wtree_del_word(u.get(), "A", 0), 0);
    EXPECT_EQ(stats(u.get()), shape(u.get(), 2, 4, 3));
}

TEST(WtreeWords, RefusedTokensAndCharactersChangeNothing) {
    struct Case {
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
    for (const Case &c : cases) {
        Tree t = make("ABDE", c.nocase);
        ASSERT_EQ(add(t.get(), "D", 4), 0);
        Counts before = stats(t.get());
        clear_usrmsg();
        TraceTap tap;
        EXPECT_EQ(add(t.get(), c.word, c.token), -1);
        EXPECT_STREQ(gnl_usrmsg, "APPLICATION ERROR");
        EXPECT_TRUE(traced(tap, c.record)) << tap.text();
        EXPECT_EQ(stats(t.get()), before);
        EXPECT_EQ(t->root->next[0], nullptr);  // not even A was made
        clear_usrmsg();
        EXPECT_EQ(find(t.get(), c.word), NOTOK);
        EXPECT_EQ(del(t.get(), c.word), -1);
        EXPECT_STREQ(gnl_usrmsg, "");  // misses are quiet
    }
}

TEST(WtreeWords, TokensAndBytesOfEveryValue) {
    Tree t = make(all_bytes());
    const std::string word("\0\xFF\x80\0", 4);
    for (int token : {-1, 32767, -32768}) {
        add(t.get(), word, token);
        EXPECT_EQ(find(t.get(), word), token);
    }
    EXPECT_EQ(t->root->next[0]->next[255]->index, 255);
    EXPECT_EQ(stats(t.get()), shape(t.get(), 1, 5, 4));
}

TEST(WtreePrune, DeletionReleasesWhatLeadsToNoWord) {
    struct Case {
        std::vector<std::string> words;
        std::string gone;
        int words_left, nodes, full;
    } cases[] = {
        {{"ABD"}, "ABD", 0, 2, 2},               // first-level A stays, with its array
        {{"AB", "ABD"}, "ABD", 1, 3, 2},         // the word node B loses its array
        {{"AB", "ABD", "ABE"}, "ABE", 2, 4, 3},  // B keeps it while D is left
        {{"A"}, "A", 0, 2, 1},                   // one letter: the node stays
        {{"A", "AB"}, "AB", 1, 2, 2},            // below first level: A keeps its array
        {{"ABDEE", "ABEA"}, "ABDEE", 1, 5, 4},   // stops at a node with two children
        {{"ABD", "ABDEEE"}, "ABDEEE", 1, 4, 3},  // stops at a word node
        {{"AB", "ABD"}, "AB", 1, 4, 3},          // a word with children is only untokened
        {{"", "A"}, "", 1, 2, 1},                // the empty word releases nothing
    };
    for (const Case &c : cases) {
        Tree t = make("ABDE");
        int token = 1;
        for (const std::string &w : c.words)
            ASSERT_GE(add(t.get(), w, token++), 0);
        EXPECT_EQ(del(t.get(), c.gone), 0) << c.gone;
        EXPECT_EQ(del(t.get(), c.gone), -1);
        EXPECT_EQ(stats(t.get()), shape(t.get(), c.words_left, c.nodes, c.full)) << c.gone;
        EXPECT_EQ(stats(t.get()), walked(t.get()));
        for (size_t i = 0; i < c.words.size(); ++i)
            EXPECT_EQ(find(t.get(), c.words[i]),
                      c.words[i] == c.gone ? NOTOK : static_cast<int>(i) + 1);
    }
}

TEST(WtreeAllocFailure, EveryAllocationOfAnInsertion) {
    // AB and BD are stored; ABDEA needs next(B), D, next(D), E, next(E), A.
    struct Expect {
        int nodes, full;  // left over by the failed call
        const char *record;
    } expect[] = {
        {0, 0, "wtree_add_word: failed to malloc next array (byte_cnt=%d, siz_next=%d)"},
        {0, 1,
         "wtree.node_alloc: failed to malloc node 5 (byte_cnt=%d)"},  // pruning stops at B at once
        {1, 1, "wtree_add_word: failed to malloc next array (byte_cnt=%d, siz_next=%d)"},
        {0, 0, "wtree.node_alloc: failed to malloc node 6 (byte_cnt=%d)"},
        {2, 2, "wtree_add_word: failed to malloc next array (byte_cnt=%d, siz_next=%d)"},
        {0, 0, "wtree.node_alloc: failed to malloc node 7 (byte_cnt=%d)"},
    };
    for (int n = 0; n < 7; ++n) {
        Tree t = make("ABDE");
        add(t.get(), "AB", 1);
        add(t.get(), "BD", 2);
        Counts before = stats(t.get());
        clear_usrmsg();
        TraceTap tap;
        int r;
        {
            AllocFailure fail(n);
            r = add(t.get(), "ABDEA", 3);
        }
        if (n == 6) {  // one more than the call makes
            EXPECT_EQ(r, 0);
            break;
        }
        EXPECT_EQ(r, -1);
        EXPECT_STREQ(gnl_usrmsg, "OUT OF MEMORY");
        char record[200];
        std::snprintf(record, sizeof record, expect[n].record,
                      before.bytes + (n + 1) / 2 * 4 * kPtr + n / 2 * kNode, 4 * kPtr);
        EXPECT_TRUE(traced(tap, record)) << n << tap.text();
        EXPECT_EQ(stats(t.get()),
                  shape(t.get(), 2, before.nodes + expect[n].nodes, before.full + expect[n].full))
            << n;
        EXPECT_EQ(stats(t.get()), walked(t.get()));
        EXPECT_EQ(find(t.get(), "AB"), 1);
        // The leftovers are ordinary nodes: the word goes in and out again.
        EXPECT_EQ(add(t.get(), "ABDEA", 5), 0);
        EXPECT_EQ(del(t.get(), "ABDEA"), 0);
        EXPECT_EQ(stats(t.get()), before) << n;
    }
    // A failed node below the root prunes nothing: D stays, tokenless.
    Tree t = make("ABDE");
    AllocFailure fail(3);  // next(root), D, next(D), A
    EXPECT_EQ(add(t.get(), "DA", 1), -1);
    EXPECT_EQ(stats(t.get()), shape(t.get(), 0, 2, 2));
}

TEST(WtreeAllocFailure, HalfWayInsertionsThenDestroy) {
    // Every allocation of every word fails in turn; the leftovers pile up
    // and the tree (destroyed at the end) must still release all of it.
    Tree t = make("ABDE", 1);
    const char *words[] = {"abdeabde", "abde", "ddd", "bad", "abdeb", "e"};
    for (int i = 0; i < 6; ++i) {
        int r = -1;
        for (long n = 0; r < 0 && n < 20; ++n) {
            AllocFailure fail(n);
            r = add(t.get(), words[i], i + 1);
            EXPECT_EQ(stats(t.get()), walked(t.get()));
        }
        EXPECT_GE(r, 0);
    }
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(find(t.get(), words[i]), i + 1);
}

TEST(WtreeReport, DumpLines) {
    Tree t = make("ABDE");
    wtree *w = t.get();
    const std::string head = "Alphabet is 4 bytes\n";
    auto counts = [&](int words, int nodes, int full) {
        return std::to_string(words) + " words, " + std::to_string(nodes) + " nodes " +
               std::to_string(shape(w, words, nodes, full).bytes) + " bytes, " +
               std::to_string(full) + " full nodes\n\n";
    };
    EXPECT_EQ(dump(w), head + counts(0, 1, 0) + "Root: EMPTY, next=N\n");
    add(w, "A", 1);
    add(w, "AB", 2);
    add(w, "D", 3);
    EXPECT_EQ(dump(w), head + counts(3, 4, 2) +
                           "Root: EMPTY, next=Y\n1-1 (A) = 1, next=Y\n2-1.2 (AB) = 2, next=N\n1-3 "
                           "(D) = 3, next=N\n");
    del(w, "A");
    del(w, "AB");
    add(w, "", -7);
    add(w, "DEE", -32768);
    EXPECT_EQ(
        dump(w),
        head + counts(3, 5, 4) +
            "Root: token=-7, next=Y\n1-1 EMPTY, next=Y\n1-3 (D) = 3, next=Y\n2-3.4 EMPTY, next=Y\n"
            "3-3.4.4 (DEE) = -32768, next=N\n");
    Tree only = make("ABDE");
    add(only.get(), "", 7);
    EXPECT_EQ(dump(only.get()), head + counts(1, 1, 0) + "Root: token=7, next=N\n");

    Tree nul = make({"x\0y", 3}, 1);
    add(nul.get(), {"x\0Y", 3}, 4);
    EXPECT_NE(dump(nul.get()).find("\n3-1.2.3 (X<0>Y) = 4, next=N\n"), std::string::npos);
}

// Label of the first node of the given depth in a dump.
std::string label_at(const std::string &text, int depth) {
    std::string key = "\n" + std::to_string(depth) + "-";
    size_t at = text.find(key) + key.size();
    return text.substr(at, text.find(' ', at) - at);
}

TEST(WtreeReport, LongLabelsAreCutAt401) {
    // One-digit elements: depth 200 starts at 398, the first one cut.
    Tree t = make("AB");
    add(t.get(), std::string(205, 'A'), 1);
    std::string text = dump(t.get());
    std::string ones = "1";
    for (int d = 2; d <= 199; ++d)
        ones += ".1";
    EXPECT_EQ(label_at(text, 199), ones);
    for (int d : {200, 201, 205})
        EXPECT_EQ(label_at(text, d), ones + ".xxx") << d;
    EXPECT_NE(text.find("205-" + ones + ".xxx (" + std::string(205, 'A') + ") = 1, next=N\n"),
              std::string::npos);

    // Three-digit elements: depth 101 starts at 400.
    Tree u = make(all_bytes());
    add(u.get(), std::string(102, '\xFF'), 2);
    text = dump(u.get());
    std::string wide = "256";
    for (int d = 2; d <= 100; ++d)
        wide += ".256";
    EXPECT_EQ(label_at(text, 100), wide);
    EXPECT_EQ(label_at(text, 101), wide + ".x");
    EXPECT_EQ(label_at(text, 102), wide + ".x");
}

TEST(WtreeReport, StatsAddUp) {
    Tree a = make("ABDE"), b = make("AB");
    add(a.get(), "ABD", 1);
    wtree_counts c{};
    for (const wtree *t : {a.get(), a.get(), b.get()})
        wtree_stats(t, &c);
    EXPECT_EQ((Counts{c.word_cnt, c.node_cnt, c.byte_cnt, c.full_cnt}),
              (Counts{2, 9, 2 * (5 + 4 * kNode + 3 * 4 * kPtr) + 3 + kNode, 6}));
}

// Whether adding word has to give some node on its path a next array.
bool needs_array(const wtree *t, const std::string &word) {
    const wtree_node *n = t->root;
    for (char ch : word) {
        if (n == nullptr || n->next == nullptr)
            return true;
        n = n->next[t->char_idx[std::toupper(static_cast<unsigned char>(ch))]];
    }
    return false;
}

// Nodes below the first level that lead to no word or own an empty array.
int dead_nodes(const wtree *t, const wtree_node *n, int depth, bool &leads) {
    int dead = 0, children = 0;
    leads = n->token != NOTOK;
    for (int p = 0; n->next != nullptr && p < t->siz_alpha; ++p) {
        bool below = false;
        if (n->next[p] != nullptr) {
            ++children;
            dead += dead_nodes(t, n->next[p], depth + 1, below);
        }
        leads = leads || below;
    }
    return dead + (depth >= 2 && (!leads || (n->next != nullptr && children == 0)));
}

TEST(WtreeModel, RandomOperationsAgainstAMap) {
    for (int nocase : {0, 1}) {
        std::mt19937 rng(20261205u + nocase);
        Tree t = make(nocase ? "abdeq" : "ABDEQ", nocase);
        std::map<std::string, int> model;  // keyed by the upper-case word
        for (int step = 0; step < 8000; ++step) {
            std::string w(rng() % 6, ' '), key;
            for (char &c : w) {
                c = "ABDEQ"[rng() % 5];
                key += c;
                if (nocase && rng() % 2)
                    c = static_cast<char>(std::tolower(c));
            }
            unsigned op = rng() % 10;
            auto it = model.find(key);
            SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) + " '" + w +
                         "'");
            if (op < 4) {
                int token = static_cast<int>(rng() % 65536) - 32768;
                token = token == NOTOK ? 1 : token;
                ASSERT_EQ(add(t.get(), w, token), needs_array(t.get(), w) ? 0 : 1);
                model[key] = token;
            } else if (op < 7) {
                ASSERT_EQ(del(t.get(), w), it == model.end() ? -1 : 0);
                if (it != model.end())
                    model.erase(it);
            } else {
                ASSERT_EQ(find(t.get(), w), it == model.end() ? NOTOK : it->second);
            }
            ASSERT_EQ(stats(t.get()).words, static_cast<int>(model.size()));
            ASSERT_EQ(stats(t.get()), walked(t.get()));
            bool leads = false;
            ASSERT_EQ(dead_nodes(t.get(), t->root, 0, leads), 0);
        }
        for (const auto &[w, tok] : model)
            EXPECT_EQ(find(t.get(), w), tok);
    }
}

}  // namespace
