// Lists: link order both ways, payload ownership, allocation failures,
// cloning, and the sort against a literal model of its bucket insertion.
#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "testutil.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <strings.h>
#include <vector>

namespace {

using kelp_test::AllocFailure;

// The nodes head to tail, checking that prev mirrors next and the header agrees.
std::vector<llist_node *> nodes_of(const llist &l) {
    std::vector<llist_node *> v;
    for (llist_node *n = l.head; n != nullptr && v.size() <= 1000; n = n->next) {
        EXPECT_EQ(n->prev, v.empty() ? nullptr : v.back());
        v.push_back(n);
    }
    EXPECT_EQ(l.tail, v.empty() ? nullptr : v.back());
    EXPECT_EQ(l.count, static_cast<int>(v.size()));
    return v;
}

// Nodes whose payload is a string at offset bytes; letters when offset is 0.
llist_node *add(llist *l, const std::string &key, int offset = 0) {
    llist_node *n = llist_insert_b(l, nullptr, nullptr, offset + static_cast<int>(key.size()) + 1);
    std::memcpy(static_cast<char *>(n->data) + offset, key.c_str(), key.size() + 1);
    return n;
}
llist letters(const char *s) {
    llist l{};
    for (; *s != '\0'; ++s)
        add(&l, std::string(1, *s));
    return l;
}
std::string order(const llist &l) {
    std::string s;
    for (llist_node *n : nodes_of(l))
        s += static_cast<const char *>(n->data);
    return s;
}

TEST(ListCore, InsertsAndExtractsKeepLinksBothWays) {
    llist l{};
    auto *mine = static_cast<llist_node *>(std::malloc(sizeof(llist_node)));
    *mine = llist_node{mine, mine, std::malloc(2), 2};  // stale links are dropped
    std::memcpy(mine->data, "C", 2);
    EXPECT_EQ(llist_insert_a(&l, nullptr, mine, 99), mine);  // empty: head and tail
    EXPECT_EQ(mine->size, 2);
    llist_node *b = llist_insert_a(&l, nullptr, nullptr, 2);  // prepends
    llist_insert_b(&l, nullptr, nullptr, 2);                  // appends
    llist_insert_a(&l, l.tail, nullptr, 2);                   // after the tail appends
    llist_insert_b(&l, b, nullptr, 2);                        // before the head
    llist_insert_a(&l, b, nullptr, 0);                        // no payload
    EXPECT_EQ(std::string(static_cast<char *>(b->data), 2), std::string(2, '\0'));
    std::vector<llist_node *> v = nodes_of(l);
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[2]->data, nullptr);
    EXPECT_EQ(v[3], mine);

    for (llist_node *n : {v[3], v[0], v[5]}) {  // middle, head, tail
        llist_node *next = n->next, *prev = n->prev;
        llist_extract(&l, n);
        EXPECT_EQ(n->next, next);  // a walk may go on from an extracted node
        EXPECT_EQ(n->prev, prev);
        llist_delete(&l, llist_insert_a(&l, l.head, n, 0));
    }
    EXPECT_EQ(nodes_of(l), (std::vector<llist_node *>{v[1], v[2], v[4]}));
    llist_clear(&l);
    EXPECT_EQ(l.head, nullptr);
    EXPECT_EQ(l.count, 0);
}

TEST(ListCore, InsertAllocationFailureIsTracedAndChangesNothing) {
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    const std::string node_rec = "llist.node_alloc.1: malloc(" + std::to_string(sizeof(llist_node)) + ") failed\n";
    const struct {
        int size;
        long failing;
        std::string record;
    } cases[] = {{0, 0, node_rec},
                 {16, 0, node_rec},
                 {16, 1, "llist.node_alloc.2: malloc(16) failed\n"},
                 {-5, 1, "llist.node_alloc.2: malloc(-5) failed\n"}};
    for (const auto &c : cases)
        for (bool after : {true, false}) {
            llist l = letters("AB");
            const llist before = l;
            std::strcpy(gnl_usrmsg, "untouched");
            kelp_test::TraceTap tap;
            AllocFailure fail(c.failing);
            EXPECT_EQ(after ? llist_insert_a(&l, l.head, nullptr, c.size) : llist_insert_b(&l, l.tail, nullptr, c.size),
                      nullptr);
            EXPECT_EQ(std::memcmp(&l, &before, sizeof l), 0);
            EXPECT_EQ(order(l), "AB");
            EXPECT_NE(tap.text().find(c.record), std::string::npos) << c.record << tap.text();
            EXPECT_STREQ(gnl_usrmsg, "untouched");
            llist_clear(&l);
        }
    // A null header takes nothing and allocates nothing.
    kelp_test::reset_alloc_count();
    EXPECT_EQ(llist_insert_b(nullptr, nullptr, nullptr, 8), nullptr);
    EXPECT_EQ(kelp_test::library_allocs(), 0);
}

TEST(ListCore, StepsRankReverseAndConcat) {
    llist l = letters("XYZ");
    llist_node *x = l.head, *z = l.tail;
    EXPECT_EQ(llist_fward(x, 0), x);
    EXPECT_EQ(llist_fward(x, 2), z);
    EXPECT_EQ(llist_fward(x, 3), nullptr);
    EXPECT_EQ(llist_fward(nullptr, 3), nullptr);
    EXPECT_EQ(llist_bward(z, 2), x);
    EXPECT_EQ(llist_bward(z, 0xFFFFFFFFu), nullptr);
    llist_node stranger{};
    llist empty{};
    EXPECT_EQ(llist_rank(&l, z), 2);
    EXPECT_EQ(llist_rank(&l, &stranger), -1);
    EXPECT_EQ(llist_rank(&empty, x), -1);
    llist_reverse(&l);
    llist_reverse(&empty);
    EXPECT_EQ(order(l), "ZYX");

    for (const char *src_keys : {"", "CD"}) {
        llist dst = letters("AB"), none{}, src = letters(src_keys);
        const llist saved = src;
        EXPECT_EQ(llist_concat(&none, &src), static_cast<int>(std::strlen(src_keys)));
        EXPECT_EQ(order(none), src_keys);
        none = llist{};
        EXPECT_EQ(llist_concat(&dst, &src), 2 + static_cast<int>(std::strlen(src_keys)));
        EXPECT_EQ(order(dst), std::string("AB") + src_keys);
        EXPECT_EQ(std::memcmp(&src, &saved, sizeof src), 0);  // still names dst's nodes
        llist_clear(&dst);
    }
    llist_clear(&l);
}

TEST(ListClone, CopiesOrSharesBehindExistingNodes) {
    llist src = letters("P"), empty{};
    char referenced[] = "ref";  // on the stack: a list that freed it would be caught
    llist_insert_b(&src, nullptr, nullptr, 0)->data = referenced;
    llist dst = letters("A");
    EXPECT_EQ(llist_clone(&empty, &dst, 0), 0);
    ASSERT_EQ(llist_clone(&src, &dst, 0), 0);
    ASSERT_EQ(llist_clone(&src, &dst, 1), 0);
    std::vector<llist_node *> v = nodes_of(dst), s = nodes_of(src);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_STREQ(static_cast<char *>(v[0]->data), "A");
    EXPECT_EQ(v[1]->size, 2);  // copy: an own payload, referenced ones dropped
    EXPECT_NE(v[1]->data, s[0]->data);
    EXPECT_STREQ(static_cast<char *>(v[1]->data), "P");
    EXPECT_EQ(v[2]->data, nullptr);
    EXPECT_EQ(v[3]->size, 0);  // share: references only, even to owned payloads
    EXPECT_EQ(v[3]->data, s[0]->data);
    EXPECT_EQ(v[4]->data, referenced);
    llist_clear(&dst);
    EXPECT_STREQ(static_cast<char *>(s[0]->data), "P");
    ASSERT_EQ(llist_clone(&src, &src, 1), 0);  // onto itself: doubles once
    EXPECT_EQ(src.count, 4);
    llist_clear(&src);
}

TEST(ListClone, FailsAtEveryAllocationKeepingTheCopiesSoFar) {
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    llist src = letters("AB");
    llist_insert_a(&src, src.head, nullptr, 0);  // A, bare, B: allocations 2, 1, 2
    for (int share : {0, 1}) {
        const std::vector<long> ends = share != 0 ? std::vector<long>{1, 2, 3} : std::vector<long>{2, 3, 5};
        for (long k = 0; k <= ends.back(); ++k) {
            llist dst = letters("Z");
            kelp_test::TraceTap tap;
            int rc;
            {
                AllocFailure fail(k);
                rc = llist_clone(&src, &dst, share);
            }
            const long kept = std::upper_bound(ends.begin(), ends.end(), k) - ends.begin();
            EXPECT_EQ(rc, k < ends.back() ? 1 : 0) << "share " << share << " allocation " << k;
            EXPECT_EQ(nodes_of(dst).size(), 1u + kept);
            EXPECT_EQ(tap.text().find("llist.node_alloc.") != std::string::npos, rc == 1);
            llist_clear(&dst);
        }
    }
    llist_clear(&src);
}

// The sort as bucket insertion, step by step, on the list primitives.
void model_sort(llist *list, int offset, unsigned int flags) {
    const bool nocase = (flags & LLIST_SORT_NOCASE) != 0;
    auto key = [offset](const llist_node *n) { return static_cast<const char *>(n->data) + offset; };
    llist buckets[256] = {};
    for (llist_node *n = list->head; n != nullptr;) {
        llist_node *next = n->next;
        llist_extract(list, n);
        int b = static_cast<unsigned char>(*key(n));
        llist *bucket = &buckets[nocase ? static_cast<unsigned char>(std::toupper(b)) : b];
        llist_node *pos = bucket->head;
        while (pos != nullptr && (nocase ? strcasecmp(key(n), key(pos)) : std::strcmp(key(n), key(pos))) > 0)
            pos = pos->next;
        llist_insert_b(bucket, pos, n, 0);
        n = next;
    }
    for (const llist &b : buckets)
        llist_concat(list, &b);
    if ((flags & LLIST_SORT_DESCEND) != 0)
        llist_reverse(list);
}

void relink(llist *l, const std::vector<llist_node *> &nodes) {
    *l = llist{};
    for (llist_node *n : nodes)
        llist_insert_b(l, nullptr, n, 0);
}

TEST(ListSort, KnownOrders) {
    const struct {
        unsigned int flags;
        const char *in, *out;  // one letter per key; out gives input positions
    } cases[] = {
        {0, "pear Apple apple banana", "1230"},
        {LLIST_SORT_NOCASE, "pear Apple apple banana", "2130"},
        {LLIST_SORT_NOCASE, "_x zz Za [ a", "42130"},  // '_' and '[' after the letters
        {0, "\xC8z ~  a", "2310"},                     // empty key first, high byte last
        {LLIST_SORT_DESCEND | 0x80, "b a b c b", "30241"},
    };
    for (const auto &c : cases) {
        llist l{};
        std::string in = c.in;
        for (size_t from = 0, to; from <= in.size(); from = to + 1) {
            to = std::min(in.find(' ', from), in.size());
            add(&l, in.substr(from, to - from));
        }
        const std::vector<llist_node *> input = nodes_of(l);
        kelp_test::reset_alloc_count();
        llist_strsort(&l, 0, c.flags);
        EXPECT_EQ(kelp_test::library_allocs(), 0);
        std::string got;
        for (llist_node *n : nodes_of(l))
            got += static_cast<char>('0' + (std::find(input.begin(), input.end(), n) - input.begin()));
        EXPECT_EQ(got, c.out) << c.in << " flags " << c.flags;
        llist_clear(&l);
    }
}

TEST(ListSort, MatchesBucketInsertionOnGeneratedLists) {
    static const char alphabet[] = "aAbB_[z\xC8\xE9\xC9~";  // equal, case-equal, shared buckets, high bytes
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::mt19937 rng(20261205);
    auto draw = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (const char *locale : {"C", "C.UTF-8"}) {
        if (std::setlocale(LC_ALL, locale) == nullptr)
            continue;
        for (int round = 0; round < 400; ++round) {
            const int offset = draw(10), shape = draw(3);
            std::vector<std::string> keys(draw(70));
            for (std::string &k : keys)
                for (int j = draw(4); j > 0; --j)
                    k += alphabet[draw(sizeof alphabet - 1)];
            if (shape != 0)  // long runs in and against the order
                std::sort(keys.begin(), keys.end(), [&](auto &a, auto &b) { return shape == 1 ? a < b : b < a; });
            llist l{};
            for (const std::string &k : keys)
                add(&l, k, offset);
            const std::vector<llist_node *> input = nodes_of(l);
            for (unsigned int flags : {0u, 1u, 2u, 3u}) {
                relink(&l, input);
                model_sort(&l, offset, flags);
                const std::vector<llist_node *> expected = nodes_of(l);
                relink(&l, input);
                llist_strsort(&l, offset, flags);
                ASSERT_EQ(nodes_of(l), expected) << locale << " round " << round << " flags " << flags;
            }
            llist_clear(&l);
        }
    }
    std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
