// Lists: links both ways, null headers, cloning with allocation failures,
// and the sort against a literal model of its bucket insertion.
#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "models.h"
#include "testutil.h"

#include <algorithm>
#include <clocale>
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
    EXPECT_EQ(llist_rank(&l, llist_bward(l.tail, 1)), 1);
    llist_node *b = l.head->next;
    llist_extract(&l, b);
    EXPECT_EQ(llist_rank(&l, b), -1);
    llist_delete(&moved, llist_insert_b(&moved, nullptr, b, 0));  // b keeps its payload
    EXPECT_EQ(llist_concat(&moved, &l), 2);  // into an empty list; l still names the nodes
    l.count = 0;  // so clearing l only zeroes it
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

    // A null header (or node) reads as an empty list (or no node).
    llist_extract(nullptr, src.head);
    llist_delete(nullptr, src.head);
    const std::vector<int> refused{llist_concat(nullptr, &src), llist_concat(&src, nullptr),
                                   llist_clone(nullptr, &dst, 0), llist_clone(&src, nullptr, 0),
                                   llist_rank(nullptr, src.head), llist_rank(&src, nullptr)};
    EXPECT_EQ(refused, (std::vector<int>{0, 4, 0, 1, -1, -1}));
    for (llist *x : {&l, &moved, &dst, &src})
        llist_clear(x);
}

TEST(ListSort, MatchesBucketInsertion) {
    // Equal, case-equal, empty, shared buckets, high bytes; in the C locale
    // or one where bytes above 127 have case (.ci/setup makes it). Keys begin
    // with one of two prefixes, often longer than the bytes the sort caches,
    // or with none. Every tenth list is big enough to be dealt by key byte,
    // over few letters so that buckets are dealt again and equal keys lie
    // far apart. In round 20 all keys are equal. Each sort starts from the
    // order the last one left: the first finds the nodes in memory in list
    // order, the others not. Every other sort, at random, runs without the
    // memory it borrows.
    llist l{};
    static const char alphabet[] = "aA_bB[z\xC8\xE9\xC9~";
    std::mt19937 rng(20261205);
    for (int round = 0; round < 60; ++round) {
        const bool big = round % 10 == 0;
        const unsigned letters = big ? 2 + rng() % 4 : sizeof alphabet - 1;
        const std::string prefix[] = {"", std::string(rng() % 20, 'k'), "KKKKKKKKKK"};
        for (unsigned n = big ? 200 + rng() % 1500 : round < 3 ? round : rng() % 70; n > 0; --n) {
            std::string key = prefix[round == 20 ? 1 : rng() % 3];
            for (unsigned j = round == 20 ? 0 : rng() % (big ? 8 : 4); j > 0; --j)
                key += alphabet[rng() % letters];
            add(&l, key, 5);  // keys 5 bytes into the payload
        }
        std::setlocale(LC_CTYPE, round % 4 == 1 || round % 4 == 2 ? "fr_FR.ISO-8859-1" : "C");
        for (unsigned step = 0; step < 4; ++step) {  // unnamed flags play no part
            const unsigned int flags = (round + step) % 4 | (step == 1 ? 0x80 : 0);
            const std::vector<llist_node *> want = model::strsort(nodes_of(l), 5, flags);
            kelp_test::fail_nth_alloc(rng() % 2 != 0 ? 0 : -1);
            llist_strsort(&l, 5, flags);
            kelp_test::stop_failing();
            ASSERT_EQ(nodes_of(l), want) << "round " << round << " flags " << flags;
        }
        llist_clear(&l);
    }
}

}  // namespace
