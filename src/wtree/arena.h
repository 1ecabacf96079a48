// Memory of one word tree: blocks of two sizes, leaf blocks of one node
// record and full blocks of a node record with its next array behind it,
// carved from chunks that the tree owns. Released blocks wait on a free list
// of their kind for the next node of the tree.
//
// The first chunk holds just the root; then malloc gives chunks that double
// from 4 KiB to 1 MiB, so a tree of a few words stays small. A bigger tree
// takes chunks of 2 MiB, mappings of their own aligned to 2 MiB and advised
// for transparent huge pages: one page fault instead of 512 when the chunk
// is first written, and one TLB entry for the lookups that cross it. Memory
// fresh from the system reads zero, so next arrays carved from it need no
// clearing. A destroyed tree's chunks of 2 MiB are kept for the next big
// trees of the process (see arena.cpp).
#pragma once

#include <kelp.h>

#include <cstddef>

namespace kelp::wtree_memory {

struct Chunk;
struct FreeBlock;

class Arena {
  public:
    // A block, and whether it is known to be all zero; at is null when the
    // system has no memory for a new chunk.
    struct Block {
        void *at;
        bool zero;
    };

    // full_bytes: the size of a full block, fixed for the tree's life.
    explicit Arena(size_t full_bytes) : full_bytes_(full_bytes) {}
    Arena(const Arena &) = delete;
    Arena &operator=(const Arena &) = delete;

    // A block of the kind asked, from its free list first.
    Block take(bool full);
    // A free leaf block, or null: takes nothing new, so it cannot fail.
    void *take_free_leaf();
    void give(void *block, bool full);
    // Releases every chunk; no block of the arena may be used afterwards.
    void release();

  private:
    bool add_chunk(size_t want);

    size_t full_bytes_;
    Chunk *small_ = nullptr;  // from malloc
    Chunk *huge_ = nullptr;   // mappings of 2 MiB
    char *carve_ = nullptr;   // unused rest of the newest chunk
    char *carve_end_ = nullptr;
    bool carve_zero_ = false;  // that rest is fresh from the system: all zero
    FreeBlock *leaves_ = nullptr;
    FreeBlock *fulls_ = nullptr;
    size_t next_small_ = 0;  // bytes of the next chunk; 0: just what is asked
};

}  // namespace kelp::wtree_memory
