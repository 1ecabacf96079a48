// The trace's lock, and what each call does around it.
//
// Who may touch what
// - The destination (mode, held stream, file name, whether it ends inside a
//   cut line) and every write to it belong to the holder of the lock, and
//   so does configuration. A record is formatted by its own thread before
//   the lock is taken and goes out in one write() while it is held (more
//   only when the system takes less than all; msglog.cpp), so records of
//   threads and processes do not mix.
// - The settings are written once, by configuration, before `configured`
//   is published; a record that finds it unpublished takes the lock and so
//   waits for all of configuration, destination included.
//
// The lock word
// - 0 when free; else the id of the process whose thread holds it, with
//   `sleepers` set once a thread may sleep on it. Taking it is a
//   compare-exchange from what was seen (acquire); giving it back is an
//   exchange to 0 (release), which wakes one sleeper when `sleepers` was
//   set. A waiter first spins a little, reading the word; then it sets
//   `sleepers` with a compare-exchange and sleeps only while the word still
//   holds exactly that value (the futex compares and sleeps as one step): a
//   release in between changes the word, so the sleep returns at once and
//   no wake-up is lost. A thread that has slept takes the lock with
//   `sleepers` set, since others may still sleep; one that only spun need
//   not: a sleeper it overtakes finds the lock taken, sets `sleepers` again
//   and sleeps until this holder's release.
//
// What a cancelled thread finds
// - Cancellation is off from the start of a call to its end, so no
//   cancellation point inside (write, open, close, fflush) acts while the
//   lock is held or a record is half out: the record goes out whole, and a
//   cancellation that came meanwhile acts when the call returns.
//
// What a signal handler finds
// - A thread marks itself inside the trace before it reads the
//   configuration or the clock, formats or takes the lock. A handler that
//   interrupted it there and writes a record finds the mark: its record is
//   dropped and counted, and the interrupted call reports the count in an
//   ERR record after its own. It never waits for its own thread. A handler
//   on another thread waits for the lock like any thread.
//
// What a forked child finds
// - A child may find the lock held by a thread that did not come along:
//   the word then names another process, which in the child's own copy of
//   memory can only be stale, and the child's first record takes the lock
//   over. So a child made without fork handlers (_Fork, clone, vfork)
//   writes at once. fork() itself takes the lock in the parent first
//   (unless the forking thread is inside the trace already), so that the
//   child's copy of the destination is whole, never half changed by a
//   dbginit. A child that shares the parent's memory takes the lock over
//   too and writes beside the parent's threads; its records stay whole,
//   each being one write().
#include "core/trace.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdint>

namespace kelp::trace {
namespace {

constexpr uint32_t sleepers = 1u << 31;  // above any process id

std::atomic<uint32_t> lock_word{0};

// What a thread keeps of its own place in the trace. A handler on the same
// thread reads it between any two instructions of the interrupted call.
struct Mark {
    std::atomic<bool> inside{false};
    std::atomic<int> dropped{0};
    bool forking = false;  // took the lock for fork
};

thread_local Mark mark;

// A record takes about a microsecond to write: a waiter that spins that
// long finds the lock free more often than not, and spares both threads a
// sleep and a wake-up (at 2 threads on two cores, a third less time per
// record). Longer holds (a slow pipe) end in a sleep.
constexpr int spins_before_sleep = 200;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ volatile("yield");
#endif
}

void sleep_while(uint32_t value) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&lock_word), FUTEX_WAIT_PRIVATE, value, nullptr,
            nullptr, 0);
}

void wake_one() {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&lock_word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

// Held by a thread of this process: anything else is free or stale.
bool held_here(uint32_t word, uint32_t self) {
    return word != 0 && (word & ~sleepers) == self;
}

bool enter() {
    if (mark.inside.load(std::memory_order_relaxed)) {
        mark.dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    mark.inside.store(true, std::memory_order_relaxed);
    // The mark is set before anything the handler must not enter again.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return true;
}

void leave() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    mark.inside.store(false, std::memory_order_relaxed);
}

// Fork takes the lock, so that the child's copy of the destination is
// whole; a fork from a handler that interrupted the trace does not (its
// thread may hold the lock), and it is no dropped record.
void before_fork() {
    mark.forking = !mark.inside.load(std::memory_order_relaxed) && enter();
    if (mark.forking)
        lock(getpid());
}

void after_fork_in_parent() {
    if (mark.forking) {
        unlock();
        leave();
    }
}

void after_fork_in_child() {
    if (mark.forking)
        leave();
}

[[maybe_unused]] const int fork_guard =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

void lock(long self_id) {
    const auto self = static_cast<uint32_t>(self_id);
    uint32_t seen = 0;
    if (lock_word.compare_exchange_strong(seen, self, std::memory_order_acquire))
        return;
    int spins = 0;
    bool slept = false;
    for (;;) {
        if (!held_here(seen, self)) {
            const uint32_t mine = slept ? self | sleepers : self;
            if (lock_word.compare_exchange_weak(seen, mine, std::memory_order_acquire))
                return;
            continue;  // seen holds the word as it is now
        }
        if (spins < spins_before_sleep) {
            ++spins;
            cpu_relax();
            seen = lock_word.load(std::memory_order_relaxed);
            continue;
        }
        if ((seen & sleepers) == 0) {
            if (!lock_word.compare_exchange_weak(seen, seen | sleepers, std::memory_order_relaxed))
                continue;  // seen holds the word as it is now
            seen |= sleepers;
        }
        sleep_while(seen);
        slept = true;
        seen = lock_word.load(std::memory_order_relaxed);
    }
}

void unlock() {
    if ((lock_word.exchange(0, std::memory_order_release) & sleepers) != 0)
        wake_one();
}

Call::Call() {
    nested_ = !enter();
    if (!nested_)
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_);
}

Call::~Call() {
    if (nested_)
        return;
    // Only those dropped so far: a handler that fires during the report is
    // counted for the next one.
    if (const int dropped = mark.dropped.exchange(0, std::memory_order_relaxed))
        report_dropped(dropped);
    leave();
    pthread_setcancelstate(cancel_, nullptr);
}

void cancel_point() {
    pthread_testcancel();
}

}  // namespace kelp::trace
