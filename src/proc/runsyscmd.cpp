// Child commands: start one with its standard streams on two pipes or on a
// new pseudo-terminal.
#include "proc/proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace kelp::proc {

void trace_failure(pid_t pid, const Report &r, const char *file) {
    const int e = r.err;
    switch (r.step) {
        case Step::none:
            break;
        case Step::setsid:
            trace_as(pid, lvl_err, "run_pty_child: setsid() failed (errno=%d)", e);
            break;
        case Step::grantpt:
            trace_as(pid, lvl_err, "run_pty_child: grantpt() failed (errno=%d)", e);
            break;
        case Step::unlockpt:
            trace_as(pid, lvl_err, "run_pty_child: unlockpt() failed (errno=%d)", e);
            break;
        case Step::ptsname:
            trace_as(pid, lvl_err, "run_pty_child: Failed to get slave tty (errno=%d)", e);
            break;
        case Step::open_slave:
            trace_as(pid, lvl_err, "run_pty_child: open(/dev/pts/%d) failed (errno=%d)", r.arg1, e);
            break;
        case Step::tcsetattr:
            trace_as(pid, lvl_err, "tcsetattr(align) failed [errno=%d]", e);
            break;
        case Step::winsize:
            trace_as(pid, lvl_err, "ioctl(TIOCSWINSZ) failed [errno=%d]", e);
            break;
        case Step::dup2_pty:
            trace_as(pid, lvl_err, "run_pty_child: dup2(%d,%d) failed (errno=%d)", r.arg1, r.arg2,
                     e);
            break;
        case Step::dup2_stdin:
            trace_as(pid, lvl_err, "run_pipe_child: dup2(stdin) failed (errno=%d)", e);
            break;
        case Step::dup2_stdout:
            trace_as(pid, lvl_err, "run_pipe_child: dup2(stdout) failed (errno=%d)", e);
            break;
        case Step::dup2_stderr:
            trace_as(pid, lvl_err, "run_pipe_child: dup2(stderr) failed (errno=%d)", e);
            break;
        case Step::exec:
            trace_as(pid, lvl_err, "issue_cmd: execvp(%s) failed (errno=%d)", file, e);
            break;
    }
}

}  // namespace kelp::proc

namespace {

using kelp::proc::Plan;
using kelp::proc::Report;

constexpr char ptmx_path[] = "/dev/ptmx";
constexpr char default_search_path[] = "/bin:/usr/bin";  // execvp's, without PATH

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
            kelp::proc::forget(*pid_);
            kill(-*pid_, SIGKILL);
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

int start_pipe(Plan &plan, int *rfd, int *wfd, int *pid, Report *report, bool command_line) {
    int rp[2];
    int wp[2];
    if (!kelp::proc::make_pipe(rp)) {
        kelp::set_usrmsg("run_pipe_cmd: pipe(R) failed (errno=%d)", errno);
        return -1;
    }
    kelp::UniqueFd r_read(rp[0]), r_write(rp[1]);
    if (!kelp::proc::make_pipe(wp)) {
        kelp::set_usrmsg("run_pipe_cmd: pipe(W) failed (errno=%d)", errno);
        return -1;
    }
    kelp::UniqueFd w_read(wp[0]), w_write(wp[1]);
    *rfd = r_read.release();
    *wfd = w_write.release();

    plan.in_fd = w_read.get();
    plan.out_fd = r_write.get();
    *pid = kelp::proc::spawn(plan, report, command_line);
    if (*pid < 0) {
        kelp::set_usrmsg("run_pipe_cmd: fork() failed (errno=%d)", errno);
        return -1;
    }
    return 0;
}

int start_pty(Plan &plan, int *rfd, int *wfd, int *pid, Report *report, bool command_line) {
    int master = kelp::proc::lift_fd(open(ptmx_path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master < 0) {
        kelp::set_usrmsg("run_pty_app: open(%s) failed (errno=%d)", ptmx_path, errno);
        return -1;
    }
    *wfd = *rfd = master;
    plan.pty = true;
    plan.master = master;
    // Returns once the child has exec'd, so it holds the terminal: a first
    // read of the master cannot fail with EIO for want of a slave.
    *pid = kelp::proc::spawn(plan, report, command_line);
    if (*pid < 0) {
        kelp::set_usrmsg("run_pty_app: fork() failed (errno=%d)", errno);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" {

// Starts command (through the shell) or argv (execvp; command then unused) as
// a child. Returns 0 with the caller's read and write descriptors (one
// pseudo-terminal master with RUN_PTY) and the child's pid, which
// close_syscmd takes back; -1 with a message in gnl_usrmsg, nothing left
// open and no child left running. A step that fails inside the child is
// traced with the child's pid before the return and becomes its exit code.
int run_syscmd(const char *command, char *const argv[], int *rfd, int *wfd, int *pid,
               const struct termios *tios, const struct winsize *ws, int flags) {
    if (rfd == nullptr || wfd == nullptr || pid == nullptr) {
        kelp::set_usrmsg("run_syscmd: no place for the descriptors or the pid");
        return -1;
    }
    Started started(rfd, wfd, pid);

    Plan plan;
    plan.flags = flags;
    plan.tios = tios;
    plan.ws = ws;
    plan.envp = environ;
    // system(NULL) asks whether there is a shell: it succeeds with 0.
    const char *line = command != nullptr ? command : "exit 0";
    char *shell_argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>(line), nullptr};
    const bool command_line = argv == nullptr;
    if (command_line) {
        plan.shell = true;
        plan.argv = shell_argv;
        plan.file = shell_argv[0];
    } else {
        plan.argv = argv;
        plan.file = argv[0] != nullptr ? argv[0] : "";
        const char *search = getenv("PATH");
        plan.search_path = search != nullptr ? search : default_search_path;
    }

    Report report;
    int rc = (flags & RUN_PTY) != 0 ? start_pty(plan, rfd, wfd, pid, &report, command_line)
                                    : start_pipe(plan, rfd, wfd, pid, &report, command_line);
    if (rc != 0)
        return -1;
    if (report.step != kelp::proc::Step::none) {
        kelp::proc::trace_failure(*pid, report, plan.file);
        kelp::trace_as(*pid, kelp::lvl_dbg,
                       (flags & RUN_PTY) != 0 ? "run_pty_app: run_pty_child() returned %d"
                                              : "run_pipe_app: run_pipe_child() returned %d",
                       report.err);
    } else if (command_line) {
        kelp::trace_as(*pid, kelp::lvl_dbg, "issue_cmd: calling system(%s)",
                       command != nullptr ? command : "(null)");
    }
    if ((flags & RUN_NONBLOCK) != 0 && set_nonblocking(*rfd) != 0)
        return -1;
    started.done();
    return 0;
}

}  // extern "C"
