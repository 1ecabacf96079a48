/* libkelp: word tree (a trie mapping words to 16-bit tokens). */
#ifndef KELP_WTREE_H
#define KELP_WTREE_H

#include <stdint.h>
#include <stdio.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

#define NOTOK 0

typedef struct wtree_counts {
    int word_cnt;
    int node_cnt;
    int byte_cnt;
    int full_cnt;
} wtree_counts;

typedef struct wtree_node {
    int16_t token;
    struct wtree_node *parent;
    uint8_t index;
    struct wtree_node **next;
    uint8_t dump_idx;
} wtree_node;

typedef struct wtree {
    unsigned char *alphabet;
    int siz_alpha;
    uint16_t char_idx[256];
    int siz_next;
    wtree_node *root;
    wtree_counts counts;
    int nocase;
} wtree;

KELP_API wtree *wtree_create(const char *alphabet, int siz_alpha, int nocase);
KELP_API int wtree_add_word(wtree *tree, const char *word, int len, int token);
KELP_API int wtree_find_word(const wtree *tree, const char *word, int len);
KELP_API int wtree_del_word(wtree *tree, const char *word, int len);
KELP_API void wtree_destroy(wtree *tree);
KELP_API void wtree_stats(const wtree *tree, wtree_counts *counts);
KELP_API void wtree_dump(wtree *tree, FILE *stream);

KELP_END_DECLS

#endif
