// Child commands: start one with its standard streams on two pipes or on a
// new pseudo-terminal.
#include "proc/proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace {

using kelp::proc::Plan;
using kelp::proc::Report;

constexpr char ptmx_path[] = "/dev/ptmx";
constexpr char default_search_path[] = "/bin:/usr/bin";  // execvp's, without PATH

// What run_syscmd has obtained so far, in the caller's three places, and
// what its child reported. Unless done, the end of the scope undoes it: a
// started child's group is killed and the child reaped, the descriptors are
// closed, and their numbers stay where they are.
class Started {
  public:
    Started(int *rfd, int *wfd, int *pid) : rfd(*rfd), wfd(*wfd), pid(*pid) {
        this->rfd = this->wfd = this->pid = -1;
    }
    ~Started() {
        if (done_)
            return;
        kelp::SavedErrno keep;
        if (pid > 0) {
            const bool reaped = kelp::proc::forget(pid);
            kill(-pid, SIGKILL);
            if (!reaped)
                waitpid(pid, nullptr, 0);
        }
        if (rfd >= 0)
            close(rfd);
        if (wfd >= 0 && wfd != rfd)
            close(wfd);
    }
    Started(const Started &) = delete;
    Started &operator=(const Started &) = delete;
    void done() { done_ = true; }

    int &rfd;
    int &wfd;
    int &pid;
    Report report;

  private:
    bool done_ = false;
};

// Makes the child; a failure is named with the mode's prefix.
int start_child(const Plan &plan, Started &s, const char *prefix) {
    const char *failed_call = nullptr;
    s.pid = kelp::proc::spawn(plan, &s.report, &failed_call);
    if (s.pid < 0) {
        kelp::set_usrmsg("%s: %s() failed (errno=%d)", prefix, failed_call, errno);
        return -1;
    }
    return 0;
}

int start_pipe(Plan &plan, Started &s) {
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
    s.rfd = r_read.release();
    s.wfd = w_write.release();
    plan.in_fd = w_read.get();
    plan.out_fd = r_write.get();
    return start_child(plan, s, "run_pipe_cmd");
}

int start_pty(Plan &plan, Started &s) {
    int master = kelp::proc::lift_fd(open(ptmx_path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master < 0) {
        kelp::set_usrmsg("run_pty_app: open(%s) failed (errno=%d)", ptmx_path, errno);
        return -1;
    }
    s.wfd = s.rfd = master;
    plan.pty = true;
    plan.master = master;
    // Returns once the child has exec'd, so it holds the terminal: a first
    // read of the master cannot fail with EIO for want of a slave.
    return start_child(plan, s, "run_pty_app");
}

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

}  // namespace

extern "C" {

// Starts command (through the shell) or argv (execvp; command then unused) as
// a child. Returns 0 with the caller's read and write descriptors (one
// pseudo-terminal master with RUN_PTY) and the child's pid, which
// close_syscmd takes back; -1 with a message in gnl_usrmsg, nothing left
// open and no child left running, *rfd, *wfd and *pid keeping the numbers
// they had reached. A step that fails inside the child is traced with the
// child's pid before the return and becomes its exit code.
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
    if (argv == nullptr) {
        plan.shell = true;
        plan.argv = shell_argv;
        plan.file = shell_argv[0];
    } else {
        plan.argv = argv;
        plan.file = argv[0] != nullptr ? argv[0] : "";
        const char *search = getenv("PATH");
        plan.search_path = search != nullptr ? search : default_search_path;
    }

    const int rc = (flags & RUN_PTY) != 0 ? start_pty(plan, started) : start_pipe(plan, started);
    if (rc != 0)
        return -1;
    const Report &report = started.report;
    if (report.record != nullptr) {
        kelp::proc::trace_failure(*pid, report, plan.file);
        kelp::proc::trace_end(*pid, plan.pty, report.err());
    } else if (plan.shell) {
        kelp::trace_as(*pid, kelp::lvl_dbg, "issue_cmd: calling system(%s)",
                       command != nullptr ? command : "(null)");
    }
    if ((flags & RUN_NONBLOCK) != 0 && set_nonblocking(*rfd) != 0)
        return -1;
    started.done();
    return 0;
}

}  // extern "C"
