// Word trees: creation and its refusals; adds, deletions, counts and the
// dump against the node-by-node model, with allocation failures and words
// that end neither in a NUL nor before a readable byte; a long-lived tree
// whose heap stays bounded and whose longest word dumps without deep
// recursion.
#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "models.h"
#include "testutil.h"

#include <pthread.h>
#include <algorithm>
#include <climits>
#include <numeric>
#include <random>
#include <vector>

namespace {

using kelp_test::AllocFailure;
using model::fmt;
constexpr size_t kNode = sizeof(wtree_node);

std::string dump(wtree *t) {
    char *buf = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&buf, &size);
    wtree_dump(t, f);
    std::fclose(f);
    std::string s(buf, size);
    std::free(buf);
    return s;
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
        {"ABDE", 4, 0, 0, fmt("failed to malloc tree handle (%zu bytes)", sizeof(wtree))},
        {"ABDE", 4, 0, 1, "failed to malloc alphabet (5 bytes)"},
        {"ABDE", 4, 0, 2, "wtree.node_alloc: failed to malloc node 0 (byte_cnt=5)"},
    };
    for (const auto &c : cases) {
        kelp_test::TraceTap tap;
        AllocFailure failing(c.fail);  // -1: none
        EXPECT_EQ(wtree_create(c.alphabet.data(), c.size, c.nocase), nullptr);
        EXPECT_STREQ(gnl_usrmsg, c.fail >= 0 ? "OUT OF MEMORY" : "APPLICATION ERROR");
        const std::string record = c.fail == 2 ? c.record : "wtree_create: " + c.record;
        EXPECT_NE(tap.text().find("): " + record + "\n"), std::string::npos) << tap.text();
    }
    // However large the size, nothing past the first repeat is read.
    kelp_test::GuardedBuffer guard;
    EXPECT_EQ(wtree_create(guard.place(all.substr(0, 256)), INT_MAX, 0), nullptr);
    wtree *t = wtree_create("", 0, 0);
    wtree_counts c{1, 2, 3, 4};  // stats add to the caller's counts
    wtree_stats(t, &c);
    EXPECT_EQ((std::vector{c.word_cnt, c.node_cnt, c.byte_cnt, c.full_cnt}),
              (std::vector<int>{1, 3, 4 + static_cast<int>(kNode), 4}));
    wtree_destroy(t);
}

TEST(WtreeModel, RandomAddsAndDeletesWithAllocationFailures) {
    // A failed add is matched to the model's allocation that writes the same
    // record. Each word lies in a buffer one byte longer, without a NUL,
    // that ends where an unreadable page begins; the second half of each
    // round takes the tree apart again.
    const std::string upper("\0ABDQ", 5);  // ascending, as the map orders words
    const int tokens[] = {1, 2, -1, 7, 300, 32767, -32768, 0, 32768, -32769};
    kelp_test::GuardedBuffer guard;
    int oom = 0;
    for (int round = 0; round < 40; ++round) {
        const int nocase = round % 2;
        std::mt19937 rng(20261206u + static_cast<unsigned>(round));
        wtree *t = wtree_create(nocase != 0 ? "\0abdq" : upper.data(), 5, nocase);
        model::WordTree model{upper};
        for (int step = 0; step < 300; ++step) {
            std::string w(rng() % 6, ' '), key;
            for (char &c : w) {
                key += c = rng() % 50 == 0 ? 'z' : upper[rng() % 5];
                if (nocase != 0 && rng() % 2 != 0)
                    c = static_cast<char>(std::tolower(c));
            }
            const bool building = step < 150, add = rng() % 10 < (building ? 5 : 3);
            for (const auto &[word, tok] : model.token)
                if (!building && tok != NOTOK && rng() % 4 == 0)
                    w = key = word;
            char *buf = reinterpret_cast<char *>(guard.tail(w.size() + 1));
            std::memcpy(buf, (w + "Q").data(), w.size() + 1);
            const int len = w.empty() ? -static_cast<int>(rng() % 2) : static_cast<int>(w.size());
            SCOPED_TRACE(fmt("%d/%d '%s'", round, step, w.c_str()));
            if (add) {
                const int tok = tokens[rng() % 10];
                gnl_usrmsg[0] = '\0';
                kelp_test::TraceTap tap;
                kelp_test::fail_nth_alloc(rng() % 3 == 0 ? 0 : -1, true);
                const int r = wtree_add_word(t, buf, len, tok);
                kelp_test::stop_failing();
                for (int n = -1;; ++n) {
                    model::WordTree tried = model;
                    auto [mr, record] = tried.add(key, w, tok, n);
                    if (mr == r && tap.text().ends_with(record + (r == -1 ? "\n" : ""))) {
                        model = tried;
                        oom += n >= 0;
                        EXPECT_STREQ(gnl_usrmsg, r != -1 ? ""
                                                 : n < 0 ? "APPLICATION ERROR"
                                                         : "OUT OF MEMORY");
                        break;
                    }
                    ASSERT_TRUE(n < 64 && (n == -1 || mr == -1)) << "no allocation writes " << tap.text();
                }
            } else {
                ASSERT_EQ(wtree_find_word(t, buf, len), model.find(key));
                ASSERT_EQ(wtree_del_word(t, buf, len), model.del(key));
            }
            ASSERT_EQ(dump(t), model.dump());
        }
        wtree_destroy(t);
    }
    EXPECT_GT(oom, 10);
}

TEST(WtreeModel, ChurnKeepsTheHeapBoundedAndLongWordsNeedNoDeepRecursion) {
    // A long-lived tree reuses what deletions gave back: its heap follows its
    // size, not the number of operations; each word is deleted 2,000 words
    // after it was added. On a thread with 1 MiB of stack, a recursion per
    // character of a word of 100,000 would overflow; its label is cut where
    // element 200 starts.
    std::string text;
    auto job = [](void *out) -> void * {
        auto word = [](std::mt19937 &rng) {
            std::string w(1 + rng() % 8, ' ');
            for (char &c : w)
                c = static_cast<char>('A' + rng() % 26);
            return w;
        };
        const long heap_before = kelp_test::library_heap();
        wtree *t = wtree_create("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 26, 0);
        std::mt19937 adds(7), dels(7);
        long heap_then = 0;
        for (int i = 0; i < 24000; ++i) {
            const std::string w = word(adds), old = i >= 2000 ? word(dels) : "";
            wtree_add_word(t, w.c_str(), static_cast<int>(w.size()), 1);
            wtree_del_word(t, old.c_str(), static_cast<int>(old.size()));
            if (i == 4000)
                heap_then = kelp_test::library_heap();
        }
        EXPECT_LE(kelp_test::library_heap(), heap_then + heap_then / 4);
        wtree_add_word(t, std::string(100000, 'A').c_str(), 100000, 9);
        *static_cast<std::string *>(out) = dump(t);
        wtree_destroy(t);
        // All but the handle, whose release is a tail call the counter misses.
        EXPECT_LT(kelp_test::library_heap() - heap_before, 1024);
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, job, &text), 0);
    pthread_join(thread, nullptr);
    const long nodes = std::stol(text.substr(text.find(" words, ") + 8));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 + nodes);
    std::string label = "1";
    for (int d = 2; d < 200; ++d)
        label += ".1";
    EXPECT_NE(text.find(fmt("\n100000-%s.xxx (%s) = 9, next=N\n", label.c_str(),
                            std::string(100000, 'A').c_str())),
              std::string::npos);
}

}  // namespace
