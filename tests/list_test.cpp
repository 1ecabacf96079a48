// Lists: link order both ways, ownership of payloads, allocation failures,
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
using kelp_test::TraceTap;

// The nodes from head to tail, after checking that every link agrees with
// the header: prev mirrors next, the ends are null, count matches.
std::vector<llist_node *> nodes_of(const llist &l) {
    std::vector<llist_node *> v;
    llist_node *prev = nullptr;
    for (llist_node *n = l.head; n != nullptr; n = n->next) {
        EXPECT_EQ(n->prev, prev);
        v.push_back(n);
        prev = n;
        if (v.size() > 100000000)
            break;
    }
    EXPECT_EQ(l.tail, prev);
    EXPECT_EQ(l.count, static_cast<int>(v.size()));
    return v;
}

// Referenced payloads that name themselves: node data points at a letter.
const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// The list's letters, head to tail.
std::string order(const llist &l) {
    std::string s;
    for (llist_node *n : nodes_of(l))
        s += *static_cast<const char *>(n->data);
    return s;
}

llist_node *tagged(char c) {
    auto *n = static_cast<llist_node *>(std::malloc(sizeof(llist_node)));
    *n = llist_node{n, n, const_cast<char *>(&letters[c - 'A']), 0};  // stale links on purpose
    return n;
}

// A list of referenced letters, in the order given.
llist letters_list(const char *s) {
    llist l{};
    for (; *s != '\0'; ++s)
        llist_insert_b(&l, nullptr, tagged(*s), 0);
    return l;
}

llist_node *find(const llist &l, char c) {
    for (llist_node *n = l.head; n != nullptr; n = n->next)
        if (*static_cast<const char *>(n->data) == c)
            return n;
    return nullptr;
}

TEST(ListInsert, LinksInOrderBothWays) {
    llist l{};
    llist_insert_a(&l, nullptr, tagged('C'), 0);  // empty list: head and tail
    EXPECT_EQ(l.head, l.tail);
    llist_insert_a(&l, nullptr, tagged('A'), 0);     // prepends
    llist_insert_b(&l, nullptr, tagged('E'), 0);     // appends
    llist_insert_a(&l, l.tail, tagged('F'), 0);      // after the tail appends
    llist_insert_b(&l, l.head, tagged('Z'), 0);  // before the head
    llist_insert_a(&l, find(l, 'A'), tagged('B'), 0);
    llist_insert_b(&l, find(l, 'E'), tagged('D'), 0);
    EXPECT_EQ(order(l), "ZABCDEF");
    llist_clear(&l);

    llist b{};
    llist_insert_b(&b, nullptr, tagged('Q'), 0);
    EXPECT_EQ(order(b), "Q");
    llist_clear(&b);
}

TEST(ListInsert, NewAndCallerNodesCarryTheirPayloads) {
    llist l{};
    llist_node *bare = llist_insert_b(&l, nullptr, nullptr, 0);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->data, nullptr);
    EXPECT_EQ(bare->size, 0);

    llist_node *owned = llist_insert_b(&l, nullptr, nullptr, 16);
    ASSERT_NE(owned, nullptr);
    ASSERT_NE(owned->data, nullptr);
    EXPECT_EQ(owned->size, 16);
    const std::string zeros(16, '\0');
    EXPECT_EQ(std::memcmp(owned->data, zeros.data(), 16), 0);

    // The caller's node keeps data and size whatever size is passed.
    auto *mine = static_cast<llist_node *>(std::malloc(sizeof(llist_node)));
    void *payload = std::malloc(5);
    *mine = llist_node{mine, mine, payload, 5};
    EXPECT_EQ(llist_insert_a(&l, bare, mine, 99), mine);
    EXPECT_EQ(mine->data, payload);
    EXPECT_EQ(mine->size, 5);
    EXPECT_EQ(nodes_of(l), (std::vector<llist_node *>{bare, mine, owned}));
    llist_clear(&l);  // frees both owned payloads: the sanitizer build sees leaks
    EXPECT_EQ(l.head, nullptr);
}

TEST(ListInsert, AllocationFailureLeavesListUnchangedAndIsTraced) {
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    const std::string node_rec =
        "llist.node_alloc.1: malloc(" + std::to_string(sizeof(llist_node)) + ") failed";
    struct Case {
        int size;
        long failing;
        std::string record;
    } cases[] = {
        {0, 0, node_rec},
        {16, 0, node_rec},
        {16, 1, "llist.node_alloc.2: malloc(16) failed"},
        {-5, 1, "llist.node_alloc.2: malloc(-5) failed"},  // never reaches the allocator
    };
    for (const Case &c : cases) {
        for (bool after : {true, false}) {
            SCOPED_TRACE(c.record + (after ? " insert_a" : " insert_b"));
            llist l = letters_list("AB");
            const llist before = l;
            std::strcpy(gnl_usrmsg, "untouched");
            TraceTap tap;
            llist_node *got;
            {
                AllocFailure fail(c.failing);
                got = after ? llist_insert_a(&l, l.head, nullptr, c.size)
                            : llist_insert_b(&l, l.tail, nullptr, c.size);
            }
            EXPECT_EQ(got, nullptr);
            EXPECT_EQ(std::memcmp(&l, &before, sizeof l), 0);
            EXPECT_EQ(order(l), "AB");
            EXPECT_NE(tap.text().find("(INFO-"), std::string::npos);
            EXPECT_NE(tap.text().find(c.record + "\n"), std::string::npos) << tap.text();
            EXPECT_STREQ(gnl_usrmsg, "untouched");
            llist_clear(&l);
        }
    }
    // A caller's node needs no memory, so it cannot fail.
    llist l{};
    AllocFailure fail(0, true);
    llist_node *n = tagged('A');
    EXPECT_EQ(llist_insert_a(&l, nullptr, n, 8), n);
    llist_clear(&l);
}

TEST(ListNullHeader, IsAnEmptyListThatIsNeverWritten) {
    kelp_test::reset_alloc_count();
    EXPECT_EQ(llist_insert_a(nullptr, nullptr, nullptr, 8), nullptr);
    EXPECT_EQ(llist_insert_b(nullptr, nullptr, nullptr, 8), nullptr);
    EXPECT_EQ(kelp_test::library_allocs(), 0);
    llist_extract(nullptr, nullptr);
    llist_delete(nullptr, nullptr);
    llist_clear(nullptr);
    llist_reverse(nullptr);
    llist_strsort(nullptr, 0, 0);
    EXPECT_EQ(llist_rank(nullptr, nullptr), -1);
    llist l = letters_list("AB");
    EXPECT_EQ(llist_concat(&l, nullptr), 2);
    EXPECT_EQ(llist_concat(nullptr, &l), 0);
    EXPECT_EQ(llist_clone(nullptr, &l, 0), 0);
    EXPECT_EQ(llist_clone(&l, nullptr, 0), 1);
    EXPECT_EQ(order(l), "AB");
    llist_clear(&l);
}

TEST(ListExtract, UnlinksButLeavesTheNodesOwnLinks) {
    for (char victim : std::string("ACE")) {
        llist l = letters_list("ACE");
        llist_node *n = find(l, victim);
        llist_node *next = n->next, *prev = n->prev;
        llist_extract(&l, n);
        EXPECT_EQ(n->next, next);
        EXPECT_EQ(n->prev, prev);
        std::string rest = "ACE";
        rest.erase(rest.find(victim), 1);
        EXPECT_EQ(order(l), rest);
        llist_insert_a(&l, l.tail, n, 0);  // may be linked again
        EXPECT_EQ(order(l), rest + victim);
        llist_clear(&l);
    }
    llist one = letters_list("A");
    llist_node *only = one.head;
    llist_extract(&one, only);
    EXPECT_EQ(one.head, nullptr);
    EXPECT_EQ(one.tail, nullptr);
    EXPECT_EQ(one.count, 0);
    std::free(only);

    // A walk may extract the current node and carry on from its next.
    llist l = letters_list("ABCDE");
    std::vector<llist_node *> out;
    for (llist_node *n = l.head; n != nullptr; n = n->next)
        if (std::strchr("BD", *static_cast<char *>(n->data)) != nullptr) {
            llist_extract(&l, n);
            out.push_back(n);
        }
    EXPECT_EQ(order(l), "ACE");
    llist_clear(&l);
    for (llist_node *n : out)
        std::free(n);
}

TEST(ListDelete, FreesOwnedPayloadsOnlyAndClearResets) {
    // Referenced payloads live on the stack: freeing one would be caught.
    char stack_payload[4] = "abc";
    llist l{};
    llist_node *ref = llist_insert_b(&l, nullptr, nullptr, 0);
    ref->data = stack_payload;
    llist_node *owned = llist_insert_b(&l, nullptr, nullptr, 8);
    llist_insert_b(&l, nullptr, nullptr, 0)->data = stack_payload;
    llist_delete(&l, owned);
    llist_delete(&l, ref);
    EXPECT_EQ(l.count, 1);
    llist_clear(&l);
    EXPECT_EQ(l.head, nullptr);
    EXPECT_EQ(l.tail, nullptr);
    EXPECT_EQ(l.count, 0);
    EXPECT_STREQ(stack_payload, "abc");

    // A header counting no nodes is only reset; its nodes are not touched.
    llist stale = letters_list("AB");
    llist_node *a = stale.head, *b = stale.tail;
    stale.count = 0;
    llist_clear(&stale);
    EXPECT_EQ(stale.head, nullptr);
    EXPECT_EQ(stale.tail, nullptr);
    EXPECT_EQ(a->next, b);
    std::free(a);
    std::free(b);
}

TEST(ListWalk, StepsRankAndReverse) {
    llist l = letters_list("XYZ");
    llist_node *x = l.head, *y = x->next, *z = l.tail;
    EXPECT_EQ(llist_fward(x, 0), x);
    EXPECT_EQ(llist_fward(x, 2), z);
    EXPECT_EQ(llist_fward(x, 3), nullptr);
    EXPECT_EQ(llist_fward(x, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(llist_fward(nullptr, 3), nullptr);
    EXPECT_EQ(llist_bward(z, 1), y);
    EXPECT_EQ(llist_bward(z, 3), nullptr);
    EXPECT_EQ(llist_bward(nullptr, 0), nullptr);

    EXPECT_EQ(llist_rank(&l, x), 0);
    EXPECT_EQ(llist_rank(&l, z), 2);
    llist_node foreign{};
    EXPECT_EQ(llist_rank(&l, &foreign), -1);
    EXPECT_EQ(llist_rank(&l, nullptr), -1);
    llist empty{};
    EXPECT_EQ(llist_rank(&empty, x), -1);

    llist_reverse(&l);
    EXPECT_EQ(order(l), "ZYX");
    EXPECT_EQ(l.head, z);
    EXPECT_EQ(llist_rank(&l, x), 2);
    llist_reverse(&empty);
    EXPECT_EQ(nodes_of(empty).size(), 0u);
    llist one = letters_list("Q");
    llist_reverse(&one);
    EXPECT_EQ(order(one), "Q");
    llist_clear(&one);
    llist_clear(&l);
}

TEST(ListConcat, MovesNodesAndLeavesSourceHeaderAlone) {
    struct Case {
        const char *dst, *src, *joined;
    } cases[] = {{"AB", "", "AB"}, {"", "CD", "CD"}, {"AB", "CDE", "ABCDE"}, {"", "", ""}};
    for (const Case &c : cases) {
        llist dst = letters_list(c.dst);
        llist src = letters_list(c.src);
        const llist saved = src;
        EXPECT_EQ(llist_concat(&dst, &src), static_cast<int>(std::strlen(c.joined)));
        EXPECT_EQ(order(dst), c.joined);
        EXPECT_EQ(std::memcmp(&src, &saved, sizeof src), 0);
        llist_clear(&dst);
    }
}

TEST(ListClone, CopiesOrSharesBehindExistingNodes) {
    llist src{};
    llist_node *eight = llist_insert_b(&src, nullptr, nullptr, 8);
    std::memcpy(eight->data, "12345678", 8);
    char referenced[] = "ref";
    llist_insert_b(&src, nullptr, nullptr, 0)->data = referenced;

    llist empty{};
    llist dst = letters_list("A");
    const llist before = dst;
    EXPECT_EQ(llist_clone(&empty, &dst, 0), 0);
    EXPECT_EQ(std::memcmp(&dst, &before, sizeof dst), 0);

    ASSERT_EQ(llist_clone(&src, &dst, 0), 0);
    std::vector<llist_node *> copy = nodes_of(dst);
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy[0], before.head);
    EXPECT_EQ(copy[1]->size, 8);
    EXPECT_NE(copy[1]->data, eight->data);
    EXPECT_EQ(std::memcmp(copy[1]->data, "12345678", 8), 0);
    EXPECT_EQ(copy[2]->size, 0);
    EXPECT_EQ(copy[2]->data, nullptr);

    llist shared{};
    ASSERT_EQ(llist_clone(&src, &shared, 1), 0);
    std::vector<llist_node *> s = nodes_of(shared);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0]->size, 0);
    EXPECT_EQ(s[0]->data, eight->data);
    EXPECT_EQ(s[1]->data, referenced);
    llist_clear(&shared);  // frees no payload: the source still reads it
    EXPECT_EQ(std::memcmp(eight->data, "12345678", 8), 0);

    // Cloned onto itself, a list doubles once.
    ASSERT_EQ(llist_clone(&src, &src, 1), 0);
    EXPECT_EQ(nodes_of(src).size(), 4u);
    llist_clear(&dst);
    llist_clear(&src);
}

TEST(ListClone, FailsAtEveryAllocationKeepingTheCopiesMadeSoFar) {
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    // Node allocations alternate with payload allocations where size > 0.
    const int sizes[] = {4, 0, 4, 4, 0};
    llist src{};
    for (int size : sizes)
        llist_insert_b(&src, nullptr, nullptr, size);
    for (int share : {0, 1}) {
        long allocs = 0;
        for (long k = 0;; ++k) {
            SCOPED_TRACE("share " + std::to_string(share) + " failing allocation " + std::to_string(k));
            llist dst = letters_list("Z");
            TraceTap tap;
            int rc;
            {
                AllocFailure fail(k);
                rc = llist_clone(&src, &dst, share);
                allocs = kelp_test::library_allocs();
            }
            if (rc == 0) {
                EXPECT_EQ(allocs, k) << "every allocation was failed once";
                EXPECT_EQ(nodes_of(dst).size(), 1u + std::size(sizes));
                llist_clear(&dst);
                break;
            }
            ASSERT_EQ(rc, 1);
            EXPECT_EQ(allocs, k + 1) << "stops at the first failure";
            // Count the nodes whose allocations all fit before allocation k.
            long used = 0;
            size_t done = 0;
            for (int size : sizes) {
                used += (share == 0 && size != 0) ? 2 : 1;
                if (used > k)
                    break;
                ++done;
            }
            EXPECT_EQ(nodes_of(dst).size(), 1 + done);
            EXPECT_NE(tap.text().find("llist.node_alloc."), std::string::npos);
            llist_clear(&dst);
        }
    }
    llist_clear(&src);
}

// ---- sorting --------------------------------------------------------------

// Key of a node: the string at offset bytes into its payload.
const char *key_of(const llist_node *n, int offset) { return static_cast<const char *>(n->data) + offset; }

// The sort as bucket insertion, step by step, on the list primitives.
void model_sort(llist *list, int offset, unsigned int flags) {
    const bool nocase = (flags & LLIST_SORT_NOCASE) != 0;
    auto cmp = [&](const llist_node *a, const llist_node *b) {
        return nocase ? strcasecmp(key_of(a, offset), key_of(b, offset))
                      : std::strcmp(key_of(a, offset), key_of(b, offset));
    };
    llist buckets[256] = {};
    for (llist_node *n = list->head; n != nullptr;) {
        llist_node *next = n->next;
        llist_extract(list, n);
        int b = static_cast<unsigned char>(*key_of(n, offset));
        if (nocase)
            b = static_cast<unsigned char>(std::toupper(b));
        llist_node *pos = buckets[b].head;
        while (pos != nullptr && cmp(n, pos) > 0)
            pos = pos->next;
        llist_insert_b(&buckets[b], pos, n, 0);
        n = next;
    }
    for (const llist &b : buckets)
        llist_concat(list, &b);
    if ((flags & LLIST_SORT_DESCEND) != 0)
        llist_reverse(list);
}

// A list whose payloads hold offset filler bytes and then the key.
llist key_list(const std::vector<std::string> &keys, int offset = 0) {
    llist l{};
    for (const std::string &k : keys) {
        llist_node *n = llist_insert_b(&l, nullptr, nullptr, offset + static_cast<int>(k.size()) + 1);
        std::memset(n->data, 'x', static_cast<size_t>(offset));
        std::memcpy(static_cast<char *>(n->data) + offset, k.c_str(), k.size() + 1);
    }
    return l;
}

// The keys head to tail; a key that is the input's i-th shows as key#i when
// tagged (the index is taken from the input order).
std::string keys_of(const llist &l, const std::vector<llist_node *> &input = {}) {
    std::string s;
    for (llist_node *n : nodes_of(l)) {
        s += s.empty() ? "" : " ";
        s += key_of(n, 0);
        auto it = std::find(input.begin(), input.end(), n);
        if (it != input.end())
            s += "#" + std::to_string(it - input.begin());
    }
    return s;
}

// Relinks the given nodes in this order, as the caller's own nodes.
void relink(llist *l, const std::vector<llist_node *> &nodes) {
    *l = llist{};
    for (llist_node *n : nodes)
        llist_insert_b(l, nullptr, n, 0);
}

TEST(ListSort, OrdersByCaseFirstByteAndReversesTies) {
    struct Case {
        unsigned int flags;
        std::vector<std::string> in;
        std::string out;
    } cases[] = {
        {0, {"pear", "Apple", "apple", "banana"}, "Apple#1 apple#2 banana#3 pear#0"},
        {LLIST_SORT_NOCASE, {"pear", "Apple", "apple", "banana"}, "apple#2 Apple#1 banana#3 pear#0"},
        {LLIST_SORT_NOCASE | LLIST_SORT_DESCEND, {"pear", "Apple", "apple", "banana"},
         "pear#0 banana#3 Apple#1 apple#2"},
        {LLIST_SORT_NOCASE, {"_x", "zz", "Za", "[", "a"}, "a#4 Za#2 zz#1 [#3 _x#0"},
        {0, {"_x", "zz", "Za", "a"}, "Za#2 _x#0 a#3 zz#1"},
        {0, {"\xC8z", "~", "", "a"}, "#2 a#3 ~#1 \xC8z#0"},
        {LLIST_SORT_NOCASE, {"\xC8", "~", "b", "A"}, "A#3 b#2 ~#1 \xC8#0"},
        {LLIST_SORT_DESCEND, {"b", "a", "b", "c", "b"}, "c#3 b#0 b#2 b#4 a#1"},
        {0, {"b", "a", "b", "c", "b"}, "a#1 b#4 b#2 b#0 c#3"},
        {0x80 | LLIST_SORT_DESCEND, {"a", "b"}, "b#1 a#0"},  // unknown bits ignored
        {0, {"only"}, "only#0"},
        {LLIST_SORT_DESCEND, {}, ""},
    };
    for (const Case &c : cases) {
        llist l = key_list(c.in);
        std::vector<llist_node *> input = nodes_of(l);
        kelp_test::reset_alloc_count();
        llist_strsort(&l, 0, c.flags);
        EXPECT_EQ(kelp_test::library_allocs(), 0);
        EXPECT_EQ(keys_of(l, input), c.out) << "flags " << c.flags;
        llist_clear(&l);
    }
}

// Keys drawn from a few bytes that collide in every way the order cares
// about: equal, equal without case, sharing a bucket, empty, high bytes.
std::vector<std::string> random_keys(std::mt19937 &rng, int count) {
    static const char alphabet[] = "aAbB_[z\xC8\xE9\xC9~";
    std::uniform_int_distribution<int> len(0, 3), pick(0, sizeof alphabet - 2);
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) {
        std::string k;
        for (int j = len(rng); j > 0; --j)
            k += alphabet[pick(rng)];
        keys.push_back(k);
    }
    return keys;
}

TEST(ListSort, MatchesBucketInsertionOnGeneratedLists) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    for (const char *locale : {"C", "C.UTF-8"}) {
        if (std::setlocale(LC_ALL, locale) == nullptr)
            continue;
        std::mt19937 rng(20261205);
        std::uniform_int_distribution<int> length(0, 70), offset_of(0, 9);
        for (int round = 0; round < 400; ++round) {
            const int offset = offset_of(rng);
            llist l = key_list(random_keys(rng, length(rng)), offset);
            const std::vector<llist_node *> input = nodes_of(l);
            for (unsigned int flags : {0u, 1u, 2u, 3u, 7u}) {
                relink(&l, input);
                model_sort(&l, offset, flags);
                const std::vector<llist_node *> expected = nodes_of(l);
                relink(&l, input);
                llist_strsort(&l, offset, flags);
                ASSERT_EQ(nodes_of(l), expected) << "locale " << locale << " round " << round
                                                 << " flags " << flags << " offset " << offset;
            }
            llist_clear(&l);
        }
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(ListSort, SortedAndReversedInputsAndOneBigBucket) {
    // Runs already in order, runs in reverse, and equal keys all in one
    // bucket: the cases where a merge could mistake the tie order.
    const int n = 50000;
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i)
        keys.push_back("k" + std::to_string(i % 997) + (i % 3 == 0 ? "A" : "a"));
    for (unsigned int flags : {0u, 1u, 2u, 3u}) {
        for (int shape = 0; shape < 3; ++shape) {
            std::vector<std::string> in = keys;
            if (shape > 0)
                std::stable_sort(in.begin(), in.end());
            if (shape == 2)
                std::reverse(in.begin(), in.end());
            llist l = key_list(in);
            std::vector<llist_node *> input = nodes_of(l);
            llist_strsort(&l, 0, flags);
            std::vector<llist_node *> got = nodes_of(l);
            // All keys share a bucket: ascending by key, equal keys by
            // falling input position; descending is the mirror.
            std::vector<llist_node *> expected = input;
            std::reverse(expected.begin(), expected.end());
            const bool nocase = (flags & LLIST_SORT_NOCASE) != 0;
            std::stable_sort(expected.begin(), expected.end(), [&](const llist_node *a, const llist_node *b) {
                const char *ka = key_of(a, 0), *kb = key_of(b, 0);
                return (nocase ? strcasecmp(ka, kb) : std::strcmp(ka, kb)) < 0;
            });
            if ((flags & LLIST_SORT_DESCEND) != 0)
                std::reverse(expected.begin(), expected.end());
            ASSERT_TRUE(got == expected) << "flags " << flags << " shape " << shape;
            llist_clear(&l);
        }
    }
}

}  // namespace
