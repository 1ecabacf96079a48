// Word tree: a character trie over a caller-given alphabet that maps words
// to 16-bit tokens. Every node with children owns a next array of siz_alpha
// child slots; the handle keeps the word, node, byte and full-node counts
// current at every allocation and release.
//
// Nodes live in the tree's own arena (arena.h). A node without a next array sits in
// a leaf block of one node record; a node with one sits in a full block,
// the array right behind the record, so that a lookup finds a slot from the
// node's address and does not wait for the next pointer first. The root's
// block is full from the start. Any other node moves into a full block when
// it gets its first child (only its parent's slot points to it), and back
// into a leaf block when pruning takes its array away and a free leaf block
// is at hand.
#include "core/internal.h"
#include "wtree/arena.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint16_t not_in_alphabet = 256;
constexpr int label_max = 401;  // characters of a dump label, NUL not counted
constexpr int label_cut = 398;  // from here on a label element is replaced by "x"
constexpr int node_bytes = static_cast<int>(sizeof(wtree_node));

using kelp::wtree_memory::Arena;

// The handle the caller sees is the front of this one.
struct Tree : wtree {
    explicit Tree(size_t full_bytes) : wtree{}, arena(full_bytes) {}
    Arena arena;
};

Tree &own(wtree *tree) {
    return static_cast<Tree &>(*tree);
}

// Counts change by wrapping arithmetic: a tree beyond 2 GiB must not turn a
// running total into undefined behaviour.
void bump(int &count, int delta) {
    count = static_cast<int>(static_cast<uint32_t>(count) + static_cast<uint32_t>(delta));
}

wtree_node **slots_behind(wtree_node *node) {
    return reinterpret_cast<wtree_node **>(node + 1);
}

// The node moved to block, with the link that pointed to it.
wtree_node *relocate(wtree_node *node, void *block) {
    auto *moved = new (block) wtree_node(*node);
    if (moved->parent != nullptr)
        moved->parent->next[moved->index] = moved;
    return moved;
}

// Gives node an empty next array, which moves it into a full block unless
// it is the root. Returns the node where it now is, or null when no block
// could be had.
wtree_node *give_next(Tree &tree, wtree_node *node) {
    Arena::Block block{nullptr, false};
    if (node->parent != nullptr) {
        block = tree.arena.take(true);
        if (block.at == nullptr)
            return nullptr;
        wtree_node *leaf = node;
        node = relocate(leaf, block.at);
        tree.arena.give(leaf, false);
    }
    if (!block.zero)
        std::memset(slots_behind(node), 0,
                    static_cast<size_t>(tree.siz_alpha) * sizeof(wtree_node *));
    node->next = slots_behind(node);
    bump(tree.counts.byte_cnt, tree.siz_next);
    bump(tree.counts.full_cnt, 1);
    return node;
}

// Takes away the empty next array of node (below the first level) and moves
// the node into a free leaf block, which the pruned chain has just given
// back as a rule: pruning must not fail, so it takes nothing new. Without
// one the node stays where it is, its slots all empty.
void release_next(Tree &tree, wtree_node *node) {
    node->next = nullptr;
    bump(tree.counts.full_cnt, -1);
    bump(tree.counts.byte_cnt, -tree.siz_next);
    if (void *block = tree.arena.take_free_leaf()) {
        wtree_node *full = node;
        relocate(full, block);
        tree.arena.give(full, true);
    }
}

unsigned char fold(const wtree *tree, const kelp::CaseTables &cases, char c) {
    auto b = static_cast<unsigned char>(c);
    return tree->nocase != 0 ? static_cast<unsigned char>(cases.upper(b) & 0xFF) : b;
}

// A new, zeroed node, counted but not linked, in a leaf block or (full) in
// a full block whose array is not yet cleared; null (and "OUT OF MEMORY")
// when no block can be had, the counts unchanged.
wtree_node *node_alloc(Tree &tree, bool full = false) {
    void *block = tree.arena.take(full).at;
    if (block == nullptr) {
        gnl_msglog("wtree.node_alloc: failed to malloc node %d (byte_cnt=%d)", tree.counts.node_cnt,
                   tree.counts.byte_cnt);
        kelp::set_usrmsg("OUT OF MEMORY");
        return nullptr;
    }
    auto *node = new (block) wtree_node{};
    bump(tree.counts.byte_cnt, node_bytes);
    bump(tree.counts.node_cnt, 1);
    return node;
}

// Unlinks one node whose slots are all empty and releases it.
void release_leaf(Tree &tree, wtree_node *node) {
    if (node->token != NOTOK)
        bump(tree.counts.word_cnt, -1);
    const bool full = node->next != nullptr;
    if (full) {
        bump(tree.counts.full_cnt, -1);
        bump(tree.counts.byte_cnt, -tree.siz_next);
    }
    if (node->parent != nullptr)
        node->parent->next[node->index] = nullptr;  // the parent keeps its array
    tree.arena.give(node, full);
    bump(tree.counts.byte_cnt, -node_bytes);
    bump(tree.counts.node_cnt, -1);
}

// First child of node in a slot at or after from, or null.
wtree_node *child_from(const wtree *tree, const wtree_node *node, unsigned from) {
    if (node->next == nullptr)
        return nullptr;
    for (unsigned p = from; p < static_cast<unsigned>(tree->siz_alpha); ++p)
        if (node->next[p] != nullptr)
            return node->next[p];
    return nullptr;
}

// Releases node and everything below it, children before their parent and
// in slot order (a released child's slot is empty, so the scan for the next
// one starts over). Walks by the parent links, so a long word costs no
// stack.
void node_free(Tree &tree, wtree_node *node) {
    for (wtree_node *cur = node;;) {
        if (wtree_node *child = child_from(&tree, cur, 0)) {
            cur = child;
            continue;
        }
        wtree_node *up = cur->parent;
        const bool last = cur == node;
        release_leaf(tree, cur);
        if (last)
            return;
        cur = up;
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
void prune_subtree(Tree &tree, wtree_node *node) {
    if (node->parent == nullptr || node->parent == tree.root)
        return;
    wtree_node *cur = node;
    wtree_node *top = nullptr;
    // Climb while the node has no token and no child but the one we came
    // from; cur ends on the node that stops the climb.
    for (int expected = 0; cur->token == NOTOK && occupied_slots(&tree, cur) == expected;
         expected = 1) {
        if (cur->parent->parent == tree.root) {
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
    if (occupied_slots(&tree, cur) == 0)
        release_next(tree, cur);
}

// The node of word, or null. Fold tells whether bytes go through toupper.
// The slot is addressed from the node itself: its load need not wait for
// the next pointer, which only confirms that the array is there.
template <bool Fold>
wtree_node *word_node(const wtree *tree, const char *word, int len) {
    const kelp::CaseTables cases;
    wtree_node *cur = tree->root;
    for (int i = 0; i < len; ++i) {
        auto b = static_cast<unsigned char>(word[i]);
        unsigned p = tree->char_idx[Fold ? cases.upper(b) & 0xFF : b];
        if (p == not_in_alphabet || cur->next == nullptr)
            return nullptr;
        cur = slots_behind(cur)[p];
        if (cur == nullptr)
            return nullptr;
    }
    return cur;
}

wtree_node *find_node(const wtree *tree, const char *word, int len) {
    return tree->nocase != 0 ? word_node<true>(tree, word, len) : word_node<false>(tree, word, len);
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

// Writes node's element into label at position and prints its line;
// returns where its children's elements start.
int dump_line(const wtree *tree, wtree_node *node, int depth, int position, char *label,
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
    if (node->next != nullptr && end < label_max) {
        label[end++] = '.';
        label[end] = '\0';
    }
    return end;
}

// Prints every node below the root, depth first in slot order, walking by
// the parent links so that a long word costs no stack. Every element takes
// at least two characters, so from depth max_depth on each one starts at
// label_max.
void dump_nodes(const wtree *tree, FILE *stream) {
    constexpr int max_depth = label_max / 2 + 2;
    char label[label_max + 1];
    int start[max_depth + 1];
    start[1] = 0;
    wtree_node *node = child_from(tree, tree->root, 0);
    int depth = 1;
    while (node != nullptr) {
        int position = depth <= max_depth ? start[depth] : label_max;
        int end = dump_line(tree, node, depth, position, label, stream);
        if (wtree_node *child = child_from(tree, node, 0)) {
            node = child;
            if (++depth <= max_depth)
                start[depth] = end;
            continue;
        }
        // The next sibling of the node or of its nearest ancestor that has one.
        for (; node != nullptr; --depth) {
            wtree_node *parent = node->parent;
            wtree_node *sibling = child_from(tree, parent, node->index + 1u);
            node = sibling != nullptr ? sibling : parent == tree->root ? nullptr : parent;
            if (sibling != nullptr)
                break;
        }
    }
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
    void *handle = std::calloc(1, sizeof(Tree));
    if (handle == nullptr) {
        // The handle record is the caller's wtree; the arena rides behind it.
        gnl_msglog("wtree_create: failed to malloc tree handle (%d bytes)",
                   static_cast<int>(sizeof(wtree)));
        kelp::set_usrmsg("OUT OF MEMORY");
        return nullptr;
    }
    auto *tree = new (handle)
        Tree(sizeof(wtree_node) + static_cast<size_t>(siz_alpha) * sizeof(wtree_node *));
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
    const kelp::CaseTables cases;
    for (int p = 0; p < siz_alpha; ++p) {
        unsigned char c = fold(tree, cases, alphabet[p]);
        tree->alphabet[p] = c;
        if (tree->char_idx[c] != not_in_alphabet) {
            gnl_msglog("wtree_create: char %d of alphabet (0x%02X) is invalid", p, c);
            kelp::set_usrmsg("APPLICATION ERROR");
            std::free(tree->alphabet);
            std::free(tree);
            return nullptr;
        }
        tree->char_idx[c] = static_cast<uint16_t>(p);
    }
    tree->alphabet[siz_alpha] = '\0';
    bump(tree->counts.byte_cnt, siz_alpha + 1);
    tree->siz_next = siz_alpha * static_cast<int>(sizeof(wtree_node *));
    // The root's block has room for its array from the start.
    tree->root = node_alloc(*tree, true);
    if (tree->root == nullptr) {
        std::free(tree->alphabet);
        std::free(tree);
        return nullptr;
    }
    return tree;
}

// Stores word with token, or replaces its token. Returns 0 when a next array
// was allocated, 1 when none was, -1 on failure: an illegal token or byte
// leaves the tree unchanged; a failed next array leaves this call's nodes in
// place without tokens; a failed node is pruned back. Tokens must lie within
// -32768 to 32767 and differ from NOTOK.
int wtree_add_word(wtree *handle, const char *word, int len, int token) {
    Tree &tree = own(handle);
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
    const kelp::CaseTables cases;
    for (int i = 0; i < len; ++i) {
        if (tree.char_idx[fold(&tree, cases, word[i])] == not_in_alphabet) {
            gnl_msglog("wtree_add_word: illegal char %d=(%d) (%.*s)", i,
                       static_cast<unsigned char>(word[i]), len, word);
            kelp::set_usrmsg("APPLICATION ERROR");
            return -1;
        }
    }
    wtree_node *cur = tree.root;
    bool grew = false;
    for (int i = 0; i < len; ++i) {
        unsigned p = tree.char_idx[fold(&tree, cases, word[i])];
        if (cur->next == nullptr) {
            wtree_node *moved = give_next(tree, cur);
            if (moved == nullptr) {
                gnl_msglog("wtree_add_word: failed to malloc next array (byte_cnt=%d, siz_next=%d)",
                           tree.counts.byte_cnt, tree.siz_next);
                kelp::set_usrmsg("OUT OF MEMORY");
                return -1;
            }
            cur = moved;
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
        bump(tree.counts.word_cnt, 1);
    cur->token = static_cast<int16_t>(token);
    return grew ? 0 : 1;
}

// Token of word, or NOTOK when it is not stored. Writes no message.
int wtree_find_word(const wtree *tree, const char *word, int len) {
    const wtree_node *node = find_node(tree, word, len);
    return node != nullptr ? node->token : NOTOK;
}

// Removes word and prunes what leads to no word any more. Returns 0, or -1
// without a message when the word is not stored.
int wtree_del_word(wtree *handle, const char *word, int len) {
    Tree &tree = own(handle);
    wtree_node *node = find_node(&tree, word, len);
    if (node == nullptr || node->token == NOTOK)
        return -1;
    node->token = NOTOK;
    bump(tree.counts.word_cnt, -1);
    prune_subtree(tree, node);
    return 0;
}

// Releases the tree in whatever state the other operations left it: every
// node lives in one of its chunks. Chunks of 2 MiB may be kept for the next
// tree of the process.
void wtree_destroy(wtree *handle) {
    Tree &tree = own(handle);
    tree.arena.release();
    std::free(tree.alphabet);
    std::free(&tree);
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
    dump_nodes(tree, stream);
}

}  // extern "C"
