/* libkelp: doubly linked lists. */
#ifndef KELP_LLIST_H
#define KELP_LLIST_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

typedef struct llist_node {
    struct llist_node *next;
    struct llist_node *prev;
    void *data;
    int size;              /* non-zero: the node owns data */
} llist_node;

typedef struct llist {
    llist_node *head;
    llist_node *tail;
    int count;
} llist;                   /* all-zero is an empty list */

KELP_API llist_node *llist_insert_a(llist *list, llist_node *pos, llist_node *node, int size);
KELP_API llist_node *llist_insert_b(llist *list, llist_node *pos, llist_node *node, int size);
KELP_API void llist_extract(llist *list, llist_node *node);
KELP_API void llist_delete(llist *list, llist_node *node);
KELP_API void llist_clear(llist *list);
KELP_API llist_node *llist_fward(llist_node *node, unsigned int steps);
KELP_API llist_node *llist_bward(llist_node *node, unsigned int steps);
KELP_API int llist_rank(const llist *list, const llist_node *node);
KELP_API void llist_reverse(llist *list);
KELP_API int llist_concat(llist *dst, const llist *src);

KELP_API int llist_clone(const llist *src, llist *dst, int share);
#define LLIST_SORT_NOCASE  1
#define LLIST_SORT_DESCEND 2
KELP_API void llist_strsort(llist *list, int offset, unsigned int flags);

KELP_END_DECLS

#endif
