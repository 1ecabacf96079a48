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

    // Whether a, which came first, may stay in front of b. Ascending, an
    // equal b must overtake a; descending, it must stay behind.
    bool keeps(const llist_node *a, const llist_node *b) const {
        int c = compare(key(a), key(b));
        return descend_ ? c >= 0 : c < 0;
    }

  private:
    const char *key(const llist_node *n) const { return static_cast<const char *>(n->data) + offset_; }

    int compare(const char *a, const char *b) const {
        if (!nocase_)
            return std::strcmp(a, b);  // bytes compare unsigned: first-byte groups come free
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

// Merges two null-terminated chains; every node of a came before those of b.
llist_node *merge(llist_node *a, llist_node *b, const KeyOrder &order) {
    llist_node head{};
    llist_node *tail = &head;
    while (a != nullptr && b != nullptr) {
        llist_node **from = order.keeps(a, b) ? &a : &b;
        tail->next = *from;
        tail = *from;
        *from = (*from)->next;
    }
    tail->next = a != nullptr ? a : b;
    return head.next;
}

// Bottom-up merge sort over the next links, fed with the runs already in
// order: O(n log n) comparisons, O(n) on sorted input, no allocation.
// pending[i] holds a chain built from about 2^i runs, older ones higher up.
llist_node *merge_sort(llist_node *list, const KeyOrder &order) {
    llist_node *pending[64] = {};
    int used = 0;
    while (list != nullptr) {
        llist_node *run = list;
        llist_node *last = run;
        while (last->next != nullptr && order.keeps(last, last->next))
            last = last->next;
        list = last->next;
        last->next = nullptr;
        // A binary counter of runs: fewer than 2^63 runs never overflow it.
        int i = 0;
        for (; pending[i] != nullptr; ++i) {
            run = merge(pending[i], run, order);
            pending[i] = nullptr;
        }
        pending[i] = run;
        used = i + 1 > used ? i + 1 : used;
    }
    llist_node *sorted = nullptr;
    for (int i = 0; i < used; ++i)
        if (pending[i] != nullptr)
            sorted = sorted == nullptr ? pending[i] : merge(pending[i], sorted, order);
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
    llist_node *sorted = merge_sort(list->head, order);
    llist_node *prev = nullptr;
    for (llist_node *n = sorted; n != nullptr; n = n->next) {
        n->prev = prev;
        prev = n;
    }
    list->head = sorted;
    list->tail = prev;
}

}  // extern "C"
