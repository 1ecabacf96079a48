// Child commands: close the caller's side and reap the child within a second.
#include "core/internal.h"

#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace {

volatile sig_atomic_t sigflag_alrm = 0;

void sighand(int sig) {
    if (sig == SIGALRM)
        sigflag_alrm = 1;
}

// Borrows SIGALRM and the alarm timer for one second at a time; the
// caller's pending alarm (with the seconds it had left) and action come back
// on every way out.
class BorrowedAlarm {
  public:
    BorrowedAlarm() {
        sigflag_alrm = 0;
        struct sigaction sa {};
        sa.sa_handler = sighand;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: the alarm must interrupt wait
        left_ = alarm(0);
        sigaction(SIGALRM, &sa, &old_);
        alarm(1);
    }
    ~BorrowedAlarm() {
        kelp::SavedErrno keep;
        alarm(left_);
        sigaction(SIGALRM, &old_, nullptr);
    }
    BorrowedAlarm(const BorrowedAlarm &) = delete;
    BorrowedAlarm &operator=(const BorrowedAlarm &) = delete;

    void rearm() { alarm(1); }
    bool expired() const { return sigflag_alrm != 0; }

  private:
    unsigned left_ = 0;
    struct sigaction old_ {};
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

    BorrowedAlarm timer;
    int status = -1;
    for (;;) {
        int got = status;
        pid_t r = wait_once(timer, &got);
        if (r == pid)
            return pid == -1 ? status : got >> 8;
        if (r == -1 && (errno != EINTR || timer.expired()))
            break;
        if (r > 0)
            status = got;
        timer.rearm();
    }

    int err = errno;
    kelp::set_usrmsg("close_syscmd: wait() failed (errno=%d)", err);
    // Only a group that run_syscmd made: -1 and 1 would signal every process.
    if (pid > 1 && kill(-pid, SIGKILL) != 0)
        kelp::set_usrmsg("close_syscmd: kill(-%ld) failed (errno=%d)", static_cast<long>(pid),
                         errno);
    return err;
}

}  // extern "C"
