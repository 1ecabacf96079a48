// See failalloc.h. Counts and fails only the calls whose return address lies
// inside libkelp, so allocations of the C library, GoogleTest and the test
// itself are never disturbed.
#include "failalloc.h"

#include <kelp.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <link.h>

namespace {

using malloc_fn = void *(*)(size_t);
using calloc_fn = void *(*)(size_t, size_t);
using realloc_fn = void *(*)(void *, size_t);

malloc_fn real_malloc;
calloc_fn real_calloc;
realloc_fn real_realloc;

std::atomic<uintptr_t> lib_begin{0};
std::atomic<uintptr_t> lib_end{0};
std::atomic<long> calls{0};
std::atomic<long> fail_at{-1};
std::atomic<bool> fail_sticky{false};

// dlsym may itself ask for zeroed memory before calloc is resolved.
alignas(16) char bootstrap[4096];
size_t bootstrap_used;
bool resolving;

void resolve() {
    if (real_malloc != nullptr || resolving)
        return;
    resolving = true;
    real_calloc = reinterpret_cast<calloc_fn>(dlsym(RTLD_NEXT, "calloc"));
    real_realloc = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
    real_malloc = reinterpret_cast<malloc_fn>(dlsym(RTLD_NEXT, "malloc"));
    resolving = false;
}

int find_library(struct dl_phdr_info *info, size_t, void *) {
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "libkelp.so") == nullptr)
        return 0;
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0)
            continue;
        uintptr_t b = info->dlpi_addr + ph.p_vaddr;
        lo = b < lo ? b : lo;
        hi = b + ph.p_memsz > hi ? b + ph.p_memsz : hi;
    }
    lib_begin = lo;
    lib_end = hi;
    return 1;
}

// Runs before main: the loader has mapped libkelp by then.
__attribute__((constructor)) void locate_library() {
    resolve();
    gnl_verstr();  // keep the link to libkelp even under --as-needed
    dl_iterate_phdr(find_library, nullptr);
}

// Whether this call comes from libkelp, and whether it must fail.
bool inject(void *caller) {
    auto pc = reinterpret_cast<uintptr_t>(caller);
    if (pc < lib_begin.load(std::memory_order_relaxed) || pc >= lib_end.load(std::memory_order_relaxed))
        return false;
    long n = calls.fetch_add(1);
    long at = fail_at.load();
    if (at < 0)
        return false;
    return n == at || (fail_sticky.load() && n > at);
}

}  // namespace

extern "C" {

void *malloc(size_t size) {
    if (inject(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    resolve();
    return real_malloc(size);
}

void *calloc(size_t n, size_t size) {
    if (real_calloc == nullptr && !resolving)
        resolve();
    if (real_calloc == nullptr) {
        // Only while dlsym resolves the real functions; never freed.
        size_t want = (n * size + 15) & ~size_t{15};
        if (bootstrap_used + want > sizeof bootstrap)
            return nullptr;
        void *p = bootstrap + bootstrap_used;
        bootstrap_used += want;
        return p;
    }
    if (inject(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_calloc(n, size);
}

void *realloc(void *ptr, size_t size) {
    if (inject(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    resolve();
    return real_realloc(ptr, size);
}

}  // extern "C"

namespace kelp_test {

void fail_nth_alloc(long n, bool sticky) {
    fail_at = -1;
    calls = 0;
    fail_sticky = sticky;
    fail_at = n;
}

void stop_failing() { fail_at = -1; }

long library_allocs() { return calls.load(); }

void reset_alloc_count() { calls = 0; }

bool alloc_injection_ready() { return lib_end.load() != 0; }

}  // namespace kelp_test
