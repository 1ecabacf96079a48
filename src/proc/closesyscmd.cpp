// Child commands: close the caller's side and reap the child within a second,
// by a clock and a descriptor of the library's own: the program's alarm,
// signal actions and mask are never touched.
#include "proc/proc.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto second = std::chrono::seconds(1);
// Nothing but SIGCHLD, which is the program's, tells of another child's
// end: the wait looks for one this often.
constexpr auto glance = std::chrono::milliseconds(10);

// A kernel without pidfds (before 5.3) is asked once.
std::atomic<bool> no_pidfd{false};

// The awaited child's pidfd, readable once the child has ended. Opened at
// the first sleep (a child that has ended already needs none); without one
// (no such process, an old kernel) the wait only glances.
class Watch {
  public:
    enum Outcome { ended, interrupted, timeout };

    explicit Watch(pid_t pid) : pid_(pid) {}
    ~Watch() { drop(); }
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;

    // Sleeps until the child ends, a signal handler runs or until.
    Outcome sleep(Clock::time_point until) {
        if (!opened_ && pid_ > 0 && !no_pidfd.load(std::memory_order_relaxed)) {
            fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
            if (fd_ < 0 && errno == ENOSYS)
                no_pidfd.store(true, std::memory_order_relaxed);
        }
        opened_ = true;
        const auto left = std::max(until - Clock::now(), Clock::duration::zero());
        const auto s = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec ts = {static_cast<time_t>(s.count()),
                             static_cast<long>((left - s) / std::chrono::nanoseconds(1))};
        pollfd p = {fd_, POLLIN, 0};
        const int n = ppoll(&p, 1, &ts, nullptr);
        seen_end_ = n > 0;
        if (n > 0)
            return ended;
        return n < 0 && errno == EINTR ? interrupted : timeout;
    }
    // Whether the last sleep ended with the child.
    bool seen_end() const { return seen_end_; }
    // The child ended and was not reaped here, so it never will be: stop
    // watching, or every sleep would end at once.
    void drop() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        seen_end_ = false;
    }

  private:
    pid_t pid_;
    int fd_ = -1;
    bool opened_ = false;
    bool seen_end_ = false;
};

// Whether the handler that broke off ppoll would have left a wait() running:
// wait() restarts after a handler with SA_RESTART, ppoll never does. Which
// signal came is unknown; the answer is yes only when no signal that this
// thread takes has a handler without SA_RESTART. A fault of the thread
// itself cannot come while it waits: a crash handler (a sanitizer's, too)
// does not count.
bool wait_would_restart() {
    sigset_t blocked;
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP})
        sigaddset(&blocked, fault);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction sa {};
        if (sigismember(&blocked, sig) == 1 || sigaction(sig, nullptr, &sa) != 0)
            continue;
        const bool caught = sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN;
        if (caught && (sa.sa_flags & SA_RESTART) == 0)
            return false;
    }
    return true;
}

// wait() for any child until pid is reaped, within a second that starts
// again each time another child is reaped or a signal would have broken off
// wait(). 0 with pid's status; else the errno of the wait that failed:
// ECHILD when no child is left, EINTR when the second ran out or (for pid
// -1, which only ends so) a signal came. *status: with pid -1, that of the
// last child reaped.
int wait_for(pid_t pid, int *status) {
    Watch watch(pid);
    auto deadline = Clock::now() + second;
    for (;;) {
        int got = 0;
        const pid_t r = kelp::proc::reap(pid, &got);
        if (r > 0) {
            *status = got;
            if (r == pid)
                return 0;
            deadline = Clock::now() + second;
            continue;
        }
        if (r < 0)
            return errno;
        if (watch.seen_end())
            watch.drop();
        const auto now = Clock::now();
        if (now >= deadline)
            return EINTR;
        if (watch.sleep(std::min(deadline, now + glance)) == Watch::interrupted &&
            !wait_would_restart()) {
            if (pid == -1)
                return EINTR;
            deadline = Clock::now() + second;
        }
    }
}

}  // namespace

extern "C" {

// Closes rfd and wfd and waits up to a second for the child pid (another
// second each time another child ends or a signal breaks the wait off).
// Returns the child's exit code, 0 when a signal ended it; with pid -1 the
// raw status of the last child reaped (-1 when none was). When the wait
// fails or times out (4) the child's process group is killed, not reaped,
// and the wait's errno is returned with a message in gnl_usrmsg.
int close_syscmd(int rfd, int wfd, int pid) {
    if (rfd >= 0)
        close(rfd);
    if (wfd >= 0 && wfd != rfd)  // one pseudo-terminal master: close it once
        close(wfd);

    int status = -1;
    const int err = wait_for(pid, &status);
    if (pid == -1)
        return status;
    if (err == 0)
        return status >> 8;
    kelp::proc::forget(pid);
    kelp::set_usrmsg("close_syscmd: wait() failed (errno=%d)", err);
    // Only a group that run_syscmd made: -1 and 1 would signal every process.
    if (pid > 1 && kill(-pid, SIGKILL) != 0)
        kelp::set_usrmsg("close_syscmd: kill(-%ld) failed (errno=%d)", static_cast<long>(pid),
                         errno);
    return err;
}

}  // extern "C"
