// See failalloc.h. Counts and fails only the calls whose return address lies
// inside libkelp, so allocations of the C library, GoogleTest and the test
// itself are never disturbed.
#include "failalloc.h"

#include <kelp.h>

#include <link.h>
#include <malloc.h>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The allocator to forward to: the sanitizer runtime's when the program
// runs under one, else the C library's. No dlsym: it allocates itself.
extern "C" {
void *__interceptor_malloc(size_t) __attribute__((weak));
void *__interceptor_calloc(size_t, size_t) __attribute__((weak));
void *__interceptor_realloc(void *, size_t) __attribute__((weak));
void __interceptor_free(void *) __attribute__((weak));
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

// The sanitizer runtime allocates before its shadow memory is ready: the
// interposer itself must not be instrumented.
#define KELP_TEST_RAW __attribute__((no_sanitize("address", "undefined", "thread")))

namespace {

std::atomic<uintptr_t> lib_begin{0};
std::atomic<uintptr_t> lib_end{0};
std::atomic<long> calls{0};
std::atomic<long> fail_at{-1};
std::atomic<bool> fail_sticky{false};
std::atomic<long> held{0};  // bytes of the library's allocations not yet freed

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
    gnl_verstr();  // keep the link to libkelp even under --as-needed
    dl_iterate_phdr(find_library, nullptr);
}

KELP_TEST_RAW bool from_library(void *caller) {
    auto pc = reinterpret_cast<uintptr_t>(caller);
    return pc >= lib_begin.load(std::memory_order_relaxed) &&
           pc < lib_end.load(std::memory_order_relaxed);
}

// Whether this call comes from libkelp, and whether it must fail.
KELP_TEST_RAW bool inject(void *caller) {
    if (!from_library(caller))
        return false;
    long n = calls.fetch_add(1);
    long at = fail_at.load();
    if (at < 0)
        return false;
    return n == at || (fail_sticky.load() && n > at);
}

}  // namespace

extern "C" {

// Counts what a library call got; p may be null.
KELP_TEST_RAW void *count(void *caller, void *p) {
    if (p != nullptr && from_library(caller))
        held += static_cast<long>(malloc_usable_size(p));
    return p;
}

KELP_TEST_RAW void *malloc(size_t size) {
    void *caller = __builtin_return_address(0);
    if (inject(caller)) {
        errno = ENOMEM;
        return nullptr;
    }
    return count(caller, __interceptor_malloc != nullptr ? __interceptor_malloc(size)
                                                         : __libc_malloc(size));
}

KELP_TEST_RAW void *calloc(size_t n, size_t size) {
    void *caller = __builtin_return_address(0);
    if (inject(caller)) {
        errno = ENOMEM;
        return nullptr;
    }
    return count(caller, __interceptor_calloc != nullptr ? __interceptor_calloc(n, size)
                                                         : __libc_calloc(n, size));
}

KELP_TEST_RAW void *realloc(void *ptr, size_t size) {
    void *caller = __builtin_return_address(0);
    if (inject(caller)) {
        errno = ENOMEM;
        return nullptr;
    }
    long before = ptr != nullptr && from_library(caller) ? static_cast<long>(malloc_usable_size(ptr)) : 0;
    void *p = __interceptor_realloc != nullptr ? __interceptor_realloc(ptr, size)
                                               : __libc_realloc(ptr, size);
    if (p != nullptr || size == 0)
        held -= before;
    return count(caller, p);
}

KELP_TEST_RAW void free(void *ptr) {
    if (ptr != nullptr && from_library(__builtin_return_address(0)))
        held -= static_cast<long>(malloc_usable_size(ptr));
    if (__interceptor_free != nullptr)
        __interceptor_free(ptr);
    else
        __libc_free(ptr);
}

}  // extern "C"

namespace kelp_test {

void fail_nth_alloc(long n, bool sticky) {
    fail_at = -1;
    calls = 0;
    fail_sticky = sticky;
    fail_at = n;
}

void stop_failing() {
    fail_at = -1;
}

long library_allocs() {
    return calls.load();
}

void reset_alloc_count() {
    calls = 0;
}

long library_heap() {
    return held.load();
}

bool alloc_injection_ready() {
    return lib_end.load() != 0;
}

}  // namespace kelp_test
