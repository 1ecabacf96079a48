/**
 * @file kelp/wtree.h
 * @brief Word tree: a trie mapping words to 16-bit tokens.
 */
#ifndef KELP_WTREE_H
#define KELP_WTREE_H

#include <stdint.h>
#include <stdio.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_wtree Word tree
 * @brief A character trie over a fixed alphabet, mapping words to tokens.
 *
 * Words are bytes given as a pointer and a length (0 or less: the empty
 * word, stored in the root). With case folding every alphabet and word
 * byte is taken through `toupper`. Tokens are non-zero 16-bit values,
 * passed as `int`. Failures leave "OUT OF MEMORY" or "APPLICATION ERROR"
 * in ::gnl_usrmsg and the detail in the trace. A tree has no lock: the
 * caller keeps operations on one tree from overlapping (lookups alone may
 * run side by side); any number of trees may be used in parallel.
 * @{
 */

/** @brief The token of no word: a node with it ends no word. */
#define NOTOK 0

/** @brief Counts of a tree, kept up to date by every operation. */
typedef struct wtree_counts {
    int word_cnt;            /**< stored words */
    int node_cnt;            /**< nodes, the root included */
    int byte_cnt;            /**< bytes held outside the handle */
    int full_cnt;            /**< nodes that own a next array */
} wtree_counts;

/** @brief One node: the end of a prefix of stored words. */
typedef struct wtree_node {
    int16_t token;           /**< token of the word ending here, or ::NOTOK */
    struct wtree_node *parent; /**< parent node, NULL for the root */
    uint8_t index;           /**< slot in the parent's next array */
    struct wtree_node **next; /**< one child slot per alphabet character, or NULL */
    uint8_t dump_idx;        /**< scratch of wtree_dump() */
} wtree_node;

/** @brief A word tree handle, from wtree_create(). */
typedef struct wtree {
    unsigned char *alphabet; /**< the tree's copy of the alphabet (folded), NUL after it */
    int siz_alpha;           /**< number of alphabet characters, 0 to 256 */
    uint16_t char_idx[256];  /**< alphabet position of each byte, 256 when absent */
    int siz_next;            /**< bytes of one next array */
    wtree_node *root;        /**< node of the empty word */
    wtree_counts counts;     /**< the counts */
    int nocase;              /**< non-zero: case folding */
} wtree;

/**
 * @brief Creates an empty tree over @p alphabet.
 *
 * Failures (each also traced with its detail, and nothing left allocated):
 * "OUT OF MEMORY" when an allocation fails; "APPLICATION ERROR" when a
 * character repeats an earlier one (after folding), traced as
 * "wtree_create: char %d of alphabet (0x%02X) is invalid", or when
 * @p siz_alpha is negative.
 *
 * @param alphabet  the alphabet's bytes, any values, NUL included; read only
 *                  during the call
 * @param siz_alpha number of alphabet bytes, 0 to 256
 * @param nocase    non-zero to fold case
 * @return the tree (release it with wtree_destroy()), or NULL on failure
 */
KELP_API wtree *wtree_create(const char *alphabet, int siz_alpha, int nocase);
/**
 * @brief Stores @p word with @p token, or replaces the token of a stored word.
 *
 * Failures, with the trace detail: a token of ::NOTOK ("APPLICATION
 * ERROR", "wtree_add_word: illegal token (NOTOK)"); a character outside
 * the alphabet ("APPLICATION ERROR", "wtree_add_word: illegal char
 * %d=(%d) (%.*s)", the word printed to its length), both leaving the tree
 * unchanged; an allocation failure ("OUT OF MEMORY"), which may leave
 * token-less nodes behind.
 *
 * @param tree  the tree
 * @param word  the word's bytes (no NUL needed)
 * @param len   bytes of the word; 0 or less for the empty word
 * @param token the token, -32768 to 32767, not ::NOTOK
 * @return 0 when a node got a next array during the call, 1 when none
 *         did, -1 on failure
 */
KELP_API int wtree_add_word(wtree *tree, const char *word, int len, int token);
/**
 * @brief The token of @p word.
 *
 * No failure, no message; changes nothing.
 *
 * @param tree the tree
 * @param word the word's bytes (no NUL needed)
 * @param len  bytes of the word; 0 or less for the empty word
 * @return the token, or ::NOTOK when the word is not stored
 */
KELP_API int wtree_find_word(const wtree *tree, const char *word, int len);
/**
 * @brief Removes @p word, releasing nodes that lead to no other word.
 *
 * The root and the nodes right below it are never released. No message.
 *
 * @param tree the tree
 * @param word the word's bytes (no NUL needed)
 * @param len  bytes of the word; 0 or less for the empty word
 * @return 0 when the word was stored and is removed, -1 when it was not
 */
KELP_API int wtree_del_word(wtree *tree, const char *word, int len);
/**
 * @brief Releases the tree with all its nodes; the handle is invalid afterwards.
 * @param tree a tree from wtree_create(), in any state other calls left it
 */
KELP_API void wtree_destroy(wtree *tree);
/**
 * @brief Adds the tree's four counts to those of @p counts.
 *
 * It adds, not assigns: zero the record for one tree, or reuse it to total
 * several trees. Reads the tree only.
 *
 * @param tree   the tree
 * @param counts the record to add to
 */
KELP_API void wtree_stats(const wtree *tree, wtree_counts *counts);
/**
 * @brief Prints the tree to @p stream, one line per node, for inspection.
 *
 * "Alphabet is %d bytes", the counts, the root line, then depth first
 * each node as "depth-label (word) = token, next=Y|N" (or "EMPTY" for a
 * node without token). Write errors are ignored. Writes the nodes'
 * dump_idx: nothing else may use the tree meanwhile.
 *
 * @param tree   the tree
 * @param stream an open stream
 */
KELP_API void wtree_dump(wtree *tree, FILE *stream);

/** @} */

KELP_END_DECLS

#endif
