// Lists: links both ways, null headers, cloning with allocation failures,
// and the sort against a literal model of its bucket insertion.
#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "models.h"
#include "testutil.h"

#include <algorithm>
#include <random>
#include <vector>

namespace {

// The nodes head to tail, checking that prev mirrors next and the header agrees.
std::vector<llist_node *> nodes_of(const llist &l) {
    std::vector<llist_node *> v;
    for (llist_node *n = l.head; n != nullptr && v.size() <= 100000; n = n->next) {
        EXPECT_EQ(n->prev, v.empty() ? nullptr : v.back());
        v.push_back(n);
    }
    EXPECT_EQ(l.tail, v.empty() ? nullptr : v.back());
    EXPECT_EQ(l.count, static_cast<int>(v.size()));
    return v;
}

// Appends a node that owns key, offset bytes into its payload.
void add(llist *l, const std::string &key, int offset = 0) {
    llist_node *n = llist_insert_b(l, nullptr, nullptr, offset + static_cast<int>(key.size()) + 1);
    std::memcpy(static_cast<char *>(n->data) + offset, key.c_str(), key.size() + 1);
}

// The keys of a list head to tail, "-" for no payload.
std::string order(const llist &l) {
    std::string s;
    for (llist_node *n : nodes_of(l))
        s += n->data != nullptr ? static_cast<const char *>(n->data) : "-";
    return s;
}

TEST(ListCore, LinksClonesAndNullHeaders) {
    llist l{}, src{}, dst{}, moved{};
    add(&l, "B");
    llist_insert_a(&l, nullptr, nullptr, 0);  // prepends, without payload
    add(&l, "C");
    llist_reverse(&l);
    EXPECT_EQ(llist_rank(&l, llist_fward(l.head, 2)), 2);
    llist_delete(&l, l.head->next);
    EXPECT_EQ(llist_concat(&moved, &l), 2);  // into an empty list; l still names the nodes
    EXPECT_EQ(order(moved), "C-");

    add(&src, "P");
    char referenced[] = "R";  // on the stack: a list that freed it would be caught
    llist_insert_b(&src, nullptr, nullptr, 0)->data = referenced;
    // A copy owns its payload and drops a referenced one; a share references
    // both. A failed allocation (a copy's first payload, a share's second
    // node) is traced and keeps the copies made before it.
    const std::string records[] = {
        "llist.node_alloc.2: malloc(2) failed\n",
        "llist.node_alloc.1: malloc(" + std::to_string(sizeof(llist_node)) + ") failed\n"};
    for (int share : {0, 1}) {
        kelp_test::TraceTap tap;
        kelp_test::fail_nth_alloc(1);
        EXPECT_EQ(llist_clone(&src, &dst, share), 1);
        kelp_test::stop_failing();
        EXPECT_NE(tap.text().find(records[share]), std::string::npos) << tap.text();
        ASSERT_EQ(llist_clone(&src, &dst, share), 0);
    }
    EXPECT_EQ(order(dst), "P-PPR");
    EXPECT_EQ(dst.tail->prev->data, src.head->data);
    ASSERT_EQ(llist_clone(&src, &src, 1), 0);  // onto itself: doubles once
    EXPECT_EQ(order(src), "PRPR");

    // A null header reads as an empty list.
    EXPECT_EQ(llist_concat(nullptr, &src), 0);
    EXPECT_EQ(llist_clone(&src, nullptr, 0), 1);
    for (llist *x : {&moved, &dst, &src})
        llist_clear(x);
    EXPECT_EQ(order(src), "");
}

TEST(ListSort, MatchesBucketInsertion) {
    // Equal, case-equal, shared buckets, high bytes. Every tenth list is big
    // enough to be dealt by key byte, over few letters so that buckets are
    // dealt again, often after a shared prefix; its last key repeats its
    // first, far from it. The sort relinks without allocating.
    static const char alphabet[] = "aA_bB[z\xC8\xE9\xC9~";
    std::mt19937 rng(20261205);
    for (int round = 0; round < 60; ++round) {
        const bool big = round % 10 == 0;
        const unsigned shape = rng() % 3, letters = big ? 2 + rng() % 4 : sizeof alphabet - 1;
        std::vector<std::string> keys(big ? 1100 + rng() % 2500 : rng() % 70);
        const std::string prefix(big && rng() % 2 != 0 ? rng() % 12 : 0, 'k');
        for (std::string &k : keys) {
            k = rng() % 8 != 0 ? prefix : "";
            for (unsigned j = rng() % (big ? 8 : 4); j > 0; --j)
                k += alphabet[rng() % letters];
        }
        if (shape != 0)  // long runs in and against the order
            std::sort(keys.begin(), keys.end(),
                      [&](auto &a, auto &b) { return shape == 1 ? a < b : b < a; });
        if (big)
            keys.back() = keys.front();
        for (unsigned int flags : {0u, 1u, 2u, 3u | 0x80u}) {  // unnamed flags play no part
            llist l{};
            for (const std::string &k : keys)
                add(&l, k, 5);  // keys 5 bytes into the payload
            const auto input = nodes_of(l);
            std::vector<llist_node *> want;
            for (size_t i : model::strsort(keys, flags))
                want.push_back(input[i]);
            kelp_test::reset_alloc_count();
            llist_strsort(&l, 5, flags);
            EXPECT_EQ(kelp_test::library_allocs(), 0);
            ASSERT_EQ(nodes_of(l), want) << "round " << round << " flags " << flags;
            llist_clear(&l);
        }
    }
}

}  // namespace
