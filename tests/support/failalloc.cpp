// See failalloc.h. Counts and fails only the calls whose return address lies
// inside libkelp, so allocations of the C library, GoogleTest and the test
// itself are never disturbed.
#include "failalloc.h"

#include <kelp.h>

#include <link.h>
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
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
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

// Whether this call comes from libkelp, and whether it must fail.
KELP_TEST_RAW bool inject(void *caller) {
    auto pc = reinterpret_cast<uintptr_t>(caller);
    if (pc < lib_begin.load(std::memory_order_relaxed) ||
        pc >= lib_end.load(std::memory_order_relaxed))
        return false;
    long n = calls.fetch_add(1);
    long at = fail_at.load();
    if (at < 0)
        return false;
    return n == at || (fail_sticky.load() && n > at);
}

}  // namespace

extern "C" {

KELP_TEST_RAW void *malloc(size_t size) {
    if (inject(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __interceptor_malloc != nullptr ? __interceptor_malloc(size) : __libc_malloc(size);
}

KELP_TEST_RAW void *calloc(size_t n, size_t size) {
    if (inject(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __interceptor_calloc != nullptr ? __interceptor_calloc(n, size) : __libc_calloc(n, size);
}

KELP_TEST_RAW void *realloc(void *ptr, size_t size) {
    if (inject(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __interceptor_realloc != nullptr ? __interceptor_realloc(ptr, size)
                                            : __libc_realloc(ptr, size);
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

bool alloc_injection_ready() {
    return lib_end.load() != 0;
}

}  // namespace kelp_test
