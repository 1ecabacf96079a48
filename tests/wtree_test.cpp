// Word trees: creation and its refusals; adds, deletions, counts and the
// dump against the node-by-node model, with allocation failures and words
// that end neither in a NUL nor before a readable byte; the memory of small
// and big trees (huge chunks, kept for later trees, from several threads at
// once); a word whose length would overflow a recursion.
#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "models.h"
#include "testutil.h"

#include <pthread.h>
#include <numeric>
#include <random>
#include <thread>

namespace {

constexpr long kHuge = 2L << 20;

// Bytes of the mappings advised for huge pages, which only the word tree
// makes, each of whole aligned chunks of 2 MiB.
long huge_mapped() {
    std::ifstream smaps("/proc/self/smaps");
    long total = 0;
    unsigned long from = 0, to = 0, a = 0, b = 0;
    for (std::string line; std::getline(smaps, line);) {
        if (std::sscanf(line.c_str(), "%lx-%lx ", &a, &b) == 2) {
            from = a, to = b;
        } else if (line.starts_with("VmFlags:") && line.find(" hg") != std::string::npos) {
            EXPECT_EQ(from % kHuge + (to - from) % kHuge, 0u) << line;
            total += static_cast<long>(to - from);
        }
    }
    return total;
}

TEST(WtreeCreate, RefusalsAndAllocationFailures) {
    std::string all(257, '\0');  // every byte, then 0 again
    std::iota(all.begin(), all.end() - 1, '\0');
    const struct {
        std::string alphabet;
        int size, nocase, fail;  // allocation number that fails, or -1
        std::string record;
    } cases[] = {
        {"ABCA", 4, 0, -1, "char 3 of alphabet (0x41) is invalid"},
        {"aA", 2, 1, -1, "char 1 of alphabet (0x41) is invalid"},  // folded
        {all, 257, 0, -1, "char 256 of alphabet (0x00) is invalid"},
        {"AB", -1, 0, -1, "invalid alphabet size -1"},
        {"ABDE", 4, 0, 0, model::fmt("failed to malloc tree handle (%zu bytes)", sizeof(wtree))},
        {"ABDE", 4, 0, 1, "failed to malloc alphabet (5 bytes)"},
        {"ABDE", 4, 0, 2, "wtree.node_alloc: failed to malloc node 0 (byte_cnt=5)"},
    };
    for (const auto &c : cases) {
        kelp_test::TraceTap tap;
        kelp_test::AllocFailure failing(c.fail);  // -1: none
        EXPECT_EQ(wtree_create(c.alphabet.data(), c.size, c.nocase), nullptr);
        EXPECT_STREQ(gnl_usrmsg, c.fail >= 0 ? "OUT OF MEMORY" : "APPLICATION ERROR");
        const std::string prefix = c.fail == 2 ? "): " : "): wtree_create: ";
        EXPECT_NE(tap.text().find(prefix + c.record + "\n"), std::string::npos) << tap.text();
    }
    // However large the size, nothing past the first repeat is read.
    kelp_test::GuardedBuffer guard;
    EXPECT_EQ(wtree_create(guard.place(all.substr(0, 256)), INT_MAX, 0), nullptr);
    wtree *t = wtree_create("", 0, 0);
    wtree_counts c{1, 2, 3, 4};  // stats add to the caller's counts
    wtree_stats(t, &c);
    EXPECT_EQ((std::vector{c.word_cnt, c.node_cnt, c.byte_cnt, c.full_cnt}),
              (std::vector<int>{1, 3, 4 + static_cast<int>(sizeof(wtree_node)), 4}));
    wtree_destroy(t);
}

TEST(WtreeModel, RandomAddsAndDeletesWithAllocationFailures) {
    // A failed add is matched to the model's allocation that writes the same
    // record. Each word lies in a buffer one byte longer, without a NUL,
    // that ends where an unreadable page begins; the second half of each
    // round takes the tree apart again. Half the rounds fold case.
    const std::string upper("\0ABDQ", 5);  // ascending, as the map orders words
    const int tokens[] = {1, 2, -1, 7, 300, 32767, -32768, 0, 32768, -32769};
    kelp_test::GuardedBuffer guard;
    for (int round = 0; round < 40; ++round) {
        std::mt19937 rng(20261206u + static_cast<unsigned>(round));
        wtree *t = wtree_create(round % 2 != 0 ? "\0abdq" : upper.data(), 5, round % 2);
        model::WordTree model{upper};
        for (int step = 0; step < 300; ++step) {
            std::string w(rng() % 6, ' '), key;
            for (char &c : w) {
                key += c = rng() % 50 == 0 ? 'z' : upper[rng() % 5];
                if (round % 2 != 0 && rng() % 2 != 0)
                    c = static_cast<char>(std::tolower(c));
            }
            const bool building = step < 150, add = rng() % 10 < (building ? 5 : 3);
            for (const auto &[word, tok] : model.token)
                if (!building && tok != NOTOK && rng() % 4 == 0)
                    w = key = word;
            char *buf = static_cast<char *>(
                std::memcpy(guard.tail(w.size() + 1), (w + "Q").data(), w.size() + 1));
            const int len = w.empty() ? -static_cast<int>(rng() % 2) : static_cast<int>(w.size());
            if (add) {
                const int tok = tokens[rng() % 10];
                gnl_usrmsg[0] = '\0';
                kelp_test::TraceTap tap;
                kelp_test::AllocFailure failing(rng() % 3 == 0 ? 0 : -1, true);
                const int r = wtree_add_word(t, buf, len, tok);
                for (int n = -1;; ++n) {
                    model::WordTree tried = model;
                    auto [mr, record] = tried.add(key, w, tok, n);
                    if (mr == r && tap.text().ends_with(record + (r == -1 ? "\n" : ""))) {
                        model = tried;
                        EXPECT_STREQ(gnl_usrmsg, r != -1 ? ""
                                                 : n < 0 ? "APPLICATION ERROR"
                                                         : "OUT OF MEMORY");
                        break;
                    }
                    ASSERT_TRUE(n < 64 && (n == -1 || mr == -1))
                        << "no allocation writes " << tap.text();
                }
            } else {
                auto it = model.token.find(key);
                const int tok = it != model.token.end() ? it->second : NOTOK;
                ASSERT_EQ(wtree_find_word(t, buf, len), tok);
                ASSERT_EQ(wtree_del_word(t, buf, len), tok != NOTOK ? 0 : -1);
                if (tok != NOTOK)
                    it->second = NOTOK, model.prune(key);
            }
            ASSERT_EQ(model::dump_of(t), model.dump());
        }
        wtree_destroy(t);
    }
}

// A tree of 24,000 random numbers, each deleted 6,000 numbers after it was
// added: about 5 MiB in the end. The same on the model, if given.
wtree *churned_tree(model::WordTree *m = nullptr) {
    wtree *t = wtree_create("0123456789", 10, 0);
    std::mt19937 adds(7), dels(7);
    for (int i = 0; i < 24000; ++i) {
        const std::string add = std::to_string(adds()),
                          del = i >= 6000 ? std::to_string(dels()) : "";
        wtree_add_word(t, add.data(), static_cast<int>(add.size()), 1 + i % 9);
        wtree_del_word(t, del.data(), static_cast<int>(del.size()));
        if (m != nullptr && (m->add(add, add, 1 + i % 9, -1), m->token.contains(del)))
            m->token[del] = NOTOK, m->prune(del);
    }
    return t;
}

TEST(WtreeArena, SmallTreesStaySmallBigOnesReuseBlocksAndLaterTreesTheirChunks) {
    // On a thread with 1 MiB of stack, where a recursion per character of a
    // long word would overflow.
    auto job = [](void *) -> void * {
        // A few words: a few KiB of the heap, no huge chunk (none is kept
        // before this test in this program).
        const long heap = kelp_test::library_heap();
        wtree *t = wtree_create("ABDE", 4, 0);
        wtree_add_word(t, "ABD", 3, 1);
        EXPECT_EQ(huge_mapped(), 0);
        EXPECT_LT(kelp_test::library_heap() - heap, 8192);
        wtree_destroy(t);
        // A long-lived tree reuses what deletions gave back: its memory (heap
        // and huge chunks) follows its size, not the number of operations.
        // Destroyed, the tree keeps its huge chunks for the next, which maps
        // nothing new and clears what it takes.
        model::WordTree m{"0123456789"};
        t = churned_tree(&m);
        const long mapped = huge_mapped(), heap_then = kelp_test::library_heap();
        EXPECT_LE(heap_then - heap + mapped, t->counts.byte_cnt + kHuge);
        const std::string first = model::dump_of(t);
        EXPECT_EQ(first, m.dump());
        wtree_destroy(t);
        auto again = [&first] {
            wtree *mine = churned_tree();
            EXPECT_EQ(model::dump_of(mine), first);
            wtree_destroy(mine);
        };
        again();
        EXPECT_EQ(huge_mapped(), mapped);
        // A word of 70,000 nodes holds 140 MiB, in huge chunks and no other
        // address space but the small chunks; 64 chunks are kept. Its label
        // is cut where element 200 starts. Nothing stays on the heap.
        std::string alphabet(256, '\0'), word(70000, '\1'), label = "2";
        std::iota(alphabet.begin(), alphabet.end(), '\0');
        long pages = 0, pages_then = 0;
        std::ifstream("/proc/self/statm") >> pages;
        t = wtree_create(alphabet.data(), 256, 0);
        EXPECT_EQ(wtree_add_word(t, word.data(), 70000, 9), 0);
        std::ifstream("/proc/self/statm") >> pages_then;
        EXPECT_LT((pages_then - pages) * 4096, huge_mapped() - mapped + 2 * kHuge);
        const std::string text = model::dump_of(t);
        wtree_destroy(t);
        EXPECT_EQ(huge_mapped(), 64 * kHuge);
        EXPECT_LT(kelp_test::library_heap() - heap, 8192);
        for (int d = 2; d < 200; ++d)
            label += ".2";
        EXPECT_TRUE(text.ends_with(
            model::fmt("\n70000-%s.xxx (%s) = 9, next=N\n", label.c_str(), word.c_str())));
        // Trees of several threads take and give kept chunks at once.
        std::thread a(again), b(again), c(again);
        a.join(), b.join(), c.join();
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, job, nullptr), 0);
    pthread_join(thread, nullptr);
}

}  // namespace
