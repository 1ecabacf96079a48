// Word tree: a character trie over a caller-given alphabet that maps words
// to 16-bit tokens. Every node with children owns a next array of siz_alpha
// child slots; the handle keeps the word, node, byte and full-node counts
// current at every allocation and release.
#include "core/internal.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint16_t not_in_alphabet = 256;
constexpr int label_max = 401;  // characters of a dump label, NUL not counted
constexpr int label_cut = 398;  // from here on a label element is replaced by "x"
constexpr int node_bytes = static_cast<int>(sizeof(wtree_node));

// Counts change by wrapping arithmetic: a tree beyond 2 GiB must not turn a
// running total into undefined behaviour.
void bump(int &count, int delta) {
    count = static_cast<int>(static_cast<uint32_t>(count) + static_cast<uint32_t>(delta));
}

unsigned char fold(const wtree *tree, char c) {
    auto b = static_cast<unsigned char>(c);
    return tree->nocase != 0 ? static_cast<unsigned char>(std::toupper(b) & 0xFF) : b;
}

// Alphabet position of a word byte, or not_in_alphabet.
unsigned position_of(const wtree *tree, char c) {
    return tree->char_idx[fold(tree, c)];
}

wtree_node *child_at(const wtree_node *node, unsigned pos) {
    return node->next != nullptr ? node->next[pos] : nullptr;
}

void release_next(wtree *tree, wtree_node *node) {
    std::free(node->next);
    node->next = nullptr;
    bump(tree->counts.full_cnt, -1);
    bump(tree->counts.byte_cnt, -tree->siz_next);
}

// A new, zeroed node, counted but not linked; null (and "OUT OF MEMORY")
// when the record cannot be allocated, the counts unchanged.
wtree_node *node_alloc(wtree *tree) {
    auto *node = static_cast<wtree_node *>(std::malloc(sizeof(wtree_node)));
    if (node == nullptr) {
        gnl_msglog("wtree.node_alloc: failed to malloc node %d (byte_cnt=%d)",
                   tree->counts.node_cnt, tree->counts.byte_cnt);
        kelp::set_usrmsg("OUT OF MEMORY");
        return nullptr;
    }
    *node = wtree_node{};
    bump(tree->counts.byte_cnt, node_bytes);
    bump(tree->counts.node_cnt, 1);
    return node;
}

// Unlinks one node whose slots are all empty and releases it.
void release_leaf(wtree *tree, wtree_node *node) {
    if (node->token != NOTOK)
        bump(tree->counts.word_cnt, -1);
    if (node->next != nullptr)
        release_next(tree, node);
    if (node->parent != nullptr)
        node->parent->next[node->index] = nullptr;  // the parent keeps its array
    std::free(node);
    bump(tree->counts.byte_cnt, -node_bytes);
    bump(tree->counts.node_cnt, -1);
}

// Releases node and everything below it, children before their parent and
// in slot order. Walks by the parent links, so a long word costs no stack.
void node_free(wtree *tree, wtree_node *node) {
    wtree_node *cur = node;
    unsigned from = 0;  // first slot of cur not yet visited
    for (;;) {
        wtree_node *child = nullptr;
        if (cur->next != nullptr) {
            for (unsigned p = from; p < static_cast<unsigned>(tree->siz_alpha); ++p) {
                if (cur->next[p] != nullptr) {
                    child = cur->next[p];
                    break;
                }
            }
        }
        if (child != nullptr) {
            cur = child;
            from = 0;
            continue;
        }
        wtree_node *up = cur->parent;
        unsigned slot = cur->index;
        bool last = cur == node;
        release_leaf(tree, cur);
        if (last)
            return;
        cur = up;
        from = slot + 1;
    }
}

int occupied_slots(const wtree *tree, const wtree_node *node) {
    if (node->next == nullptr)
        return 0;
    int n = 0;
    for (int p = 0; p < tree->siz_alpha; ++p)
        n += node->next[p] != nullptr;
    return n;
}

// Releases the tokenless chain that leads to no word, from node upwards.
// The root and the first-level nodes always stay.
void prune_subtree(wtree *tree, wtree_node *node) {
    if (node->parent == nullptr || node->parent == tree->root)
        return;
    wtree_node *cur = node;
    wtree_node *top = nullptr;
    // Climb while the node has no token and no child but the one we came
    // from; cur ends on the node that stops the climb.
    for (int expected = 0; cur->token == NOTOK && occupied_slots(tree, cur) == expected;
         expected = 1) {
        if (cur->parent->parent == tree->root) {
            node_free(tree, cur);
            return;
        }
        top = cur;
        cur = cur->parent;
    }
    if (top == nullptr)
        return;
    node_free(tree, top);
    // A word node that lost its last child needs no array any more. A node
    // that stopped the climb by its children still has one left.
    if (occupied_slots(tree, cur) == 0)
        release_next(tree, cur);
}

// Writes the word of node: the path is marked in dump_idx from the node up,
// then read from the root down.
void dump_word(const wtree *tree, wtree_node *node, FILE *stream) {
    for (wtree_node *n = node; n->parent != nullptr; n = n->parent)
        n->parent->dump_idx = n->index;
    for (wtree_node *n = tree->root; n != node; n = n->next[n->dump_idx]) {
        unsigned char c = tree->alphabet[n->dump_idx];
        if (c == '\0')
            std::fputs("<0>", stream);
        else
            std::fputc(c, stream);
    }
}

// Prints node and its subtree, depth first. position is where the node's
// element starts in label, which holds at most label_max characters.
void dump_subtree(const wtree *tree, wtree_node *node, int depth, int position, char *label,
                  FILE *stream) {
    int end = label_max;
    if (position >= label_cut) {
        // No room for another element: the label ends in "x"s. A label that
        // is already full is passed on unchanged.
        for (int i = position; i < label_max; ++i)
            label[i] = 'x';
        label[end] = '\0';
    } else {
        end = position +
              std::snprintf(label + position, label_max + 1 - position, "%d", node->index + 1);
    }
    std::fprintf(stream, "%d-%s ", depth, label);
    if (node->token != NOTOK) {
        std::fputc('(', stream);
        dump_word(tree, node, stream);
        std::fprintf(stream, ") = %d", node->token);
    } else {
        std::fputs("EMPTY", stream);
    }
    std::fprintf(stream, ", next=%s\n", node->next != nullptr ? "Y" : "N");
    if (node->next == nullptr)
        return;
    if (end < label_max) {
        label[end++] = '.';
        label[end] = '\0';
    }
    for (int p = 0; p < tree->siz_alpha; ++p)
        if (node->next[p] != nullptr)
            dump_subtree(tree, node->next[p], depth + 1, end, label, stream);
}

void discard(wtree *tree) {
    std::free(tree->alphabet);
    std::free(tree);
}

}  // namespace

extern "C" {

// Returns a tree holding no word, or null with "OUT OF MEMORY" or
// "APPLICATION ERROR" in gnl_usrmsg and nothing left allocated. A negative
// siz_alpha and an alphabet with a repeated (folded) byte are refused.
wtree *wtree_create(const char *alphabet, int siz_alpha, int nocase) {
    if (siz_alpha < 0) {
        gnl_msglog("wtree_create: invalid alphabet size %d", siz_alpha);
        kelp::set_usrmsg("APPLICATION ERROR");
        return nullptr;
    }
    auto *tree = static_cast<wtree *>(std::calloc(1, sizeof(wtree)));
    if (tree == nullptr) {
        gnl_msglog("wtree_create: failed to malloc tree handle (%d bytes)",
                   static_cast<int>(sizeof(wtree)));
        kelp::set_usrmsg("OUT OF MEMORY");
        return nullptr;
    }
    // More than 256 bytes always hold a repeat, found by position 256: the
    // copy never needs more room than that, however large siz_alpha is.
    const int copy_len = siz_alpha < 257 ? siz_alpha : 257;
    tree->alphabet = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(copy_len) + 1));
    if (tree->alphabet == nullptr) {
        gnl_msglog("wtree_create: failed to malloc alphabet (%d bytes)",
                   static_cast<int>(static_cast<uint32_t>(siz_alpha) + 1));
        kelp::set_usrmsg("OUT OF MEMORY");
        std::free(tree);
        return nullptr;
    }
    tree->siz_alpha = siz_alpha;
    tree->nocase = nocase;
    for (uint16_t &idx : tree->char_idx)
        idx = not_in_alphabet;
    // Copied and indexed in one pass, so an oversized alphabet is read only
    // up to its first repeat.
    for (int p = 0; p < siz_alpha; ++p) {
        unsigned char c = fold(tree, alphabet[p]);
        tree->alphabet[p] = c;
        if (tree->char_idx[c] != not_in_alphabet) {
            gnl_msglog("wtree_create: char %d of alphabet (0x%02X) is invalid", p, c);
            kelp::set_usrmsg("APPLICATION ERROR");
            discard(tree);
            return nullptr;
        }
        tree->char_idx[c] = static_cast<uint16_t>(p);
    }
    tree->alphabet[siz_alpha] = '\0';
    bump(tree->counts.byte_cnt, siz_alpha + 1);
    tree->siz_next = siz_alpha * static_cast<int>(sizeof(wtree_node *));
    tree->root = node_alloc(tree);
    if (tree->root == nullptr) {
        discard(tree);
        return nullptr;
    }
    return tree;
}

// Stores word with token, or replaces its token. Returns 0 when a next array
// was allocated, 1 when none was, -1 on failure: an illegal token or byte
// leaves the tree unchanged; a failed next array leaves this call's nodes in
// place without tokens; a failed node is pruned back. Tokens must lie within
// -32768 to 32767 and differ from NOTOK.
int wtree_add_word(wtree *tree, const char *word, int len, int token) {
    if (token == NOTOK) {
        gnl_msglog("wtree_add_word: illegal token (NOTOK)");
        kelp::set_usrmsg("APPLICATION ERROR");
        return -1;
    }
    if (token < INT16_MIN || token > INT16_MAX) {
        gnl_msglog("wtree_add_word: illegal token %d (not 16 bits)", token);
        kelp::set_usrmsg("APPLICATION ERROR");
        return -1;
    }
    wtree_node *cur = tree->root;
    bool grew = false;
    for (int i = 0; i < len; ++i) {
        if (position_of(tree, word[i]) == not_in_alphabet) {
            gnl_msglog("wtree_add_word: illegal char %d=(%d) (%s)", i,
                       static_cast<unsigned char>(word[i]), word);
            kelp::set_usrmsg("APPLICATION ERROR");
            return -1;
        }
    }
    for (int i = 0; i < len; ++i) {
        unsigned p = position_of(tree, word[i]);
        if (cur->next == nullptr) {
            auto **next = static_cast<wtree_node **>(
                std::calloc(static_cast<size_t>(tree->siz_alpha), sizeof(wtree_node *)));
            if (next == nullptr) {
                gnl_msglog("wtree_add_word: failed to malloc next array (byte_cnt=%d, siz_next=%d)",
                           tree->counts.byte_cnt, tree->siz_next);
                kelp::set_usrmsg("OUT OF MEMORY");
                return -1;
            }
            cur->next = next;
            bump(tree->counts.byte_cnt, tree->siz_next);
            bump(tree->counts.full_cnt, 1);
            grew = true;
        }
        wtree_node *child = cur->next[p];
        if (child == nullptr) {
            child = node_alloc(tree);
            if (child == nullptr) {
                prune_subtree(tree, cur);
                return -1;
            }
            child->index = static_cast<uint8_t>(p);
            child->parent = cur;
            cur->next[p] = child;
        }
        cur = child;
    }
    if (cur->token == NOTOK)
        bump(tree->counts.word_cnt, 1);
    cur->token = static_cast<int16_t>(token);
    return grew ? 0 : 1;
}

// Token of word, or NOTOK when it is not stored. Writes no message.
int wtree_find_word(const wtree *tree, const char *word, int len) {
    const wtree_node *cur = tree->root;
    for (int i = 0; i < len && cur != nullptr; ++i) {
        unsigned p = position_of(tree, word[i]);
        cur = p == not_in_alphabet ? nullptr : child_at(cur, p);
    }
    return cur != nullptr ? cur->token : NOTOK;
}

// Removes word and prunes what leads to no word any more. Returns 0, or -1
// without a message when the word is not stored.
int wtree_del_word(wtree *tree, const char *word, int len) {
    wtree_node *cur = tree->root;
    for (int i = 0; i < len && cur != nullptr; ++i) {
        unsigned p = position_of(tree, word[i]);
        cur = p == not_in_alphabet ? nullptr : child_at(cur, p);
    }
    if (cur == nullptr || cur->token == NOTOK)
        return -1;
    cur->token = NOTOK;
    bump(tree->counts.word_cnt, -1);
    prune_subtree(tree, cur);
    return 0;
}

// Releases the tree in whatever state the other operations left it.
void wtree_destroy(wtree *tree) {
    node_free(tree, tree->root);
    discard(tree);
}

// Adds (does not assign) the tree's counts to *counts, so one record can
// total several trees.
void wtree_stats(const wtree *tree, wtree_counts *counts) {
    bump(counts->word_cnt, tree->counts.word_cnt);
    bump(counts->node_cnt, tree->counts.node_cnt);
    bump(counts->byte_cnt, tree->counts.byte_cnt);
    bump(counts->full_cnt, tree->counts.full_cnt);
}

// Prints the counts and one line per node. Writes the nodes' dump_idx slots,
// so nothing else may use the tree meanwhile; write errors are ignored.
void wtree_dump(wtree *tree, FILE *stream) {
    std::fprintf(stream, "Alphabet is %d bytes\n", tree->siz_alpha);
    std::fprintf(stream, "%d words, %d nodes %d bytes, %d full nodes\n\n", tree->counts.word_cnt,
                 tree->counts.node_cnt, tree->counts.byte_cnt, tree->counts.full_cnt);
    const wtree_node *root = tree->root;
    if (root->token != NOTOK)
        std::fprintf(stream, "Root: token=%d", root->token);
    else
        std::fputs("Root: EMPTY", stream);
    std::fprintf(stream, ", next=%s\n", root->next != nullptr ? "Y" : "N");
    if (root->next == nullptr)
        return;
    char label[label_max + 1];
    for (int p = 0; p < tree->siz_alpha; ++p)
        if (root->next[p] != nullptr)
            dump_subtree(tree, root->next[p], 1, 0, label, stream);
}

}  // extern "C"
