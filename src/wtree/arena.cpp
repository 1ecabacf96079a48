// The word tree's chunks and blocks; see arena.h.
#include "wtree/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

namespace kelp::wtree_memory {

// Released blocks wait on a list of their kind, linked through themselves.
struct FreeBlock {
    FreeBlock *next;
};

// A chunk, newest first on its tree's list, carved from its front.
struct Chunk {
    Chunk *older;
};

namespace {

constexpr size_t leaf_bytes = sizeof(wtree_node);
constexpr size_t small_first = 4096;
constexpr size_t huge_chunk = size_t{2} << 20;

// Chunks of 2 MiB that destroyed trees gave back, up to kept_max of them
// (128 MiB) for the process: the next big tree finds its memory mapped and
// its pages present. Kept chunks are marked MADV_FREE, so that under memory
// pressure the kernel takes their pages instead of swapping them out.
//
// Trees of several threads take and give chunks at once. The lock is only
// ever tried: a thread that finds it held maps or unmaps a chunk itself, so
// nothing waits on it. A child made by fork inherits the kept chunks as
// copies of its own; if a thread of the parent held the lock at that
// moment, the child finds it held for good and does without them.
struct KeptChunks {
    std::mutex lock;
    Chunk *top = nullptr;
    int count = 0;
};
constexpr int kept_max = 64;
constinit KeptChunks kept;

// A fresh mapping of huge_chunk bytes aligned to its size, or null. Mapped
// at twice the size, then trimmed to the aligned part.
Chunk *map_huge() {
    void *p =
        mmap(nullptr, 2 * huge_chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    const auto from = reinterpret_cast<uintptr_t>(p);
    const uintptr_t at = (from + huge_chunk - 1) & ~(huge_chunk - 1);
    if (at != from)
        munmap(p, at - from);
    munmap(reinterpret_cast<void *>(at + huge_chunk), from + huge_chunk - at);
    madvise(reinterpret_cast<void *>(at), huge_chunk, MADV_HUGEPAGE);
    return reinterpret_cast<Chunk *>(at);
}

// A chunk of huge_chunk bytes, kept or fresh (then zero is set), or null.
Chunk *take_huge(bool &zero) {
    if (std::unique_lock hold(kept.lock, std::try_to_lock);
        hold.owns_lock() && kept.top != nullptr) {
        Chunk *chunk = kept.top;
        kept.top = chunk->older;
        --kept.count;
        return chunk;
    }
    zero = true;
    return map_huge();
}

// Keeps what fits of a tree's huge chunks and unmaps the rest. They are
// marked free before they are kept: once kept, another thread may be
// filling one, and the kernel would be free to drop what it writes.
void give_huge(Chunk *chunks) {
    for (Chunk *c = chunks; c != nullptr; c = c->older)
        madvise(c, huge_chunk, MADV_FREE);
    if (std::unique_lock hold(kept.lock, std::try_to_lock); hold.owns_lock()) {
        while (chunks != nullptr && kept.count < kept_max) {
            Chunk *older = chunks->older;
            chunks->older = kept.top;
            kept.top = chunks;
            ++kept.count;
            chunks = older;
        }
    }
    while (chunks != nullptr) {
        Chunk *older = chunks->older;
        munmap(chunks, huge_chunk);
        chunks = older;
    }
}

}  // namespace

// Makes a new chunk, with room for want bytes after its link, the one to
// carve from; false when the system has no memory for it.
bool Arena::add_chunk(size_t want) {
    bool zero = false;
    const bool huge = next_small_ == huge_chunk;
    const size_t bytes = huge ? huge_chunk : std::max(next_small_, sizeof(Chunk) + want);
    auto *chunk = huge ? take_huge(zero) : static_cast<Chunk *>(std::malloc(bytes));
    if (chunk == nullptr)
        return false;
    // What the old chunk has left still serves leaves.
    while (static_cast<size_t>(carve_end_ - carve_) >= leaf_bytes) {
        leaves_ = new (carve_) FreeBlock{leaves_};
        carve_ += leaf_bytes;
    }
    Chunk *&list = huge ? huge_ : small_;
    chunk->older = list;
    list = chunk;
    carve_ = reinterpret_cast<char *>(chunk + 1);
    carve_end_ = reinterpret_cast<char *>(chunk) + bytes;
    carve_zero_ = zero;
    next_small_ = std::clamp(next_small_ * 2, small_first, huge_chunk);
    return true;
}

Arena::Block Arena::take(bool full) {
    FreeBlock *&list = full ? fulls_ : leaves_;
    if (list != nullptr) {
        FreeBlock *b = list;
        list = b->next;
        return {b, false};
    }
    const size_t size = full ? full_bytes_ : leaf_bytes;
    if (static_cast<size_t>(carve_end_ - carve_) < size && !add_chunk(size))
        return {nullptr, false};
    void *b = carve_;
    carve_ += size;
    return {b, carve_zero_};
}

void *Arena::take_free_leaf() {
    FreeBlock *b = leaves_;
    if (b != nullptr)
        leaves_ = b->next;
    return b;
}

void Arena::give(void *block, bool full) {
    FreeBlock *&list = full ? fulls_ : leaves_;
    list = new (block) FreeBlock{list};
}

void Arena::release() {
    for (Chunk *c = small_; c != nullptr;) {
        Chunk *older = c->older;
        std::free(c);
        c = older;
    }
    give_huge(huge_);
}

}  // namespace kelp::wtree_memory
