/**
 * @file kelp/llist.h
 * @brief Doubly linked lists.
 */
#ifndef KELP_LLIST_H
#define KELP_LLIST_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_llist Lists
 * @brief A doubly linked list with owned or referenced payloads.
 *
 * The caller owns the header; an all-zero ::llist is an empty list. A node
 * with a non-zero llist_node::size owns its payload (freed with the node);
 * with size 0 its data is a caller pointer the list never frees. Nodes
 * that the list frees must come from `malloc`. No function checks that a
 * node belongs to the list it is given. A NULL header reads as an empty
 * list: nothing is linked into it (the inserts return NULL, llist_clone()
 * into it returns 1) and nothing is written through it.
 * The functions write no ::gnl_usrmsg; allocation failures go to the trace.
 * No locking: one thread at a time per list, any number of lists in
 * parallel.
 * @{
 */

/** @brief One element of a list. */
typedef struct llist_node {
    struct llist_node *next; /**< following node, NULL at the tail */
    struct llist_node *prev; /**< preceding node, NULL at the head */
    void *data;              /**< the payload */
    int size;                /**< payload size; non-zero: the node owns data */
} llist_node;

/** @brief A list header; all-zero is an empty list. */
typedef struct llist {
    llist_node *head;        /**< first node, NULL when empty */
    llist_node *tail;        /**< last node, NULL when empty */
    int count;               /**< number of nodes */
} llist;

/**
 * @brief Links a node after @p pos, or at the head when @p pos is NULL.
 *
 * Without @p node, allocates one with a zeroed payload of @p size bytes
 * (none for 0). An allocation failure is traced ("llist.node_alloc.1:
 * malloc(%d) failed" or "llist.node_alloc.2: malloc(%d) failed") and
 * leaves the list unchanged.
 *
 * @param list the list
 * @param pos  node of the list to insert after, or NULL
 * @param node an unlinked node to link (its data and size are kept), or NULL
 * @param size payload size of a new node (ignored with @p node)
 * @return the linked node, or NULL on allocation failure
 */
KELP_API llist_node *llist_insert_a(llist *list, llist_node *pos, llist_node *node, int size);
/**
 * @brief Links a node before @p pos, or at the tail when @p pos is NULL.
 *
 * As llist_insert_a() otherwise.
 *
 * @param list the list
 * @param pos  node of the list to insert before, or NULL to append
 * @param node an unlinked node to link, or NULL to allocate one
 * @param size payload size of a new node (ignored with @p node)
 * @return the linked node, or NULL on allocation failure
 */
KELP_API llist_node *llist_insert_b(llist *list, llist_node *pos, llist_node *node, int size);
/**
 * @brief Unlinks @p node without freeing anything.
 *
 * The node keeps its own next and prev, so a walk may go on from it; it
 * now belongs to the caller.
 *
 * @param list the list
 * @param node a node of it
 */
KELP_API void llist_extract(llist *list, llist_node *node);
/**
 * @brief Unlinks and frees @p node, and its payload when it owns one.
 * @param list the list
 * @param node a node of it
 */
KELP_API void llist_delete(llist *list, llist_node *node);
/**
 * @brief Frees every node (and owned payload) and zeroes the header.
 * @param list the list
 */
KELP_API void llist_clear(llist *list);
/**
 * @brief The node @p steps places after @p node.
 * @param node  start node, or NULL
 * @param steps steps along next
 * @return the node reached; @p node for 0 steps; NULL past the tail
 */
KELP_API llist_node *llist_fward(llist_node *node, unsigned int steps);
/**
 * @brief The node @p steps places before @p node.
 * @param node  start node, or NULL
 * @param steps steps along prev
 * @return the node reached; @p node for 0 steps; NULL past the head
 */
KELP_API llist_node *llist_bward(llist_node *node, unsigned int steps);
/**
 * @brief Position of @p node, counted from 0 at the head.
 * @param list the list
 * @param node the node looked for
 * @return its position, or -1 when it is not in the list (or NULL)
 */
KELP_API int llist_rank(const llist *list, const llist_node *node);
/**
 * @brief Reverses the list in place; nothing is allocated or freed.
 * @param list the list
 */
KELP_API void llist_reverse(llist *list);
/**
 * @brief Moves all nodes of @p src to the end of @p dst, in constant time.
 *
 * @p src is not changed and still names nodes that now belong to @p dst:
 * zero it before using it again, and never clear it. @p src must not be
 * @p dst.
 *
 * @param dst destination list
 * @param src source list
 * @return the new count of @p dst
 */
KELP_API int llist_concat(llist *dst, const llist *src);

/**
 * @brief Appends to @p dst one new node per node of @p src, in order.
 *
 * With @p share 0 each copy owns a copy of the payload (a size-0 source
 * node gives a size-0 copy with NULL data). With @p share non-zero each
 * copy has size 0 and refers to the source payload: @p src must then
 * outlive the copies. An allocation failure is traced by the insert
 * function; no ::gnl_usrmsg.
 *
 * @param src   source list
 * @param dst   destination list, not @p src
 * @param share non-zero to share payloads instead of copying them
 * @return 0 on success, 1 when a node could not be allocated (the nodes
 *         copied so far stay in @p dst)
 */
KELP_API int llist_clone(const llist *src, llist *dst, int share);
/** @brief llist_strsort() flag: compare keys without regard to case. */
#define LLIST_SORT_NOCASE  1
/** @brief llist_strsort() flag: leave the list in descending order. */
#define LLIST_SORT_DESCEND 2
/**
 * @brief Sorts the list in place by a string key inside each payload.
 *
 * Buckets by first key byte (upper-cased with ::LLIST_SORT_NOCASE), each
 * kept in order by `strcmp` or `strcasecmp` (the current locale's case).
 * Equal keys end in the reverse of their input order (in input order with
 * ::LLIST_SORT_DESCEND). Nodes are relinked, so pointers to nodes and
 * payloads stay valid. Borrows one block of 32 bytes per node and frees it
 * before returning; without it, sorts over the links alone, more slowly,
 * to the same order. Cannot fail.
 *
 * @param list   the list; every payload holds a NUL-terminated key at @p offset
 * @param offset key offset in bytes from the start of each payload
 * @param flags  0, ::LLIST_SORT_NOCASE, ::LLIST_SORT_DESCEND or both
 */
KELP_API void llist_strsort(llist *list, int offset, unsigned int flags);

/** @} */

KELP_END_DECLS

#endif
