// Child commands: close the caller's side and reap the child within a second.
#include "proc/proc.h"

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>

namespace {

volatile sig_atomic_t sigflag_alrm = 0;

// The thread in close_syscmd's wait(), and handlers still running elsewhere.
std::atomic<pid_t> waiter{0};
std::atomic<int> handlers_running{0};

// The alarm is the process's: its signal may land on any thread. Another
// thread passes it on to the one that waits, so that its wait() breaks off.
void sighand(int sig) {
    if (sig != SIGALRM)
        return;
    kelp::SavedErrno keep;
    handlers_running.fetch_add(1);
    sigflag_alrm = 1;
    pid_t to = waiter.load();
    if (to != 0 && to != gettid())
        tgkill(getpid(), to, SIGALRM);
    handlers_running.fetch_sub(1);
}

// Borrows SIGALRM and the alarm timer for one second at a time; the
// caller's pending alarm (with the seconds it had left), action and signal
// mask come back on every way out.
class BorrowedAlarm {
  public:
    BorrowedAlarm() {
        sigset_t pending;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask_);
        sigpending(&pending);
        // A SIGALRM the caller left pending stays the caller's: then the
        // signal stays blocked, as the caller has it.
        callers_pending_ = sigismember(&pending, SIGALRM) == 1;
        sigflag_alrm = 0;
        waiter.store(gettid());

        struct sigaction sa {};
        sa.sa_handler = sighand;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: the alarm must interrupt wait
        left_ = alarm(0);
        sigaction(SIGALRM, &sa, &old_);
        if (!callers_pending_)
            change_mask(SIG_UNBLOCK);
        rearm();
    }
    ~BorrowedAlarm() {
        kelp::SavedErrno keep;
        waiter.store(0);
        alarm(left_);
        // An alarm of ours that another thread is passing on, or that no
        // thread has taken yet, is taken here before the caller's action is
        // back: it must not reach that action.
        change_mask(SIG_BLOCK);
        while (handlers_running.load() != 0)
            sched_yield();
        if (!callers_pending_) {
            sigset_t alrm;
            sigemptyset(&alrm);
            sigaddset(&alrm, SIGALRM);
            const timespec now = {0, 0};
            sigtimedwait(&alrm, nullptr, &now);
        }
        sigaction(SIGALRM, &old_, nullptr);
        pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
    }
    BorrowedAlarm(const BorrowedAlarm &) = delete;
    BorrowedAlarm &operator=(const BorrowedAlarm &) = delete;

    void rearm() {
        armed_at_ = std::chrono::steady_clock::now();
        alarm(1);
    }
    // The handler's flag, or the clock: a runtime that defers handlers (a
    // thread sanitizer does) still ends the wait on time.
    bool expired() const {
        return sigflag_alrm != 0 ||
               std::chrono::steady_clock::now() - armed_at_ >= std::chrono::seconds(1);
    }

  private:
    static void change_mask(int how) {
        sigset_t alrm;
        sigemptyset(&alrm);
        sigaddset(&alrm, SIGALRM);
        pthread_sigmask(how, &alrm, nullptr);
    }

    unsigned left_ = 0;
    std::chrono::steady_clock::time_point armed_at_;
    struct sigaction old_ {};
    sigset_t mask_{};
    bool callers_pending_ = false;
};

// wait(), except that an alarm which went off outside the call is not lost:
// then only a child that has already ended is taken.
pid_t wait_once(const BorrowedAlarm &timer, int *status) {
    if (!timer.expired())
        return wait(status);
    pid_t r = waitpid(-1, status, WNOHANG);
    if (r == 0) {
        errno = EINTR;
        return -1;
    }
    return r;
}

// The alarm and SIGALRM are the process's: one close_syscmd at a time.
std::mutex closing;

}  // namespace

extern "C" {

// Closes rfd and wfd and waits up to a second for the child pid (another
// second each time another child ends or another signal comes). Returns the
// child's exit code, 0 when a signal ended it; with pid -1 the raw status of
// the last child reaped (-1 when none was). When the wait fails or times out
// (4) the child's process group is killed, not reaped, and the wait's errno
// is returned with a message in gnl_usrmsg.
int close_syscmd(int rfd, int wfd, int pid) {
    if (rfd >= 0)
        close(rfd);
    if (wfd >= 0 && wfd != rfd)  // one pseudo-terminal master: close it once
        close(wfd);

    std::lock_guard<std::mutex> one_at_a_time(closing);
    int status = -1;
    if (pid > 0 && kelp::proc::take_kept(pid, &status))
        return status >> 8;
    {
        BorrowedAlarm timer;
        for (;;) {
            int got = status;
            pid_t r = wait_once(timer, &got);
            if (r > 0)
                kelp::proc::reaped(r, got, pid);
            if (r == pid)
                return pid == -1 ? status : got >> 8;
            if (r == -1 && (errno != EINTR || timer.expired()))
                break;
            if (r > 0)
                status = got;
            timer.rearm();
        }
    }

    int err = errno;
    kelp::proc::forget(pid);
    kelp::set_usrmsg("close_syscmd: wait() failed (errno=%d)", err);
    // Only a group that run_syscmd made: -1 and 1 would signal every process.
    if (pid > 1 && kill(-pid, SIGKILL) != 0)
        kelp::set_usrmsg("close_syscmd: kill(-%ld) failed (errno=%d)", static_cast<long>(pid),
                         errno);
    return err;
}

}  // extern "C"
