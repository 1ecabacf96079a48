// Lists: link order both ways, payload ownership, allocation failures,
// cloning, and the sort against a literal model of its bucket insertion.
#include <gtest/gtest.h>

#include <kelp.h>

#include "failalloc.h"
#include "models.h"
#include "testutil.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using kelp_test::AllocFailure;
using Nodes = std::vector<llist_node *>;

// The nodes head to tail, checking that prev mirrors next and the header agrees.
Nodes nodes_of(const llist &l) {
    Nodes v;
    for (llist_node *n = l.head; n != nullptr && v.size() <= 100000; n = n->next) {
        EXPECT_EQ(n->prev, v.empty() ? nullptr : v.back());
        v.push_back(n);
    }
    EXPECT_EQ(l.tail, v.empty() ? nullptr : v.back());
    EXPECT_EQ(l.count, static_cast<int>(v.size()));
    return v;
}

// Appends a node whose payload holds key at offset bytes.
void add(llist *l, const std::string &key, int offset = 0) {
    llist_node *n = llist_insert_b(l, nullptr, nullptr, offset + static_cast<int>(key.size()) + 1);
    std::memcpy(static_cast<char *>(n->data) + offset, key.c_str(), key.size() + 1);
}
// A list of one-letter keys.
llist letters(const std::string &s) {
    llist l{};
    for (char c : s)
        add(&l, {c});
    return l;
}
std::string order(const llist &l) {
    std::string s;
    for (llist_node *n : nodes_of(l))
        s += static_cast<const char *>(n->data);
    return s;
}

TEST(ListCore, InsertsExtractsAndSteps) {
    llist l{};
    auto *mine = static_cast<llist_node *>(std::malloc(sizeof(llist_node)));
    *mine = llist_node{mine, mine, std::malloc(2), 2};       // stale links are dropped
    EXPECT_EQ(llist_insert_a(&l, nullptr, mine, 99), mine);  // empty: head and tail
    EXPECT_EQ(mine->size, 2);
    llist_node *b = llist_insert_a(&l, nullptr, nullptr, 2);  // prepends
    llist_insert_b(&l, nullptr, nullptr, 2);                  // appends
    llist_insert_a(&l, l.tail, nullptr, 2);                   // after the tail appends
    llist_insert_b(&l, b, nullptr, 2);                        // before the head
    llist_insert_a(&l, b, nullptr, 0);                        // no payload
    EXPECT_EQ(std::string(static_cast<char *>(b->data), 2), std::string(2, '\0'));
    Nodes v = nodes_of(l);
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[2]->data, nullptr);
    EXPECT_EQ(v[3], mine);
    EXPECT_EQ(llist_fward(v[0], 0), v[0]);
    EXPECT_EQ(llist_fward(v[0], 5), v[5]);
    EXPECT_EQ(llist_fward(v[0], 6), nullptr);
    EXPECT_EQ(llist_fward(nullptr, 3), nullptr);
    EXPECT_EQ(llist_bward(v[5], 5), v[0]);
    EXPECT_EQ(llist_bward(v[5], 0xFFFFFFFFu), nullptr);
    llist_node stranger{};
    llist empty{};
    EXPECT_EQ(llist_rank(&l, v[5]), 5);
    EXPECT_EQ(llist_rank(&l, &stranger), -1);
    EXPECT_EQ(llist_rank(&empty, v[0]), -1);

    for (llist_node *n : {v[3], v[0], v[5]}) {  // middle, head, tail
        llist_node *next = n->next, *prev = n->prev;
        llist_extract(&l, n);
        EXPECT_EQ(n->next, next);  // a walk may go on from an extracted node
        EXPECT_EQ(n->prev, prev);
        llist_delete(&l, llist_insert_a(&l, l.head, n, 0));
    }
    EXPECT_EQ(nodes_of(l), (Nodes{v[1], v[2], v[4]}));
    llist_reverse(&l);
    llist_reverse(&empty);
    EXPECT_EQ(nodes_of(l), (Nodes{v[4], v[2], v[1]}));
    EXPECT_TRUE(nodes_of(empty).empty());
    llist_clear(&l);
    EXPECT_TRUE(nodes_of(l).empty());
}

TEST(ListCore, ConcatLeavesTheSourceHeaderAsItWas) {
    for (std::string keys : {"", "CD"}) {
        llist dst = letters("AB"), none{}, src = letters(keys);
        const llist saved = src;
        EXPECT_EQ(llist_concat(&none, &src), static_cast<int>(keys.size()));
        EXPECT_EQ(order(none), keys);
        EXPECT_EQ(llist_concat(&dst, &src), 2 + static_cast<int>(keys.size()));
        EXPECT_EQ(order(dst), "AB" + keys);
        EXPECT_EQ(std::memcmp(&src, &saved, sizeof src), 0);  // still names dst's nodes
        llist_clear(&dst);
    }
}

TEST(ListCore, InsertAllocationFailureIsTracedAndChangesNothing) {
    // Allocation 0 is the node record, 1 its payload.
    for (auto [size, failing] : {std::pair{0, 0}, {16, 0}, {16, 1}, {-5, 1}}) {
        const std::string record =
            "llist.node_alloc." + std::to_string(failing + 1) + ": malloc(" +
            std::to_string(failing != 0 ? size : static_cast<int>(sizeof(llist_node))) +
            ") failed\n";
        for (bool after : {true, false}) {
            llist l = letters("AB");
            const llist before = l;
            std::strcpy(gnl_usrmsg, "untouched");
            kelp_test::TraceTap tap;
            AllocFailure fail(failing);
            EXPECT_EQ(after ? llist_insert_a(&l, l.head, nullptr, size)
                            : llist_insert_b(&l, l.tail, nullptr, size),
                      nullptr);
            EXPECT_EQ(std::memcmp(&l, &before, sizeof l), 0);
            EXPECT_EQ(order(l), "AB");
            EXPECT_NE(tap.text().find(record), std::string::npos) << record << tap.text();
            EXPECT_STREQ(gnl_usrmsg, "untouched");
            llist_clear(&l);
        }
    }
    // A null header takes nothing and allocates nothing.
    kelp_test::reset_alloc_count();
    EXPECT_EQ(llist_insert_b(nullptr, nullptr, nullptr, 8), nullptr);
    EXPECT_EQ(kelp_test::library_allocs(), 0);
}

TEST(ListClone, CopiesOrSharesAndKeepsWhatWasCopiedBeforeAFailure) {
    llist src = letters("P"), empty{};
    char referenced[] = "ref";  // on the stack: a list that freed it would be caught
    llist_insert_b(&src, nullptr, nullptr, 0)->data = referenced;
    llist dst = letters("A");
    EXPECT_EQ(llist_clone(&empty, &dst, 0), 0);
    ASSERT_EQ(llist_clone(&src, &dst, 0), 0);
    ASSERT_EQ(llist_clone(&src, &dst, 1), 0);
    Nodes v = nodes_of(dst), s = nodes_of(src);
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

    for (int share : {0, 1}) {
        // Allocations made once each copy is done: node and payload, or node only.
        const std::vector<long> ends =
            share != 0 ? std::vector<long>{1, 2} : std::vector<long>{2, 3};
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
    ASSERT_EQ(llist_clone(&src, &src, 1), 0);  // onto itself: doubles once
    EXPECT_EQ(src.count, 4);
    llist_clear(&src);
}

// Links the nodes into l in their input order and sorts them, without
// allocating; or gives the order of the bucket-insertion model.
Nodes sorted(llist *l, const Nodes &input, int offset, unsigned flags, bool model) {
    Nodes out;
    if (model) {
        std::vector<std::string> keys;
        for (llist_node *n : input)
            keys.emplace_back(static_cast<const char *>(n->data) + offset);
        for (size_t i : model::strsort(keys, flags))
            out.push_back(input[i]);
        return out;
    }
    *l = llist{};
    for (llist_node *n : input)
        llist_insert_b(l, nullptr, n, 0);
    kelp_test::reset_alloc_count();
    llist_strsort(l, offset, flags);
    EXPECT_EQ(kelp_test::library_allocs(), 0);
    return nodes_of(*l);
}

TEST(ListSort, KnownOrders) {
    const struct {
        unsigned int flags;
        std::vector<std::string> in;
        const char *out;  // input positions
    } cases[] = {
        {0, {"pear", "Apple", "apple", "banana"}, "1230"},
        {LLIST_SORT_NOCASE, {"pear", "Apple", "apple", "banana"}, "2130"},
        {LLIST_SORT_NOCASE, {"_x", "zz", "Za", "[", "a"}, "42130"},  // '_' and '[' after letters
        {0, {"\xC8z", "~", "", "a"}, "2310"},  // empty key first, high byte last
        {LLIST_SORT_DESCEND | 0x80, {"b", "a", "b", "c", "b"}, "30241"},
    };
    for (const auto &c : cases) {
        llist l{};
        for (const std::string &key : c.in)
            add(&l, key);
        const Nodes input = nodes_of(l);
        std::string got;
        for (llist_node *n : sorted(&l, input, 0, c.flags, false))
            got +=
                static_cast<char>('0' + (std::find(input.begin(), input.end(), n) - input.begin()));
        EXPECT_EQ(got, c.out) << c.out << " flags " << c.flags;
        llist_clear(&l);
    }
}

TEST(ListSort, MatchesBucketInsertionOnGeneratedLists) {
    // Equal, case-equal, shared buckets, high bytes. Every tenth list is big
    // enough to be dealt by key byte, over few letters so that buckets are
    // dealt again, often after a shared prefix.
    static const char alphabet[] = "aA_bB[z\xC8\xE9\xC9~";
    std::mt19937 rng(20261205);
    auto draw = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 60; ++round) {
        const bool big = round % 10 == 0;
        const int offset = draw(10), shape = draw(3), letters = big ? 2 + draw(4) : sizeof alphabet - 1;
        std::vector<std::string> keys(big ? 1100 + draw(2500) : draw(70));
        const std::string prefix(big && draw(2) != 0 ? draw(12) : 0, 'k');
        for (std::string &k : keys) {
            k = draw(8) != 0 ? prefix : "";
            for (int j = draw(big ? 8 : 4); j > 0; --j)
                k += alphabet[draw(letters)];
        }
        if (shape != 0)  // long runs in and against the order
            std::sort(keys.begin(), keys.end(),
                      [&](auto &a, auto &b) { return shape == 1 ? a < b : b < a; });
        llist l{};
        for (const std::string &k : keys)
            add(&l, k, offset);
        const Nodes input = nodes_of(l);
        for (unsigned int flags : {0u, 1u, 2u, 3u})
            ASSERT_EQ(sorted(&l, input, offset, flags, false),
                      sorted(&l, input, offset, flags, true))
                << "round " << round << " flags " << flags;
        llist_clear(&l);
    }
}

}  // namespace
