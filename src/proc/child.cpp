// The child of run_syscmd, from clone to exec. It shares the caller's memory
// and runs while the calling thread waits, but the caller's other threads go
// on: so it makes system calls and nothing else. No allocation, no stdio, no
// lock, no library state, and no libc wrapper that a sanitizer intercepts
// (its bookkeeping belongs to the caller's thread).
#include "proc/proc.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>

#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

namespace kelp::proc {
namespace {

// Frames of the child and its path buffer; the script's argument vector
// comes below them.
constexpr size_t child_stack_bytes = 32 * 1024;
constexpr char shell_path[] = "/bin/sh";

// The kernel's sigaction record. All zero is SIG_DFL, no flags, no mask on
// every layout; only the handler, which comes first, is ever read.
struct KernelSigaction {
    unsigned long handler = 0;
    unsigned long flags = 0;
    unsigned long restorer = 0;
    unsigned long mask = 0;
};
constexpr long kernel_sigset_bytes = 8;

// A system call: its result, or minus its errno.
CHILD_CODE long sys(long nr, long a = 0, long b = 0, long c = 0, long d = 0) {
    long r = syscall(nr, a, b, c, d);
    return r == -1 ? -errno : r;
}

template <class T>
CHILD_CODE long arg(T *p) {
    return reinterpret_cast<long>(p);
}

[[noreturn]] CHILD_CODE void end(long code) {
    for (;;)
        sys(SYS_exit_group, code);
}

[[noreturn]] CHILD_CODE void fail(const Plan &p, Step step, long err, int arg1 = 0, int arg2 = 0) {
    Report r;
    r.step = step;
    r.err = static_cast<int>(err);
    r.arg1 = arg1;
    r.arg2 = arg2;
    sys(SYS_write, p.report_fd, arg(&r), sizeof r);
    end(err);
}

// The command starts with SIGPIPE, SIGUSR1, SIGUSR2 and SIGCHLD at their
// default action and nothing blocked. Caught signals go back to their
// default too: a handler of the caller must never run on this stack.
CHILD_CODE void reset_signals() {
    for (int sig = 1; sig < _NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        KernelSigaction now;
        if (sys(SYS_rt_sigaction, sig, 0, arg(&now), kernel_sigset_bytes) < 0)
            continue;
        const auto dfl = reinterpret_cast<unsigned long>(SIG_DFL);
        const auto ign = reinterpret_cast<unsigned long>(SIG_IGN);
        bool forced = sig == SIGPIPE || sig == SIGUSR1 || sig == SIGUSR2 || sig == SIGCHLD;
        if (now.handler == dfl || (now.handler == ign && !forced))
            continue;
        KernelSigaction deflt;
        sys(SYS_rt_sigaction, sig, arg(&deflt), 0, kernel_sigset_bytes);
    }
    unsigned long none = 0;
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&none), 0, kernel_sigset_bytes);
}

// Standard input from in_fd, standard output to out_fd; both sit above 2
// and close at exec.
CHILD_CODE void pipe_child(const Plan &p) {
    // A group of its own, so that a kill of the group reaches the command
    // and whatever it started, and nothing of the caller's.
    sys(SYS_setpgid, 0, 0);
    long r;
    if ((r = sys(SYS_dup3, p.in_fd, 0, 0)) < 0)
        fail(p, Step::dup2_stdin, -r);
    if ((r = sys(SYS_dup3, p.out_fd, 1, 0)) < 0)
        fail(p, Step::dup2_stdout, -r);
    if ((p.flags & RUN_STDERR) != 0 && (r = sys(SYS_dup3, 1, 2, 0)) < 0)
        fail(p, Step::dup2_stderr, -r);
}

CHILD_CODE char *put_text(char *out, const char *text) {
    while (*text != '\0')
        *out++ = *text++;
    return out;
}

CHILD_CODE char *put_number(char *out, unsigned n) {
    char digits[12];
    int k = 0;
    do
        digits[k++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    while (k > 0)
        *out++ = digits[--k];
    return out;
}

// A new session whose controlling terminal is the slave side, which becomes
// standard input and output (and error with RUN_STDERR).
CHILD_CODE void pty_child(const Plan &p) {
    long r;
    if ((r = sys(SYS_setsid)) < 0)
        fail(p, Step::setsid, -r);
    // devpts gives the slave its owner and mode: what is left to grant is
    // the check that the descriptor is a master.
    unsigned n = 0;
    if ((r = sys(SYS_ioctl, p.master, TIOCGPTN, arg(&n))) < 0)
        fail(p, Step::grantpt, r == -ENOTTY ? EINVAL : -r);
    int unlock = 0;
    if ((r = sys(SYS_ioctl, p.master, TIOCSPTLCK, arg(&unlock))) < 0)
        fail(p, Step::unlockpt, -r);
    if ((r = sys(SYS_ioctl, p.master, TIOCGPTN, arg(&n))) < 0)
        fail(p, Step::ptsname, -r);
    char name[32];
    *put_number(put_text(name, "/dev/pts/"), n) = '\0';
    sys(SYS_close, p.master);

    // Without O_NOCTTY: opening it makes it the session's controlling terminal.
    long slave = sys(SYS_openat, AT_FDCWD, arg(name), O_RDWR | O_CLOEXEC);
    if (slave < 0)
        fail(p, Step::open_slave, -slave, static_cast<int>(n));
    // tcsetattr is async-signal-safe, and converts the record for the kernel.
    if (p.tios != nullptr && tcsetattr(static_cast<int>(slave), TCSAFLUSH, p.tios) != 0)
        fail(p, Step::tcsetattr, errno);
    if (p.ws != nullptr && (r = sys(SYS_ioctl, slave, TIOCSWINSZ, arg(p.ws))) < 0)
        fail(p, Step::winsize, -r);
    int h = (p.flags & RUN_STDERR) != 0 ? 2 : 1;
    for (int d = 0; d <= h; ++d)
        if (d != slave && (r = sys(SYS_dup3, slave, d, 0)) < 0)
            fail(p, Step::dup2_pty, -r, static_cast<int>(slave), d);
    if (slave <= h)  // then it is one of the command's own descriptors
        sys(SYS_fcntl, slave, F_SETFD, 0);
}

// A file that the system cannot execute is run as a shell script, as execvp
// does: /bin/sh, the file, the arguments after argv[0].
CHILD_CODE long exec_script(const Plan &p, const char *file) {
    char **a = p.script_argv;
    a[0] = const_cast<char *>(shell_path);
    a[1] = const_cast<char *>(file);
    for (int i = 1;; ++i) {
        a[i + 1] = p.argv[i];
        if (p.argv[i] == nullptr)
            break;
    }
    return sys(SYS_execve, arg(shell_path), arg(a), arg(p.envp));
}

// execvp: returns the errno with which it failed.
CHILD_CODE long exec_program(const Plan &p) {
    const char *file = p.file;
    if (file[0] == '\0')
        return ENOENT;
    size_t len = 0;
    bool slash = false;
    for (; file[len] != '\0'; ++len)
        slash = slash || file[len] == '/';
    if (slash) {
        long r = sys(SYS_execve, arg(file), arg(p.argv), arg(p.envp));
        return -(r == -ENOEXEC ? exec_script(p, file) : r);
    }
    if (len > NAME_MAX)
        return ENAMETOOLONG;

    char path[PATH_MAX + NAME_MAX + 2];
    bool denied = false;
    long err = ENOENT;
    for (const char *dir = p.search_path;;) {
        const char *stop = dir;
        while (*stop != '\0' && *stop != ':')
            ++stop;
        if (stop - dir <= PATH_MAX) {
            char *at = path;
            for (const char *c = dir; c != stop; ++c)
                *at++ = *c;
            if (at != path)  // an empty entry is the current directory
                *at++ = '/';
            *put_text(at, file) = '\0';
            err = -sys(SYS_execve, arg(path), arg(p.argv), arg(p.envp));
            switch (err) {
                case EACCES:
                    denied = true;
                    break;
                case ENOENT:
                case ESTALE:
                case ENOTDIR:
                case ENODEV:
                case ETIMEDOUT:
                    break;
                case ENOEXEC:
                    return -exec_script(p, path);
                default:
                    return err;
            }
        }
        if (*stop == '\0')
            break;
        dir = stop + 1;
    }
    return denied ? EACCES : err;
}

[[noreturn]] CHILD_CODE int child_main(void *plan) {
    Plan &p = *static_cast<Plan *>(plan);
    p.ran = 1;
    if (p.pty)
        pty_child(p);
    else
        pipe_child(p);
    reset_signals();
    if (p.shell) {
        // As system() runs it: a shell that cannot be run ends with 127.
        sys(SYS_execve, arg(shell_path), arg(p.argv), arg(p.envp));
        end(127);
    }
    fail(p, Step::exec, exec_program(p));
}

}  // namespace

int lift_fd(int fd) {
    if (fd < 0 || fd > 2)
        return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    SavedErrno keep;
    close(fd);
    return high;
}

bool make_pipe(int fds[2], int flags) {
    if (pipe2(fds, O_CLOEXEC | flags) != 0)
        return false;
    fds[0] = lift_fd(fds[0]);
    fds[1] = lift_fd(fds[1]);
    if (fds[0] >= 0 && fds[1] >= 0)
        return true;
    UniqueFd made[] = {UniqueFd(fds[0]), UniqueFd(fds[1])};  // closed, errno kept
    return false;
}

pid_t spawn(Plan &plan, Report *report, bool command_line) {
    int rep[2];
    if (!make_pipe(rep, O_NONBLOCK))
        return -1;
    UniqueFd from_child(rep[0]), to_caller(rep[1]);

    size_t argc = 0;
    while (plan.argv[argc] != nullptr)
        ++argc;
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = (child_stack_bytes + (argc + 2) * sizeof(char *) + page - 1) / page * page;
    void *mem =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mem == MAP_FAILED)
        return -1;
    plan.script_argv = static_cast<char **>(mem);
    plan.report_fd = to_caller.get();
    plan.ran = 0;

    // Every signal blocked across clone: no handler of the caller may run in
    // the child. The child sets its own mask before exec.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    spawn_begin();
    pid_t pid =
        clone(child_main, static_cast<char *>(mem) + size, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    SavedErrno clone_errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    munmap(mem, size);
    to_caller.reset();
    if (pid < 0) {
        spawn_end(-1, Kind::program);
        return -1;
    }

    // The child has exec'd or ended by now. A child that ran as a copy (as
    // under valgrind) may not have: then wait for exec or its report.
    if (plan.ran == 0) {
        pollfd pfd = {from_child.get(), POLLIN, 0};
        while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
        }
    }
    Report r;
    bool failed = read(from_child.get(), &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    Kind kind = failed          ? Kind::ended
                : !command_line ? Kind::program
                : plan.pty      ? Kind::pty_shell
                                : Kind::pipe_shell;
    spawn_end(pid, kind);
    if (failed)
        *report = r;
    return pid;
}

}  // namespace kelp::proc
