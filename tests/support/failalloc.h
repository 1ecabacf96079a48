// Allocation-failure injection for the test programs.
//
// The test programs define malloc, calloc and realloc themselves; the
// definitions forward to the C library (or the sanitizer runtime) and count
// the calls made directly from libkelp's own code, and the bytes it holds.
// On request the Nth such call fails with ENOMEM. The shipped library
// carries no hook for this.
#pragma once

namespace kelp_test {

// From now on, the library allocation number n (0 = the next one) fails;
// with sticky, every library allocation from that one on fails.
void fail_nth_alloc(long n, bool sticky = false);
// No further injected failures.
void stop_failing();
// Library allocation calls since the last fail_nth_alloc or reset_alloc_count.
long library_allocs();
void reset_alloc_count();
// Bytes that the library holds from its own allocations (usable sizes).
long library_heap();
// True once the interposer knows where libkelp is mapped.
bool alloc_injection_ready();

// Scope guard: allocation n fails while it lives.
struct AllocFailure {
    explicit AllocFailure(long n, bool sticky = false) { fail_nth_alloc(n, sticky); }
    ~AllocFailure() { stop_failing(); }
    AllocFailure(const AllocFailure &) = delete;
    AllocFailure &operator=(const AllocFailure &) = delete;
};

}  // namespace kelp_test
