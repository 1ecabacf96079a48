// See failalloc.h. Counts and fails only the calls whose return address lies
// inside libkelp, so allocations of the C library, GoogleTest and the test
// itself are never disturbed.
#include "failalloc.h"

#include <kelp.h>
#include <link.h>
#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>

// The allocator to forward to: the sanitizer runtime's when the program is
// built with one, else the C library's. No dlsym: it allocates itself.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELP_TEST_REAL(name) __asm__("__interceptor_" name)
#else
#define KELP_TEST_REAL(name) __asm__("__libc_" name)
#endif
extern "C" void *real_malloc(size_t) KELP_TEST_REAL("malloc");
extern "C" void *real_calloc(size_t, size_t) KELP_TEST_REAL("calloc");
extern "C" void *real_realloc(void *, size_t) KELP_TEST_REAL("realloc");
extern "C" void real_free(void *) KELP_TEST_REAL("free");

// The sanitizer runtime allocates before its shadow memory is ready: the
// interposer itself must not be instrumented, nor call what is: of the
// atomics, only the members that are always inlined (load, fetch_add).
#define KELP_TEST_RAW __attribute__((no_sanitize("address", "undefined", "thread")))

namespace {

std::atomic<uintptr_t> lib_begin{0}, lib_end{0};
std::atomic<long> calls{0}, fail_at{-1}, held{0};  // held: bytes the library holds
std::atomic<bool> fail_sticky{false};

// Runs before main, when the loader has mapped libkelp: return addresses
// within its segments (loaded in ascending order from its base) are its own.
__attribute__((constructor)) void locate_library() {
    gnl_verstr();  // keep the link to libkelp even under --as-needed
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *) {
            if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, "libkelp.so") == nullptr)
                return 0;
            for (const ElfW(Phdr) & ph : std::span(info->dlpi_phdr, info->dlpi_phnum))
                if (ph.p_type == PT_LOAD)
                    lib_end = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
            lib_begin = info->dlpi_addr;
            return 1;
        },
        nullptr);
}

KELP_TEST_RAW bool from_library(void *caller) {
    const uintptr_t begin = lib_begin.load();
    return reinterpret_cast<uintptr_t>(caller) - begin < lib_end.load() - begin;
}

// Whether this call comes from libkelp and must fail; then errno is set as
// the allocator would.
KELP_TEST_RAW bool refuse(void *caller) {
    const long n = from_library(caller) ? calls.fetch_add(1) : -1, at = fail_at.load();
    const bool fail = n >= 0 && at >= 0 && (n == at || (fail_sticky.load() && n > at));
    if (fail)
        errno = ENOMEM;
    return fail;
}

// The usable size of p when the library holds it, else 0.
KELP_TEST_RAW long owned(void *caller, void *p) {
    return p != nullptr && from_library(caller) ? static_cast<long>(malloc_usable_size(p)) : 0;
}

}  // namespace

extern "C" {

KELP_TEST_RAW void *malloc(size_t size) {
    void *caller = __builtin_return_address(0), *p = refuse(caller) ? nullptr : real_malloc(size);
    held.fetch_add(owned(caller, p));
    return p;
}

KELP_TEST_RAW void *calloc(size_t n, size_t size) {
    void *caller = __builtin_return_address(0),
         *p = refuse(caller) ? nullptr : real_calloc(n, size);
    held.fetch_add(owned(caller, p));
    return p;
}

// A failed realloc leaves the old block in place.
KELP_TEST_RAW void *realloc(void *ptr, size_t size) {
    void *caller = __builtin_return_address(0);
    if (refuse(caller))
        return nullptr;
    const long before = owned(caller, ptr);
    void *p = real_realloc(ptr, size);
    held.fetch_add(owned(caller, p) - (p != nullptr || size == 0 ? before : 0));
    return p;
}

KELP_TEST_RAW void free(void *ptr) {
    held.fetch_sub(owned(__builtin_return_address(0), ptr));
    real_free(ptr);
}

}  // extern "C"

void kelp_test::fail_nth_alloc(long n, bool sticky) {
    fail_at = -1;
    calls = 0;
    fail_sticky = sticky;
    fail_at = n;
}

void kelp_test::stop_failing() {
    fail_at = -1;
}

long kelp_test::library_allocs() {
    return calls.load();
}

void kelp_test::reset_alloc_count() {
    calls = 0;
}

long kelp_test::library_heap() {
    return held.load();
}

bool kelp_test::alloc_injection_ready() {
    return lib_end.load() != 0;
}
