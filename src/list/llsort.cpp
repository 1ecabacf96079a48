// Lists: cloning and sorting by a string key inside the payload.
#include "core/internal.h"

#include <cctype>
#include <cstring>
#include <strings.h>

namespace {

// Sort order: keys are grouped by their first byte (upper-cased without
// case), ordered by strcmp or strcasecmp inside a group, and keys that
// compare equal come out in the reverse of their input order; descending is
// the exact reversal of all that.
class KeyOrder {
  public:
    KeyOrder(int offset, unsigned int flags)
        : offset_(offset), nocase_((flags & LLIST_SORT_NOCASE) != 0),
          descend_((flags & LLIST_SORT_DESCEND) != 0) {
        if (nocase_)
            for (int c = 0; c < 256; ++c)
                group_[c] = static_cast<unsigned char>(std::toupper(c));
    }

    const char *key(const llist_node *n) const { return static_cast<const char *>(n->data) + offset_; }

    // Whether key a, which came first, may stay in front of key b.
    // Ascending, an equal b must overtake a; descending, it must stay behind.
    bool keeps(const char *a, const char *b) const {
        int c = compare(a, b);
        return descend_ ? c >= 0 : c < 0;
    }

  private:
    int compare(const char *a, const char *b) const {
        if (!nocase_) {
            // Bytes compare unsigned, so first-byte groups come free. Most
            // keys differ at once: settle that without a call.
            int c = static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
            return c != 0 || *a == '\0' ? c : std::strcmp(a + 1, b + 1);
        }
        int ga = group_[static_cast<unsigned char>(*a)];
        int gb = group_[static_cast<unsigned char>(*b)];
        if (ga != gb)
            return ga - gb;
        return strcasecmp(a, b);
    }

    int offset_;
    bool nocase_;
    bool descend_;
    unsigned char group_[256] = {};
};

// A sorted piece of the list: linked both ways from head to tail, except
// that head->prev is not yet meaningful; tail->next is null.
struct Chain {
    llist_node *head;
    llist_node *tail;
};

// Merges two chains; every node of a came before those of b. Links are
// made both ways as nodes are taken, while they are in cache: on big lists
// the time goes into cache misses, so each key is looked up once and the
// node after the one taken is fetched early.
Chain merge(Chain a, Chain b, const KeyOrder &order) {
    llist_node head{};
    llist_node *tail = &head;
    Chain side[2] = {a, b};
    const char *key[2] = {order.key(a.head), order.key(b.head)};
    for (;;) {
        const int t = order.keeps(key[0], key[1]) ? 0 : 1;
        llist_node *n = side[t].head;
        tail->next = n;
        n->prev = tail;
        tail = n;
        side[t].head = n->next;
        if (side[t].head == nullptr) {
            tail->next = side[1 - t].head;
            side[1 - t].head->prev = tail;
            return Chain{head.next, side[1 - t].tail};
        }
        __builtin_prefetch(side[t].head->next);
        key[t] = order.key(side[t].head);
    }
}

// Bottom-up merge sort over the links, fed with the runs already in order:
// O(n log n) comparisons, O(n) on sorted input, no allocation.
// pending[i] holds a chain built from about 2^i runs, older ones higher up.
Chain merge_sort(llist_node *list, const KeyOrder &order) {
    Chain pending[64] = {};
    int used = 0;
    while (list != nullptr) {
        Chain run{list, list};
        while (run.tail->next != nullptr && order.keeps(order.key(run.tail), order.key(run.tail->next))) {
            run.tail->next->prev = run.tail;
            run.tail = run.tail->next;
        }
        list = run.tail->next;
        run.tail->next = nullptr;
        // A binary counter of runs: fewer than 2^63 runs never overflow it.
        int i = 0;
        for (; pending[i].head != nullptr; ++i) {
            run = merge(pending[i], run, order);
            pending[i] = Chain{};
        }
        pending[i] = run;
        used = i + 1 > used ? i + 1 : used;
    }
    Chain sorted{};
    for (int i = 0; i < used; ++i)
        if (pending[i].head != nullptr)
            sorted = sorted.head == nullptr ? pending[i] : merge(pending[i], sorted, order);
    return sorted;
}

}  // namespace

extern "C" {

// Appends to dst a copy of every node of src, in order: with share zero each
// copy owns a duplicate of an owned payload (and a referenced payload is not
// carried over); otherwise each copy references the source's payload.
// Returns 1 as soon as an allocation fails (traced by the insert; the copies
// made so far stay in dst), else 0.
int llist_clone(const llist *src, llist *dst, int share) {
    if (src == nullptr || src->count == 0)
        return 0;
    if (dst == nullptr)
        return 1;
    // Stop at the source's tail as it is now, so a list cloned onto
    // itself doubles instead of chasing its own copies.
    const llist_node *last = src->tail;
    for (const llist_node *n = src->head; n != nullptr; n = n->next) {
        llist_node *copy = llist_insert_a(dst, dst->tail, nullptr, share != 0 ? 0 : n->size);
        if (copy == nullptr)
            return 1;
        if (share != 0)
            copy->data = n->data;
        else if (n->size > 0 && n->data != nullptr)
            std::memcpy(copy->data, n->data, static_cast<size_t>(n->size));
        if (n == last)
            break;
    }
    return 0;
}

// Sorts the list in place by the NUL-terminated key at offset bytes into
// each payload. Only the links change: nodes and payloads stay where they
// are, and nothing is allocated.
void llist_strsort(llist *list, int offset, unsigned int flags) {
    if (list == nullptr || list->head == nullptr)
        return;
    const KeyOrder order(offset, flags);
    const Chain sorted = merge_sort(list->head, order);
    sorted.head->prev = nullptr;
    list->head = sorted.head;
    list->tail = sorted.tail;
}

}  // extern "C"
