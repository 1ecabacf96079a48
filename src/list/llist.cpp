// Doubly linked lists: linking, unlinking, walking and cloning.
//
// Every operation keeps the header's invariants: head->prev and tail->next
// are null, count nodes lie between head and tail both ways. A null header
// reads as an empty list: nothing is linked into it and nothing is written.
#include "core/internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// Links n between prev and next (either may be null: the list's end).
void link(llist *list, llist_node *prev, llist_node *next, llist_node *n) {
    n->prev = prev;
    n->next = next;
    if (prev != nullptr)
        prev->next = n;
    else
        list->head = n;
    if (next != nullptr)
        next->prev = n;
    else
        list->tail = n;
    ++list->count;
}

// Takes n out of the list; n keeps its own links so a walk can go on from it.
void unlink(llist *list, llist_node *n) {
    if (list->head == n)
        list->head = n->next;
    else
        n->prev->next = n->next;
    if (list->tail == n)
        list->tail = n->prev;
    else
        n->next->prev = n->prev;
    --list->count;
}

// The caller's node, made free-standing, or a new one with a zeroed payload
// of size bytes. Null after an allocation failure, which only the trace hears
// of; nothing is left allocated then.
llist_node *node_alloc(llist_node *node, int size) {
    if (node != nullptr) {
        node->next = nullptr;
        node->prev = nullptr;
        return node;
    }
    node = static_cast<llist_node *>(std::malloc(sizeof(llist_node)));
    if (node == nullptr) {
        gnl_msglog("llist.node_alloc.1: malloc(%d) failed", static_cast<int>(sizeof(llist_node)));
        return nullptr;
    }
    *node = llist_node{nullptr, nullptr, nullptr, size};
    if (size == 0)
        return node;
    // A negative size could never be satisfied; refuse it like the allocator
    // would, without asking for an absurd amount.
    void *data = size > 0 ? std::calloc(1, static_cast<size_t>(size)) : nullptr;
    if (data == nullptr) {
        gnl_msglog("llist.node_alloc.2: malloc(%d) failed", size);
        std::free(node);
        return nullptr;
    }
    node->data = data;
    return node;
}

void node_free(llist_node *node) {
    if (node->size != 0)
        std::free(node->data);
    std::free(node);
}

}  // namespace

extern "C" {

// Links node (or a new one with a zeroed payload of size bytes) right after
// pos, or at the head when pos is null. Returns the linked node; null when an
// allocation failed (traced, list unchanged) or list is null.
llist_node *llist_insert_a(llist *list, llist_node *pos, llist_node *node, int size) {
    if (list == nullptr)
        return nullptr;
    node = node_alloc(node, size);
    if (node == nullptr)
        return nullptr;
    link(list, pos, pos != nullptr ? pos->next : list->head, node);
    return node;
}

// As llist_insert_a, but before pos, or at the tail when pos is null.
llist_node *llist_insert_b(llist *list, llist_node *pos, llist_node *node, int size) {
    if (list == nullptr)
        return nullptr;
    node = node_alloc(node, size);
    if (node == nullptr)
        return nullptr;
    link(list, pos != nullptr ? pos->prev : list->tail, pos, node);
    return node;
}

// Unlinks node without freeing anything; its next and prev stay as they were.
void llist_extract(llist *list, llist_node *node) {
    if (list != nullptr && node != nullptr)
        unlink(list, node);
}

// Unlinks node and frees it, with its payload when the node owns one.
void llist_delete(llist *list, llist_node *node) {
    if (list == nullptr || node == nullptr)
        return;
    unlink(list, node);
    node_free(node);
}

// Deletes every node, then leaves the header all zero.
void llist_clear(llist *list) {
    if (list == nullptr)
        return;
    while (list->count > 0 && list->head != nullptr)
        llist_delete(list, list->head);
    *list = llist{};
}

llist_node *llist_fward(llist_node *node, unsigned int steps) {
    for (; node != nullptr && steps > 0; --steps)
        node = node->next;
    return node;
}

llist_node *llist_bward(llist_node *node, unsigned int steps) {
    for (; node != nullptr && steps > 0; --steps)
        node = node->prev;
    return node;
}

// Position of node counted from the head, or -1 when it is not in the list.
int llist_rank(const llist *list, const llist_node *node) {
    if (list == nullptr || node == nullptr)
        return -1;
    int rank = 0;
    for (const llist_node *n = list->head; n != nullptr; n = n->next, ++rank)
        if (n == node)
            return rank;
    return -1;
}

void llist_reverse(llist *list) {
    if (list == nullptr)
        return;
    for (llist_node *n = list->head; n != nullptr; n = n->prev) {  // prev is the old next
        llist_node *next = n->next;
        n->next = n->prev;
        n->prev = next;
    }
    llist_node *head = list->head;
    list->head = list->tail;
    list->tail = head;
}

// Moves all nodes of src behind those of dst in constant time and returns
// dst's new count. src is left as it was and still names the moved nodes:
// the caller must zero it before using it as a list again.
int llist_concat(llist *dst, const llist *src) {
    if (dst == nullptr)
        return 0;
    if (src == nullptr || src->count == 0)
        return dst->count;
    llist_node *old_tail = dst->tail;
    src->head->prev = old_tail;
    dst->tail = src->tail;
    if (old_tail != nullptr)
        old_tail->next = src->head;
    else
        dst->head = src->head;
    dst->count += src->count;
    return dst->count;
}

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

}  // extern "C"
