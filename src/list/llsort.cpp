// Lists: sorting by a string key inside the payload.
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

// Splits the list by key byte before merging: on a big list the merge
// waits on memory at every level, while one pass that deals nodes into 256
// buckets leaves pieces that sort in cache. Pieces keep their input order,
// so ties come out as the merge would leave them.
constexpr size_t merge_at_most = 1024;

// A piece of the list linked both ways (head->prev aside), with its size.
struct Piece {
    llist_node *head = nullptr;
    llist_node *tail = nullptr;
    size_t count = 0;
};

Chain join(Chain a, Chain b) {
    if (a.head == nullptr)
        return b;
    if (b.head != nullptr) {
        a.tail->next = b.head;
        b.head->prev = a.tail;
        a.tail = b.tail;
    }
    return a;
}

class Splitter {
  public:
    Splitter(const KeyOrder &order, unsigned int flags)
        : order_(order), nocase_((flags & LLIST_SORT_NOCASE) != 0),
          descend_((flags & LLIST_SORT_DESCEND) != 0) {}

    // Sorts piece, whose keys agree before depth. At the first level
    // (group) without case the bucket is the upper-case byte, as the order
    // groups keys; deeper it is the lower-case byte, as strcasecmp compares.
    Chain sort(Piece piece, size_t depth, bool group) {
        Chain before{}, after{};
        for (;;) {
            if (piece.count <= merge_at_most)
                return join(join(before, merge_sort(piece.head, order_)), after);
            Piece bucket[256];
            const size_t common = deal(piece, depth, group, bucket);
            // The biggest bucket goes on in this loop, the others now: each
            // of them holds at most half, so the recursion stays shallow.
            unsigned big = 0;
            for (unsigned b = 1; b < 256; ++b)
                big = bucket[b].count > bucket[big].count ? b : big;
            if (big == 0 || bucket[big].count <= merge_at_most)
                big = 256;  // nothing big left: every bucket is finished here
            Chain rest{};
            for (unsigned i = 0; i < 256; ++i) {
                const unsigned b = descend_ ? 255 - i : i;
                if (b == big || bucket[b].head == nullptr)
                    continue;
                bucket[b].tail->next = nullptr;
                Chain done = b == 0 ? Chain{bucket[b].head, bucket[b].tail}
                                    : sort(bucket[b], next_depth(depth, group, 1), false);
                if (big != 256 && (descend_ ? b < big : b > big))
                    rest = join(rest, done);
                else
                    before = join(before, done);
            }
            after = join(rest, after);
            if (big == 256)
                return join(before, after);
            // When every key went to the one bucket, the bytes that all keys
            // share from here on are stepped over at once.
            const bool alone = bucket[big].count == piece.count;
            piece = bucket[big];
            piece.tail->next = nullptr;
            depth = next_depth(depth, group, alone && !group ? common : 1);
            group = false;
        }
    }

  private:
    size_t next_depth(size_t depth, bool group, size_t step) {
        if (!group)
            return depth + step;
        if (!nocase_)
            return depth + 1;
        // Keys of one upper-case group share their first lower-case byte,
        // unless the locale maps two bytes to one upper-case byte but to
        // different lower-case ones; then that byte sorts them first.
        if (groups_share_lower_ < 0) {
            groups_share_lower_ = 1;
            for (unsigned c = 0; c < 256; ++c) {
                auto upper = static_cast<unsigned char>(cases_.upper(static_cast<unsigned char>(c)));
                if (cases_.lower(static_cast<unsigned char>(c)) != cases_.lower(upper))
                    groups_share_lower_ = 0;
            }
        }
        return depth + static_cast<size_t>(groups_share_lower_);
    }

    unsigned byte_at(const char *key, bool group) const {
        auto b = static_cast<unsigned char>(*key);
        if (!nocase_)
            return b;
        return static_cast<unsigned>((group ? cases_.upper(b) : cases_.lower(b)) & 0xFF);
    }

    // Deals the nodes of piece into buckets by their byte at depth: in input
    // order, except that keys which end there are all equal and go in the
    // order that ties take. Returns how many bytes from depth on every key
    // shares with the first one (0 at the group level).
    size_t deal(const Piece &piece, size_t depth, bool group, Piece *bucket) {
        const char *first = order_.key(piece.head) + depth;
        size_t common = group ? 0 : SIZE_MAX;
        for (llist_node *n = piece.head, *next; n != nullptr; n = next) {
            next = n->next;
            const char *key = order_.key(n) + depth;
            size_t same = 0;
            while (same < common && key[same] != '\0' &&
                   byte_at(key + same, false) == byte_at(first + same, false))
                ++same;
            common = same;
            Piece &b = bucket[byte_at(key, group)];
            if (b.head == nullptr) {
                b.head = b.tail = n;
            } else if (&b == &bucket[0] && !descend_) {
                n->next = b.head;  // ascending, later ties go first
                b.head->prev = n;
                b.head = n;
            } else {
                b.tail->next = n;
                n->prev = b.tail;
                b.tail = n;
            }
            ++b.count;
        }
        return common;
    }

    const KeyOrder &order_;
    bool nocase_;
    bool descend_;
    kelp::CaseTables cases_;
    int groups_share_lower_ = -1;  // not yet known
};

}  // namespace

extern "C" {

// Sorts the list in place by the NUL-terminated key at offset bytes into
// each payload. Only the links change: nodes and payloads stay where they
// are, and nothing is allocated.
void llist_strsort(llist *list, int offset, unsigned int flags) {
    if (list == nullptr || list->head == nullptr)
        return;
    const KeyOrder order(offset, flags);
    Piece all{list->head, list->tail, static_cast<size_t>(list->count)};
    all.tail->next = nullptr;
    const Chain sorted = Splitter(order, flags).sort(all, 0, true);
    sorted.head->prev = nullptr;
    list->head = sorted.head;
    list->tail = sorted.tail;
}

}  // extern "C"
