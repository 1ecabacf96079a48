// Lists: sorting by a string key inside the payload.
//
// The order compares each key as a byte string: with case, the key itself;
// without case, the upper-case first byte (the bucket the order groups keys
// by) followed by every byte of the key lower-cased, as strcasecmp compares.
// Keys with equal strings end in the reverse of their input order, and
// descending is the exact reversal of all that.
//
// The nodes' addresses go into an array with the first eight bytes of each
// string, which is sorted by radix passes over those bytes and then relinked:
// the list is walked once and each node written once, however its nodes lie
// in memory. Without memory for the array, a merge sort over the links gives
// the same order.
#include "core/internal.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

class SortKey {
  public:
    SortKey(int offset, unsigned int flags)
        : offset_(offset), nocase_((flags & LLIST_SORT_NOCASE) != 0) {
        if (!nocase_)
            return;
        const kelp::CaseTables cases;
        for (unsigned c = 0; c < 256; ++c) {
            upper_[c] = static_cast<unsigned char>(cases.upper(static_cast<unsigned char>(c)));
            lower_[c] = static_cast<unsigned char>(cases.lower(static_cast<unsigned char>(c)));
        }
    }

    // Bytes at to at + 7 of n's string, the first in the top byte, zero past
    // its end. Reads no further into the key than its terminator.
    uint64_t prefix(const llist_node *n, size_t at) const {
        const unsigned char *k = key(n);
        if (!nocase_) {
            uint64_t p = 0;
            for (unsigned i = 0; i < 8 && k[at + i] != '\0'; ++i)
                p |= static_cast<uint64_t>(k[at + i]) << (56 - 8 * i);
            return p;
        }
        // String byte j is key byte j - 1 lower-cased, after the first.
        uint64_t p = at == 0 ? static_cast<uint64_t>(upper_[k[0]]) << 56 : 0;
        for (size_t j = at == 0 ? 1 : at; j < at + 8 && k[j - 1] != '\0'; ++j)
            p |= static_cast<uint64_t>(lower_[k[j - 1]]) << (56 - 8 * (j - at));
        return p;
    }

    // Compares the strings of a and b from byte at on (with case at may be
    // 0, without case at least 1); both strings reach that far.
    int compare(const llist_node *a, const llist_node *b, size_t at) const {
        const unsigned char *ka = key(a), *kb = key(b);
        if (!nocase_)
            return std::strcmp(reinterpret_cast<const char *>(ka + at),
                               reinterpret_cast<const char *>(kb + at));
        for (size_t i = at - 1;; ++i) {
            const int d = lower_[ka[i]] - lower_[kb[i]];
            if (d != 0 || ka[i] == '\0')
                return d;
        }
    }

    // The whole order, for the merge sort.
    int compare(const llist_node *a, const llist_node *b) const {
        if (!nocase_)
            return compare(a, b, 0);
        const int d = upper_[*key(a)] - upper_[*key(b)];
        return d != 0 ? d : compare(a, b, 1);
    }

  private:
    const unsigned char *key(const llist_node *n) const {
        return static_cast<const unsigned char *>(n->data) + offset_;
    }

    int offset_;
    bool nocase_;
    unsigned char upper_[256] = {};
    unsigned char lower_[256] = {};
};

struct Entry {
    uint64_t prefix;  // eight bytes of the node's string
    llist_node *node;
};

// A stable sort of entries by their nodes' strings: most significant byte
// first, each pass dealing a range into buckets by one byte of the prefixes.
// Once a range shares all eight bytes, its prefixes are loaded again from
// the next eight. Small ranges are finished by insertion.
class Sorter {
  public:
    Sorter(const SortKey &keys, Entry *all, Entry *spare) : keys_(keys), all_(all), spare_(spare) {}

    // Sorts e[0, n), whose strings agree before byte at + b and whose
    // prefixes hold bytes at to at + 7.
    void sort(Entry *e, size_t n, size_t at, unsigned b) {
        while (n > insertion_at_most) {
            if (b == 8) {  // all eight bytes shared, none of them the end
                at += 8;
                b = 0;
                for (size_t i = 0; i < n; ++i)
                    e[i].prefix = keys_.prefix(e[i].node, at);
            }
            uint32_t end[256];
            const unsigned big = tally(e, n, b, end);
            if (end[big] < n) {
                deal(e, n, b, end);
                // Every other bucket is sorted now, the biggest in this loop:
                // a recursion gets at most half the range, so it stays shallow.
                for (unsigned c = 1; c < 256; ++c)  // bucket 0: strings that ended, all equal
                    if (c != big && end[c] - end[c - 1] > 1)
                        sort(e + end[c - 1], end[c] - end[c - 1], at, b + 1);
                const size_t from = big == 0 ? 0 : end[big - 1];
                e += from;
                n = end[big] - from;
            }
            if (big == 0)
                return;
            ++b;
        }
        insert(e, n, at);
    }

  private:
    static constexpr size_t insertion_at_most = 24;

    static unsigned byte_of(uint64_t prefix, unsigned b) { return (prefix >> (56 - 8 * b)) & 0xFF; }

    // Counts the entries of each bucket by prefix byte b; returns the
    // biggest bucket.
    static unsigned tally(const Entry *e, size_t n, unsigned b, uint32_t *count) {
        std::memset(count, 0, 256 * sizeof *count);
        for (size_t i = 0; i < n; ++i)
            ++count[byte_of(e[i].prefix, b)];
        unsigned big = 0;
        for (unsigned c = 1; c < 256; ++c)
            big = count[c] > count[big] ? c : big;
        return big;
    }

    // Deals e[0, n) into buckets by prefix byte b, keeping their order; end
    // holds each bucket's count, and then where the bucket ends.
    void deal(Entry *e, size_t n, unsigned b, uint32_t *end) {
        uint32_t at = 0;
        for (unsigned c = 0; c < 256; ++c) {
            at += end[c];
            end[c] = at - end[c];  // for now, where the bucket begins
        }
        Entry *out = spare_ + (e - all_);
        for (size_t i = 0; i < n; ++i)
            out[end[byte_of(e[i].prefix, b)]++] = e[i];
        std::memcpy(e, out, n * sizeof *e);
    }

    // Whether x's string sorts before y's; their prefixes hold bytes at to
    // at + 7.
    bool before(const Entry &x, const Entry &y, size_t at) const {
        return x.prefix < y.prefix || (x.prefix == y.prefix && (x.prefix & 0xFF) != 0 &&
                                       keys_.compare(x.node, y.node, at + 8) < 0);
    }

    void insert(Entry *e, size_t n, size_t at) const {
        for (size_t i = 1; i < n; ++i) {
            const Entry x = e[i];
            size_t j = i;
            for (; j > 0 && before(x, e[j - 1], at); --j)
                e[j] = e[j - 1];
            e[j] = x;
        }
    }

    const SortKey &keys_;
    Entry *all_;
    Entry *spare_;
};

// Links the entries' nodes into list, in their order or in reverse.
void relink(llist *list, const Entry *e, size_t n, bool reverse) {
    llist_node *prev = nullptr;
    for (size_t i = 0; i < n; ++i) {
        llist_node *node = e[reverse ? n - 1 - i : i].node;
        node->prev = prev;
        (prev != nullptr ? prev->next : list->head) = node;
        prev = node;
    }
    prev->next = nullptr;
    list->tail = prev;
}

// A big array comes in fresh pages, each a fault on its first touch: for a
// million nodes more than half as long again as the sort itself. Ask for
// 2 MiB pages where they fit whole.
void advise_huge_pages(void *p, size_t bytes) {
    constexpr uintptr_t within = (uintptr_t{2} << 20) - 1;  // offset bits of a 2 MiB page
    const uintptr_t from = (reinterpret_cast<uintptr_t>(p) + within) & ~within;
    const uintptr_t to = (reinterpret_cast<uintptr_t>(p) + bytes) & ~within;
    if (from < to)
        madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
}

// Sorts the list through an array of its nodes; false when there is no
// memory for it.
bool sort_by_array(llist *list, const SortKey &keys, bool descend) {
    const auto n = static_cast<size_t>(list->count);
    const size_t bytes = 2 * n * sizeof(Entry);
    auto *e = static_cast<Entry *>(std::malloc(bytes));
    if (e == nullptr)
        return false;
    advise_huge_pages(e, bytes);
    llist_node *front = list->head, *back = list->tail;
    // In reverse input order: a stable sort then leaves later equal keys
    // first. Where the nodes lie apart in memory, each step of a walk waits
    // for the node before it; walking from both ends halves the wait.
    for (size_t i = 0, j = n - 1; i < j; ++i, --j) {
        e[i] = Entry{keys.prefix(back, 0), back};
        e[j] = Entry{keys.prefix(front, 0), front};
        back = back->prev;
        front = front->next;
    }
    if (n % 2 != 0)
        e[n / 2] = Entry{keys.prefix(back, 0), back};
    Sorter(keys, e, e + n).sort(e, n, 0, 0);
    relink(list, e, n, descend);
    std::free(e);
    return true;
}

// Merges two chains linked by next, a's nodes first among equals.
llist_node *merge(llist_node *a, llist_node *b, const SortKey &keys) {
    llist_node head{};
    llist_node *tail = &head;
    while (a != nullptr && b != nullptr) {
        llist_node *&take = keys.compare(b, a) < 0 ? b : a;
        tail->next = take;
        tail = take;
        take = take->next;
    }
    tail->next = a != nullptr ? a : b;
    return head.next;
}

// The same order without allocating: a bottom-up merge sort over the links,
// fed the nodes from the tail. pending[i] holds 2^i sorted nodes or none;
// fewer than 2^64 nodes never overflow it.
void sort_by_links(llist *list, const SortKey &keys, bool descend) {
    llist_node *pending[64] = {};
    for (llist_node *node = list->tail, *prev; node != nullptr; node = prev) {
        prev = node->prev;
        node->next = nullptr;
        unsigned i = 0;
        for (; pending[i] != nullptr; ++i) {
            node = merge(pending[i], node, keys);
            pending[i] = nullptr;
        }
        pending[i] = node;
    }
    llist_node *sorted = nullptr;
    for (llist_node *chain : pending)
        if (chain != nullptr)
            sorted = merge(chain, sorted, keys);
    list->head = sorted;
    for (llist_node *prev = nullptr; sorted != nullptr; prev = sorted, sorted = sorted->next) {
        sorted->prev = prev;
        list->tail = sorted;
    }
    if (descend)
        llist_reverse(list);
}

}  // namespace

extern "C" {

// Sorts the list in place by the NUL-terminated key at offset bytes into
// each payload. Only the links change: nodes and payloads stay where they
// are. The memory the sort borrows is freed before it returns; without it
// the sort takes longer and gives the same order.
void llist_strsort(llist *list, int offset, unsigned int flags) {
    if (list == nullptr || list->count < 2)
        return;
    const SortKey keys(offset, flags);
    const bool descend = (flags & LLIST_SORT_DESCEND) != 0;
    if (!sort_by_array(list, keys, descend))
        sort_by_links(list, keys, descend);
}

}  // extern "C"
