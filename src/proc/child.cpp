// The child of run_syscmd, from clone to exec. It shares the caller's memory
// and runs while the calling thread waits, but the caller's other threads go
// on: so it makes raw system calls and nothing else. No C library function
// (not even one that sets errno, which is the calling thread's), no
// allocation, no lock, no library state, and no code of a sanitizer, whose
// bookkeeping belongs to the caller's thread. The caller prepares whatever
// the child reads.
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

// Records the kernel reads and writes itself, in its layout rather than the
// C library's: all zero is SIG_DFL with no flags and no mask, and of a
// sigaction only the handler is ever read. Its termios (TCSETS*) has 19
// control characters and no speed fields.
struct KernelSigaction {
    unsigned long handler = 0;
    unsigned long flags = 0;
    unsigned long restorer = 0;
    unsigned long mask = 0;
};
struct KernelTermios {
    tcflag_t iflag, oflag, cflag, lflag;
    cc_t line;
    cc_t cc[19];
};
constexpr long kernel_sigset_bytes = 8;
#if defined(__x86_64__)
// x86_64: sigaction is handler, flags, restorer, mask, each 8 bytes; the
// signal set has one bit for each of 64 signals.
static_assert(sizeof(KernelSigaction) == 32 && offsetof(KernelSigaction, handler) == 0);
static_assert((_NSIG - 1) / 8 == kernel_sigset_bytes);
static_assert(sizeof(KernelTermios) == 36 && NCCS >= 19);
#elif defined(__aarch64__)
// aarch64 (the kernel's generic layout, with SA_RESTORER): the same.
static_assert(sizeof(KernelSigaction) == 32 && offsetof(KernelSigaction, handler) == 0);
static_assert((_NSIG - 1) / 8 == kernel_sigset_bytes);
static_assert(sizeof(KernelTermios) == 36 && NCCS >= 19);
#else
#error "state the kernel's sigaction, signal set and termios layouts for this architecture"
#endif

// A system call: its result, or minus its errno. errno stays as it was.
CHILD_CODE inline long sys(long nr, long a = 0, long b = 0, long c = 0, long d = 0) {
#if defined(__x86_64__)
    register long r10 __asm__("r10") = d;
    long ret;
    __asm__ volatile("syscall"
                     : "=a"(ret)
                     : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10)
                     : "rcx", "r11", "memory");
    return ret;
#elif defined(__aarch64__)
    register long x8 __asm__("x8") = nr;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
    return x0;
#endif
}

template <class T>
CHILD_CODE long arg(T *p) {
    return reinterpret_cast<long>(p);
}

// What the child reads: the caller's plan and what spawn prepared for it.
struct Launch {
    const Plan *plan;
    KernelTermios tios;
    char **script_argv;  // room for argc + 2 pointers
    int report_fd;
    volatile int ran;  // set by a child that shares this memory
};

[[noreturn]] CHILD_CODE void end(long code) {
    for (;;)
        sys(SYS_exit_group, code);
}

CHILD_CODE void send(const Launch &l, const Report &r) {
    sys(SYS_write, l.report_fd, arg(&r), sizeof r);
}

// The step failed: record (printf-style, %d only) takes the numbers in
// order, the step's errno last, which is also the child's exit code.
template <class... Numbers>
[[noreturn]] CHILD_CODE void fail(const Launch &l, const char *record, Numbers... numbers) {
    static_assert(sizeof...(numbers) >= 1 && sizeof...(numbers) <= 3);
    Report r;
    r.record = record;
    r.count = 0;
    ((r.numbers[r.count++] = static_cast<int>(numbers)), ...);
    send(l, r);
    end(r.numbers[r.count - 1]);
}

// The command starts with SIGPIPE, SIGUSR1, SIGUSR2 and SIGCHLD at their
// default action and nothing blocked. Caught signals go back to their
// default too: a handler of the caller must never run on this stack.
CHILD_CODE void reset_signals() {
    for (int sig = 1; sig < _NSIG; ++sig) {  // SIGKILL and SIGSTOP are always at their default
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
CHILD_CODE void pipe_child(const Launch &l) {
    const Plan &p = *l.plan;
    // A group of its own, so that a kill of the group reaches the command
    // and whatever it started, and nothing of the caller's.
    sys(SYS_setpgid, 0, 0);
    long r;
    if ((r = sys(SYS_dup3, p.in_fd, 0, 0)) < 0)
        fail(l, "run_pipe_child: dup2(stdin) failed (errno=%d)", -r);
    if ((r = sys(SYS_dup3, p.out_fd, 1, 0)) < 0)
        fail(l, "run_pipe_child: dup2(stdout) failed (errno=%d)", -r);
    if ((p.flags & RUN_STDERR) != 0 && (r = sys(SYS_dup3, 1, 2, 0)) < 0)
        fail(l, "run_pipe_child: dup2(stderr) failed (errno=%d)", -r);
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
    while (k != 0)
        *out++ = digits[--k];
    return out;
}

// A new session whose controlling terminal is the slave side, which becomes
// standard input and output (and error with RUN_STDERR).
CHILD_CODE void pty_child(const Launch &l) {
    const Plan &p = *l.plan;
    long r;
    if ((r = sys(SYS_setsid)) < 0)
        fail(l, "run_pty_child: setsid() failed (errno=%d)", -r);
    // devpts gives the slave its owner and mode: what is left to grant is
    // the check that the descriptor is a master.
    unsigned n = 0;
    if ((r = sys(SYS_ioctl, p.master, TIOCGPTN, arg(&n))) < 0)
        fail(l, "run_pty_child: grantpt() failed (errno=%d)", r == -ENOTTY ? EINVAL : -r);
    int unlock = 0;
    if ((r = sys(SYS_ioctl, p.master, TIOCSPTLCK, arg(&unlock))) < 0)
        fail(l, "run_pty_child: unlockpt() failed (errno=%d)", -r);
    if ((r = sys(SYS_ioctl, p.master, TIOCGPTN, arg(&n))) < 0)
        fail(l, "run_pty_child: Failed to get slave tty (errno=%d)", -r);
    char name[32];
    *put_number(put_text(name, "/dev/pts/"), n) = '\0';
    sys(SYS_close, p.master);

    // Without O_NOCTTY: opening it makes it the session's controlling terminal.
    long slave = sys(SYS_openat, AT_FDCWD, arg(name), O_RDWR | O_CLOEXEC);
    if (slave < 0)
        fail(l, "run_pty_child: open(/dev/pts/%d) failed (errno=%d)", n, -slave);
    if (p.tios != nullptr && (r = sys(SYS_ioctl, slave, TCSETSF, arg(&l.tios))) < 0)
        fail(l, "tcsetattr(align) failed [errno=%d]", -r);
    if (p.ws != nullptr && (r = sys(SYS_ioctl, slave, TIOCSWINSZ, arg(p.ws))) < 0)
        fail(l, "ioctl(TIOCSWINSZ) failed [errno=%d]", -r);
    int h = (p.flags & RUN_STDERR) != 0 ? 2 : 1;
    for (int d = 0; d <= h; ++d)
        if (d == slave)  // one of the command's own: kept at exec
            sys(SYS_fcntl, slave, F_SETFD, 0);
        else if ((r = sys(SYS_dup3, slave, d, 0)) < 0)
            fail(l, "run_pty_child: dup2(%d,%d) failed (errno=%d)", slave, d, -r);
}

// A file that the system cannot execute is run as a shell script, as execvp
// does: /bin/sh, the file, the arguments after argv[0].
CHILD_CODE long exec_script(const Launch &l, const char *file) {
    const Plan &p = *l.plan;
    char **a = l.script_argv;
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
CHILD_CODE long exec_program(const Launch &l) {
    const Plan &p = *l.plan;
    const char *file = p.file;
    if (file[0] == '\0')
        return ENOENT;
    size_t len = 0;
    bool slash = false;
    for (; file[len] != '\0'; ++len)
        slash = slash || file[len] == '/';
    if (slash) {
        long r = sys(SYS_execve, arg(file), arg(p.argv), arg(p.envp));
        return -(r == -ENOEXEC ? exec_script(l, file) : r);
    }
    if (len > NAME_MAX)
        return ENAMETOOLONG;

    char path[2 * PATH_MAX];  // a directory, '/', the name and its NUL
    static_assert(2 * PATH_MAX >= PATH_MAX + NAME_MAX + 2);
    bool denied = false;
    long err = ENOENT;
    for (const char *dir = p.search_path;;) {
        const char *stop = dir;
        while (*stop != '\0' && *stop != ':')
            ++stop;
        if (stop - dir < PATH_MAX) {  // else too long to name a directory
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
                    return -exec_script(l, path);
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

[[noreturn]] CHILD_CODE int child_main(void *launch) {
    Launch &l = *static_cast<Launch *>(launch);
    l.ran = 1;
    if (l.plan->pty)
        pty_child(l);
    else
        pipe_child(l);
    reset_signals();
    if (l.plan->shell) {
        // As system() runs it: a shell that cannot be run ends with 127.
        sys(SYS_execve, arg(shell_path), arg(l.plan->argv), arg(l.plan->envp));
        end(127);
    }
    const long err = exec_program(l);
    Report r;
    r.record = "issue_cmd: execvp(%s) failed (errno=%d)";
    r.names_program = true;
    r.count = 1;
    r.numbers[0] = static_cast<int>(err);
    send(l, r);
    end(err);
}

// clone on a stack of the caller's making, the child running fn(data), which
// never returns. Not the C library's clone: a thread sanitizer intercepts
// that one and runs its own bookkeeping in the child, in the caller's memory.
pid_t raw_clone(unsigned long flags, void *stack, int (*fn)(void *), void *data) {
#if defined(__x86_64__)
    long ret = SYS_clone;
    register long child_tid __asm__("r10") = 0;
    register long tls __asm__("r8") = 0;
    register void *run __asm__("r9") = reinterpret_cast<void *>(fn);
    register void *run_data __asm__("r12") = data;
    __asm__ volatile(
        "syscall\n\t"
        "test %%rax, %%rax\n\t"
        "jnz 1f\n\t"
        "xor %%ebp, %%ebp\n\t"
        "mov %%r12, %%rdi\n\t"
        "call *%%r9\n\t"
        "ud2\n"
        "1:"
        : "+a"(ret)
        : "D"(flags), "S"(stack), "d"(0L), "r"(child_tid), "r"(tls), "r"(run), "r"(run_data)
        : "rcx", "r11", "memory");
#elif defined(__aarch64__)
    register long nr __asm__("x8") = SYS_clone;
    register long ret __asm__("x0") = static_cast<long>(flags);
    register void *sp __asm__("x1") = stack;
    register long parent_tid __asm__("x2") = 0;
    register long tls __asm__("x3") = 0;
    register long child_tid __asm__("x4") = 0;
    register void *run __asm__("x9") = reinterpret_cast<void *>(fn);
    register void *run_data __asm__("x10") = data;
    __asm__ volatile(
        "svc 0\n\t"
        "cbnz x0, 1f\n\t"
        "mov x29, xzr\n\t"
        "mov x0, x10\n\t"
        "blr x9\n\t"
        "brk #0\n"
        "1:"
        : "+r"(ret)
        : "r"(nr), "r"(sp), "r"(parent_tid), "r"(tls), "r"(child_tid), "r"(run), "r"(run_data)
        : "x30", "memory");
#endif
    if (ret < 0) {
        errno = static_cast<int>(-ret);
        return -1;
    }
    return static_cast<pid_t>(ret);
}

// What tcsetattr hands the kernel. glibc marks an input speed of 0 with a
// bit of c_iflag that is its own, not the kernel's.
KernelTermios kernel_termios(const struct termios &t) {
    KernelTermios k{};
    k.iflag = t.c_iflag;
#ifdef __GLIBC__
    k.iflag &= ~020000000000u;
#endif
    k.oflag = t.c_oflag;
    k.cflag = t.c_cflag;
    k.lflag = t.c_lflag;
    k.line = t.c_line;
    for (size_t i = 0; i < sizeof k.cc; ++i)
        k.cc[i] = t.c_cc[i];
    return k;
}

}  // namespace

void trace_failure(pid_t pid, const Report &r, const char *program) {
    if (r.names_program)
        trace_as(pid, lvl_err, r.record, program, r.numbers[0]);
    else  // a record prints as many numbers as its step gave
        trace_as(pid, lvl_err, r.record, r.numbers[0], r.numbers[1], r.numbers[2]);
}

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

pid_t spawn(const Plan &plan, Report *report, const char **failed_call) {
    *failed_call = "pipe";
    int rep[2];
    if (!make_pipe(rep, O_NONBLOCK))
        return -1;
    UniqueFd from_child(rep[0]), to_caller(rep[1]);

    *failed_call = "fork";
    size_t argc = 0;
    while (plan.argv[argc] != nullptr)
        ++argc;
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = (child_stack_bytes + (argc + 2) * sizeof(char *) + page - 1) / page * page;
    void *mem =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mem == MAP_FAILED)
        return -1;
    if (!spawn_begin()) {
        munmap(mem, size);
        return -1;
    }
    Launch launch = {&plan, {}, static_cast<char **>(mem), to_caller.get(), 0};
    if (plan.tios != nullptr)
        launch.tios = kernel_termios(*plan.tios);

    // Every signal blocked across clone: no handler of the caller may run in
    // the child. The child sets its own mask before exec.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = raw_clone(CLONE_VM | CLONE_VFORK | SIGCHLD, static_cast<char *>(mem) + size,
                          child_main, &launch);
    SavedErrno clone_errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    munmap(mem, size);
    to_caller.reset();

    // The child has exec'd or ended by now. A child that ran as a copy (as
    // under valgrind) may not have: then wait for exec or its report.
    if (pid > 0 && launch.ran == 0) {
        pollfd pfd = {from_child.get(), POLLIN, 0};
        while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
        }
    }
    Report r;
    const bool failed =
        pid > 0 && read(from_child.get(), &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    spawn_end(pid, plan.pty, plan.shell && !failed);
    if (failed)
        *report = r;
    return pid;
}

}  // namespace kelp::proc
