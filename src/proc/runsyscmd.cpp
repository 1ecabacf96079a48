// Child commands: start one with its standard streams on two pipes or on a
// new pseudo-terminal.
#include "core/internal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <utility>

namespace {

constexpr int lvl_err = 1;
constexpr int lvl_dbg = 4;
constexpr char ptmx_path[] = "/dev/ptmx";

// An ERR record from the child, where nobody reads gnl_usrmsg; returns rc so
// that a failing step reports and yields its exit code in one statement.
int errtrc(int rc, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int errtrc(int rc, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list *pap = &ap;
    dbgtrc(lvl_err, TRC_VALIST, fmt, pap);
    va_end(ap);
    return rc;
}

// Ends the child. _exit, not exit: stdio buffers inherited from the caller
// must not be written a second time; the trace's own stream is flushed.
[[noreturn]] void end_child(const char *fmt, int code) {
    dbgtrc(lvl_dbg, 0, fmt, code);
    kelp::trace_flush();
    _exit(code);
}

int issue_cmd(const char *command, char *const argv[]) {
    if (argv != nullptr) {
        execvp(argv[0], argv);
        return errtrc(errno, "issue_cmd: execvp(%s) failed (errno=%d)", argv[0], errno);
    }
    dbgtrc(lvl_dbg, 0, "issue_cmd: calling system(%s)", command);
    int rc = system(command);
    if (rc == -1)
        return errtrc(errno, "issue_cmd: system(%s) failed (retval=%d, errno=%d)", command, rc,
                      errno);
    return rc >> 8;
}

// The library's descriptors are close-on-exec; one that already sits where
// the command expects it must lose that flag to survive execvp.
void keep_across_exec(int fd) {
    fcntl(fd, F_SETFD, 0);
}

// The pipe-mode child: r becomes standard input, w standard output.
int run_pipe_child(const char *command, char *const argv[], int r, int w, int flags) {
    if (w == 0) {
        w = dup(0);
        if (w < 0)
            return errtrc(errno, "run_pipe_child: dup(wpipe) failed (errno=%d)", errno);
    }
    if (r != 0) {
        if (dup2(r, 0) < 0)
            return errtrc(errno, "run_pipe_child: dup2(stdin) failed (errno=%d)", errno);
    } else {
        keep_across_exec(0);
    }
    if (w != 1) {
        if (dup2(w, 1) < 0)
            return errtrc(errno, "run_pipe_child: dup2(stdout) failed (errno=%d)", errno);
    } else {
        keep_across_exec(1);
    }
    if ((flags & RUN_STDERR) != 0 && dup2(1, 2) < 0)
        return errtrc(errno, "run_pipe_child: dup2(stderr) failed (errno=%d)", errno);
    int h = (flags & RUN_STDERR) != 0 ? 2 : 1;
    if (r > h)
        close(r);
    if (w > h)
        close(w);
    return issue_cmd(command, argv);
}

// grantpt may run a helper and wait for it: SIGCHLD must not be ignored
// meanwhile. The caller's action is back in place whatever grantpt did.
int grantpt_default_sigchld(int master) {
    struct sigaction dfl {};
    struct sigaction old {};
    sigaction(SIGCHLD, &dfl, &old);
    int rc = grantpt(master);
    kelp::SavedErrno keep;
    sigaction(SIGCHLD, &old, nullptr);
    return rc;
}

// The pseudo-terminal child: a new session whose controlling terminal is the
// slave side, which becomes standard input and output. Closing ready tells
// the caller that the terminal is set up.
int run_pty_child(const char *command, char *const argv[], int master, const struct termios *tios,
                  const struct winsize *ws, int flags, int ready) {
    if (setsid() < 0)
        return errtrc(errno, "run_pty_child: setsid() failed (errno=%d)", errno);
    if (grantpt_default_sigchld(master) != 0)
        return errtrc(errno, "run_pty_child: grantpt() failed (errno=%d)", errno);
    if (unlockpt(master) != 0)
        return errtrc(errno, "run_pty_child: unlockpt() failed (errno=%d)", errno);
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0)
        return errtrc(errno, "run_pty_child: Failed to get slave tty (errno=%d)", errno);
    close(master);

    // Without O_NOCTTY: opening it makes it the session's controlling terminal.
    int slave = open(name, O_RDWR);
    if (slave < 0)
        return errtrc(errno, "run_pty_child: open(%s) failed (errno=%d)", name, errno);
    if (tios != nullptr && tcsetattr(slave, TCSAFLUSH, tios) != 0)
        return errtrc(errno, "tcsetattr(align) failed [errno=%d]", errno);
    if (ws != nullptr && ioctl(slave, TIOCSWINSZ, ws) != 0)
        return errtrc(errno, "ioctl(TIOCSWINSZ) failed [errno=%d]", errno);
    int h = (flags & RUN_STDERR) != 0 ? 2 : 1;
    for (int d = 0; d <= h; ++d) {
        if (d != slave && dup2(slave, d) < 0)
            return errtrc(errno, "run_pty_child: dup2(%d,%d) failed (errno=%d)", slave, d, errno);
    }
    if (slave > h)
        close(slave);
    if (ready >= 0)
        close(ready);
    return issue_cmd(command, argv);
}

// Until the child holds the slave side, a read of the master fails with EIO,
// a close of the master destroys the terminal under the child, and input
// written to it is flushed by the settings: wait for the child's word.
void await_ready(kelp::UniqueFd ready) {
    char c;
    while (read(ready.get(), &c, 1) < 0 && errno == EINTR) {
    }
}

// What the caller has obtained so far; on failure the started child is killed
// and every descriptor closed, while *rfd, *wfd and *pid keep their values.
class Started {
  public:
    Started(int *rfd, int *wfd, int *pid) : rfd_(rfd), wfd_(wfd), pid_(pid) {
        *rfd_ = *wfd_ = *pid_ = -1;
    }
    ~Started() {
        if (done_)
            return;
        kelp::SavedErrno keep;
        if (*pid_ > 0) {
            // A pseudo-terminal child may not lead its group yet.
            if (kill(-*pid_, SIGKILL) != 0)
                kill(*pid_, SIGKILL);
            waitpid(*pid_, nullptr, 0);
        }
        if (*rfd_ >= 0)
            close(*rfd_);
        if (*wfd_ >= 0 && *wfd_ != *rfd_)
            close(*wfd_);
    }
    Started(const Started &) = delete;
    Started &operator=(const Started &) = delete;
    void done() { done_ = true; }

  private:
    int *rfd_;
    int *wfd_;
    int *pid_;
    bool done_ = false;
};

int set_nonblocking(int fd) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) {
        kelp::set_usrmsg("run_syscmd: fcntl(GETFL) failed (errno=%d)", errno);
        return -1;
    }
    if ((fl & O_NONBLOCK) != 0)
        return 0;
    if (fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) {
        kelp::set_usrmsg("run_syscmd: fcntl(SETFL) failed (errno=%d)", errno);
        return -1;
    }
    return 0;
}

// The child only ever leaves through end_child. A stream that the trace holds
// is flushed first, so the child does not write the caller's pending text.
pid_t fork_child() {
    kelp::trace_flush();
    return fork();
}

int start_pipe(const char *command, char *const argv[], int *rfd, int *wfd, int *pid, int flags) {
    int rp[2];
    int wp[2];
    if (pipe2(rp, O_CLOEXEC) != 0) {
        kelp::set_usrmsg("run_pipe_cmd: pipe(R) failed (errno=%d)", errno);
        return -1;
    }
    kelp::UniqueFd r_read(rp[0]), r_write(rp[1]);
    if (pipe2(wp, O_CLOEXEC) != 0) {
        kelp::set_usrmsg("run_pipe_cmd: pipe(W) failed (errno=%d)", errno);
        return -1;
    }
    kelp::UniqueFd w_read(wp[0]), w_write(wp[1]);
    *rfd = r_read.release();
    *wfd = w_write.release();

    *pid = fork_child();
    if (*pid < 0) {
        kelp::set_usrmsg("run_pipe_cmd: fork() failed (errno=%d)", errno);
        return -1;
    }
    if (*pid == 0) {
        close(*rfd);
        close(*wfd);
        // A group of its own, so that a kill of the group reaches the command
        // and whatever it started, and nothing of the caller's.
        setpgid(0, 0);
        int code = run_pipe_child(command, argv, w_read.release(), r_write.release(), flags);
        end_child("run_pipe_app: run_pipe_child() returned %d", code);
    }
    // Both sides set the group: whichever runs first, it exists on return.
    setpgid(*pid, *pid);
    return 0;
}

int start_pty(const char *command, char *const argv[], int *rfd, int *wfd, int *pid,
              const struct termios *tios, const struct winsize *ws, int flags) {
    int master = open(ptmx_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        kelp::set_usrmsg("run_pty_app: open(%s) failed (errno=%d)", ptmx_path, errno);
        return -1;
    }
    *wfd = *rfd = master;
    // Without descriptors to spare the caller simply does not wait.
    int sync[2] = {-1, -1};
    if (pipe2(sync, O_CLOEXEC) != 0)
        sync[0] = sync[1] = -1;
    kelp::UniqueFd ready_read(sync[0]), ready_write(sync[1]);

    *pid = fork_child();
    if (*pid < 0) {
        kelp::set_usrmsg("run_pty_app: fork() failed (errno=%d)", errno);
        return -1;
    }
    if (*pid == 0) {
        ready_read.reset();
        int code = run_pty_child(command, argv, master, tios, ws, flags, ready_write.release());
        end_child("run_pty_app: run_pty_child() returned %d", code);
    }
    ready_write.reset();
    if (ready_read)
        await_ready(std::move(ready_read));
    return 0;
}

}  // namespace

extern "C" {

// Starts command (through the shell) or argv (execvp; command then unused) as
// a child. Returns 0 with the caller's read and write descriptors (one
// pseudo-terminal master with RUN_PTY) and the child's pid, which
// close_syscmd takes back; -1 with a message in gnl_usrmsg, nothing left
// open and no child left running. Failures inside the child go to the trace
// and become its exit code.
int run_syscmd(const char *command, char *const argv[], int *rfd, int *wfd, int *pid,
               const struct termios *tios, const struct winsize *ws, int flags) {
    if (rfd == nullptr || wfd == nullptr || pid == nullptr) {
        kelp::set_usrmsg("run_syscmd: no place for the descriptors or the pid");
        return -1;
    }
    Started started(rfd, wfd, pid);
    int rc = (flags & RUN_PTY) != 0 ? start_pty(command, argv, rfd, wfd, pid, tios, ws, flags)
                                    : start_pipe(command, argv, rfd, wfd, pid, flags);
    if (rc != 0)
        return -1;
    if ((flags & RUN_NONBLOCK) != 0 && set_nonblocking(*rfd) != 0)
        return -1;
    started.done();
    return 0;
}

}  // extern "C"
