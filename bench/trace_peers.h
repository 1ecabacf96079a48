// Two ways of writing trace records from many threads, measured beside the
// trace itself: a plain mutex with one write() per record, and the
// combining queue the trace used before (a turn taken with an atomic
// exchange; records that find it taken are queued, and the next holder
// writes the queue and its own record in one write()). Both make the
// record the way the trace does and hold off cancellation while writing.
#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace trace_peers {

// "YYYYMMDD-hh:mm:ss.mmm (INFO-pid): message\n", the timestamp text kept
// for its second.
inline std::string_view format_record(char (&buf)[1024], long n) {
    thread_local time_t sec = -1;
    thread_local char stamp[32];
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != sec) {
        struct tm tm {};
        localtime_r(&tv.tv_sec, &tm);
        strftime(stamp, sizeof stamp, "%Y%m%d-%H:%M:%S", &tm);
        sec = tv.tv_sec;
    }
    const int w = std::snprintf(buf, sizeof buf, "%s.%03ld (INFO-%ld): bench: record %ld of the held stream (%s)\n",
                                stamp, static_cast<long>(tv.tv_usec) / 1000, static_cast<long>(getpid()), n,
                                "payload");
    return {buf, static_cast<size_t>(w)};
}

class NoCancel {
  public:
    NoCancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~NoCancel() { pthread_setcancelstate(old_, nullptr); }

  private:
    int old_ = 0;
};

class MutexWriter {
  public:
    explicit MutexWriter(int fd) : fd_(fd) {}
    void put(std::string_view line) {
        NoCancel keep;
        pthread_mutex_lock(&lock_);
        [[maybe_unused]] ssize_t n = write(fd_, line.data(), line.size());
        pthread_mutex_unlock(&lock_);
    }

  private:
    int fd_;
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
};

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

class QueueWriter {
  public:
    explicit QueueWriter(int fd) : fd_(fd) {}

    void put(std::string_view line) {
        NoCancel keep;
        uint64_t seq = 0;  // the record's number once queued
        for (int round = 0;; ++round) {
            if (seq != 0 && written_.load(std::memory_order_acquire) >= seq)
                return;
            if (busy_.exchange(1, std::memory_order_seq_cst) == 0) {
                write_turn(seq == 0 ? line : std::string_view());
                end_turn();
                return;
            }
            if (seq == 0)
                seq = enqueue(line);
            wait(round, seq);
        }
    }

  private:
    static constexpr size_t queue_size = 16384;

    void write_out(std::string_view text) {
        [[maybe_unused]] ssize_t n = write(fd_, text.data(), text.size());
    }

    void lock_queue() {
        for (int round = 0; queue_lock_.exchange(true, std::memory_order_acquire); ++round) {
            if (round < 64)
                cpu_relax();
            else
                sched_yield();
        }
    }

    void unlock_queue() { queue_lock_.store(false, std::memory_order_release); }

    uint64_t enqueue(std::string_view line) {
        lock_queue();
        const size_t filled = filled_.load(std::memory_order_relaxed);
        uint64_t seq = 0;
        if (line.size() <= queue_size - filled) {
            std::memcpy(queues_[filling_] + filled, line.data(), line.size());
            filled_.store(filled + line.size(), std::memory_order_relaxed);
            seq = ++queued_;
        }
        unlock_queue();
        return seq;
    }

    void write_turn(std::string_view own) {
        if (filled_.load(std::memory_order_relaxed) == 0) {
            if (!own.empty())
                write_out(own);
            return;
        }
        lock_queue();
        size_t n = filled_.load(std::memory_order_relaxed);
        char *batch = queues_[filling_];
        if (!own.empty() && own.size() <= queue_size - n) {
            std::memcpy(batch + n, own.data(), own.size());
            n += own.size();
            own = {};
        }
        const uint64_t upto = queued_;
        filling_ ^= 1;
        filled_.store(0, std::memory_order_relaxed);
        unlock_queue();
        write_out({batch, n});
        written_.store(upto, std::memory_order_seq_cst);
        if (!own.empty())
            write_out(own);
    }

    void end_turn() {
        busy_.store(0, std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0) {
            epoch_.fetch_add(1, std::memory_order_seq_cst);
            syscall(SYS_futex, reinterpret_cast<uint32_t *>(&epoch_), FUTEX_WAKE_PRIVATE, INT_MAX,
                    nullptr, nullptr, 0);
        }
    }

    void wait(int round, uint64_t seq) {
        if (round < 32) {
            cpu_relax();
            return;
        }
        if (round < 48) {
            sched_yield();
            return;
        }
        const uint32_t epoch = epoch_.load(std::memory_order_seq_cst);
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        if (busy_.load(std::memory_order_seq_cst) != 0 &&
            (seq == 0 || written_.load(std::memory_order_seq_cst) < seq))
            syscall(SYS_futex, reinterpret_cast<uint32_t *>(&epoch_), FUTEX_WAIT_PRIVATE, epoch,
                    nullptr, nullptr, 0);
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    }

    int fd_;
    std::atomic<uint32_t> busy_{0};
    std::atomic<uint32_t> epoch_{0};
    std::atomic<uint32_t> sleepers_{0};
    std::atomic<uint64_t> written_{0};
    std::atomic<bool> queue_lock_{false};
    std::atomic<size_t> filled_{0};
    uint64_t queued_ = 0;
    int filling_ = 0;
    char queues_[2][queue_size];
};

}  // namespace trace_peers
