// run_syscmd and close_syscmd with real processes, pipes and pseudo-terminals.
#include <kelp.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <regex>
#include <thread>
#include <vector>

namespace {

struct Cmd {
    int rfd = -1, wfd = -1, pid = -1, rc = -1;
};

// Starts command through the shell or, given argv, argv through execvp.
Cmd start(int flags, const char *command, std::vector<const char *> argv = {},
          const winsize *ws = nullptr, const termios *tios = nullptr) {
    Cmd c;
    argv.push_back(nullptr);
    auto *args = argv.size() > 1 ? const_cast<char *const *>(argv.data()) : nullptr;
    c.rc = run_syscmd(command, args, &c.rfd, &c.wfd, &c.pid, tios, ws, flags);
    return c;
}

// What the command printed until end of file (EIO on a terminal) or 5 s of
// silence (nothing, if it did not start), then "exit " and what
// close_syscmd gave. End of file comes as the command exits, so the hangup
// of a terminal's close comes too late to change its exit code.
std::string outcome(const Cmd &c) {
    std::string out;
    char buf[4096];
    pollfd p = {c.rfd, POLLIN, 0};
    for (ssize_t n = c.rc == 0 ? 1 : 0; n > 0 && poll(&p, 1, 5000) > 0;)
        if ((n = read(c.rfd, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
    return out + "exit " + std::to_string(close_syscmd(c.rfd, c.wfd, c.pid));
}

// Runs body in a child of the test: the child's failed expectations are
// reported there and fail the test here.
void in_child(const std::map<std::string, const char *> &env, const std::function<void()> &body) {
    const bool failed = testing::Test::HasFailure();  // reported already
    const int status = kelp_test::run_in_child(env, [&] {
        body();
        return testing::Test::HasFailure() && !failed ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
}

const winsize kSize = {33, 77, 0, 0};

void on_signal(int) {}

// A command starts the same whatever the caller's state; checked in a child
// of the test, which must be the program's first, since the trace is set up
// from the environment once per process. With the trace on standard error,
// records about a child carry its pid and go to the caller's trace, never
// into the command's output; a command line's end is traced when
// close_syscmd reaps it; the caller's buffered stdio is not written by any
// child. Whatever the caller ignores, catches or blocks, SIGPIPE, SIGUSR1,
// SIGUSR2 and SIGCHLD start at their default, nothing caught, nothing
// blocked; other ignored signals (SIGHUP) stay ignored. A daemon, with 0, 1
// and 2 closed, gets the same descriptors, terminal and window size as
// anyone, and nothing of the start-up besides.
TEST(RunSyscmd, CommandsStartTheSameWhateverTheCallersState) {
    kelp_test::TempDir dir;
    const std::string trace = dir.file("trace"), want = dir.file("want"), seen = dir.file("seen");
    in_child({{"KELPTRC_FILENAME", "STDERR"}, {"KELPTRC_LEVEL", "4"}}, [&] {
        dup2(open(trace.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 2);
        for (int s = 1; s < NSIG; ++s)
            signal(s, SIG_DFL);
        FILE *f = fopen(want.c_str(), "w");
        for (int flags : {RUN_STDERR, RUN_STDERR | RUN_PTY}) {
            const char *mode = (flags & RUN_PTY) != 0 ? "pty" : "pipe";
            const Cmd c = start(flags, "exit 3");
            EXPECT_EQ(outcome(c), "exit 3");
            const Cmd m = start(flags, nullptr, {"nope"});
            EXPECT_EQ(outcome(m), "exit 2");
            fprintf(f, "(DBG-%d): issue_cmd: calling system(exit 3)\n", c.pid);
            fprintf(f, "(DBG-%d): run_%s_app: run_%s_child() returned 3\n", c.pid, mode, mode);
            fprintf(f, "(ERR-%d): issue_cmd: execvp(nope) failed (errno=2)\n", m.pid);
            fprintf(f, "(DBG-%d): run_%s_app: run_%s_child() returned 2\n", m.pid, mode, mode);
        }
        gnl_init(nullptr);
        signal(SIGTERM, on_signal);
        signal(SIGHUP, SIG_IGN);
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, nullptr);
        // What the caller ignores and cannot reset (a make runs its children
        // with the C library's own signals ignored) stays ignored too.
        const std::string status = kelp_test::read_file("/proc/self/status");
        unsigned long long ignored = 0;
        sscanf(status.c_str() + status.find("SigIgn:"), "SigIgn: %llx", &ignored);
        for (int s : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD})
            ignored &= ~(1ULL << (s - 1));
        char want_ign[17];
        snprintf(want_ign, sizeof want_ign, "%016llx", ignored);
        const Cmd sed = start(0, nullptr, {"sed", "-n", "/^Sig[BIC]/p", "/proc/self/status"});
        EXPECT_EQ(outcome(sed), std::string("SigBlk:\t0000000000000000\nSigIgn:\t") + want_ign +
                                    "\nSigCgt:\t0000000000000000\nexit 10");  // ECHILD: reaped already
        EXPECT_EQ(ignored & 1, 1U);  // SIGHUP
        EXPECT_EQ(gnl_usrmsg,
                  "close_syscmd: kill(-" + std::to_string(sed.pid) + ") failed (errno=3)");
        const Cmd yes = start(RUN_STDERR, "yes | head -1");
        EXPECT_EQ(outcome(yes), "y\nexit 10");
        fprintf(f, "(DBG-%d): issue_cmd: calling system(yes | head -1)\n", yes.pid);
        fclose(f);
        const std::regex stamp(R"((^|\n)[^ \n]+ )");
        EXPECT_EQ(std::regex_replace(kelp_test::read_file(trace), stamp, "$1"),
                  kelp_test::read_file(want));

        close_range(0, 2, 0);
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // the test's own, not the command's
        const char *show =
            "test -t 0 && stty size && echo tty >/dev/tty; ls -1 /proc/$$/fd; "
            "[ /proc/$$/fd/1 -ef /proc/$$/fd/2 ] && echo same";
        std::string out;
        for (int flags : {0, RUN_STDERR, RUN_PTY, RUN_PTY | RUN_STDERR})
            out += outcome(start(flags, show, {}, &kSize)) + "|";
        kelp_test::write_file(seen, out);
    });
    EXPECT_EQ(kelp_test::read_file(seen),
              "0\n1\nexit 10|0\n1\n2\nsame\nexit 10|33 77\r\ntty\r\n0\r\n1\r\nexit 10|"
              "33 77\r\ntty\r\n0\r\n1\r\n2\r\nsame\r\nexit 10|");
}

// A file without "#!" is run by the shell, as execvp runs it (here with more
// arguments than the child's stack holds); a name too long for a directory
// is not looked for.
TEST(RunSyscmd, ProgramsAreRunAsExecvpRunsThem) {
    kelp_test::TempDir dir;
    const std::string script = dir.file("script");
    kelp_test::write_file(script, "echo $0 $1\n");
    chmod(script.c_str(), 0755);
    std::vector<const char *> many(5000, "a");
    many[0] = script.c_str();
    EXPECT_EQ(outcome(start(0, nullptr, many)), script + " a\nexit 0");
    EXPECT_EQ(outcome(start(0, nullptr, {std::string(NAME_MAX, 'n').c_str()})), "exit 2");
}

// A thousand commands from four threads in both modes beside a thread that
// allocates and prints: a child that needed the allocator's or stdio's lock
// would hang. Each thread gets its own command's status even when another
// thread's wait() reaped it, and no descriptor or zombie is left.
TEST(CloseSyscmd, ThreadsGetTheirOwnStatusAndLeaveNothingBehind) {
    const int rounds = std::getenv("KELP_UNDER_VALGRIND") != nullptr ? 10 : 250;
    EXPECT_EQ(outcome(start(RUN_PTY, "exit 1")), "exit 1");  // the trace's stream is open
    const int fds = kelp_test::count_open_fds();
    FILE *sink = fopen("/dev/null", "w");
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (done < 4)
            fprintf(sink, "%s\n", std::string(1000, 'x').c_str());
    });
    for (int t = 1; t <= 4; ++t)
        threads.emplace_back([&, t] {
            const std::string exit_t = "exit " + std::to_string(t);
            for (int i = 0; i < rounds; ++i)  // odd threads in pipe mode, even ones on a terminal
                EXPECT_EQ(outcome(start(t % 2 == 0 ? RUN_PTY : 0, exit_t.c_str())), exit_t);
            ++done;
        });
    for (std::thread &t : threads)
        t.join();
    fclose(sink);
    EXPECT_EQ(kelp_test::count_open_fds(), fds);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child at all
}

// From now on, syscall nr fails with EXDEV in this process and its children
// where its argument arg (any, if -1) equals value.
bool fail_syscall(unsigned nr, int arg, unsigned value) {
    const auto at = static_cast<unsigned>(arg < 0 ? offsetof(seccomp_data, nr)
                                                  : offsetof(seccomp_data, args) + 8 * arg);
    sock_filter f[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 3),
                       BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at),
                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arg < 0 ? nr : value, 0, 1),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EXDEV),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog prog = {6, f};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Each step on the way to the command that can fail, made to fail by the
// kernel. In the child: the caller writes the step's record with the
// child's pid before run_syscmd returns, and the child's exit code is the
// errno (a failed exec is the first test's). In the caller, out of
// descriptors after both pipes: the step is reported and the pipes are
// closed again, *rfd and *wfd keeping their numbers.
TEST(RunSyscmd, FailedStepsAreReported) {
    const struct {
        int flags;
        unsigned nr;
        int arg;  // -1: any call
        unsigned value;
        const char *record;
    } cases[] = {
        {RUN_PTY, SYS_setsid, -1, 0, "run_pty_child: setsid() failed (errno=18)"},
        {RUN_PTY, SYS_ioctl, 1, TIOCGPTN, "run_pty_child: grantpt() failed (errno=18)"},
        {RUN_PTY, SYS_ioctl, 1, TIOCSPTLCK, "run_pty_child: unlockpt() failed (errno=18)"},
        {RUN_PTY, SYS_openat, 2, O_RDWR | O_CLOEXEC,
         "run_pty_child: open(/dev/pts/#) failed (errno=18)"},
        {RUN_PTY, SYS_ioctl, 1, TCSETSF, "tcsetattr(align) failed [errno=18]"},
        {RUN_PTY, SYS_ioctl, 1, TIOCSWINSZ, "ioctl(TIOCSWINSZ) failed [errno=18]"},
        {RUN_PTY, SYS_dup3, 1, 1, "run_pty_child: dup2(#,1) failed (errno=18)"},
        {0, SYS_dup3, 1, 0, "run_pipe_child: dup2(stdin) failed (errno=18)"},
        {0, SYS_dup3, 1, 1, "run_pipe_child: dup2(stdout) failed (errno=18)"},
        {RUN_STDERR, SYS_dup3, 1, 2, "run_pipe_child: dup2(stderr) failed (errno=18)"},
    };
    const termios tios{};
    const std::regex numbers(R"((/dev/pts/|dup2\()\d+)");
    for (const auto &c : cases) {
        in_child({}, [&] {
            kelp_test::TraceTap tap;
            EXPECT_TRUE(fail_syscall(c.nr, c.arg, c.value));
            const Cmd cmd = start(c.flags, nullptr, {"true"}, &kSize, &tios);
            const std::string got = std::regex_replace(tap.text(), numbers, "$1#");
            const std::string record = "(ERR-" + std::to_string(cmd.pid) + "): " + c.record;
            EXPECT_NE(got.find(record + "\n"), std::string::npos) << record << " not in\n" << got;
            EXPECT_EQ(close_syscmd(cmd.rfd, cmd.wfd, cmd.pid), EXDEV) << c.record;
        });
    }
    in_child({}, [] {
        rlimit low{};
        getrlimit(RLIMIT_NOFILE, &low);
        low.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &low);
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
        close_range(60, ~0U, 0);  // 0 to 59 open: room for both pipes, not the next one
        const Cmd cmd = start(0, nullptr, {"cat"});
        EXPECT_STREQ(gnl_usrmsg, "run_pipe_cmd: fork() failed (errno=24)");
        EXPECT_TRUE(cmd.rc == -1 && cmd.rfd >= 0 && cmd.wfd >= 0 && cmd.pid == -1);
        for (int fd = 0; fd < 64; ++fd)  // 0 to 59 only (valgrind keeps its own above the limit)
            EXPECT_EQ(fcntl(fd, F_GETFD) != -1, fd < 60) << fd;
    });
}

// A command that ignores end of file is killed with its group after a
// second, not reaped, and the caller's alarm and SIGALRM action come back.
// Closed from another thread: the alarm's signal goes to the main thread,
// waiting in join(), which must pass it on. Then pid -1 reaps every child
// and gives the raw status of the last, without a message.
TEST(CloseSyscmd, CommandIgnoringEndOfFileIsKilledAfterASecond) {
    const sighandler_t callers = signal(SIGALRM, on_signal);
    alarm(30);
    const Cmd c = start(RUN_NONBLOCK, nullptr, {"/bin/sleep", "30"});
    char ch;
    EXPECT_EQ(read(c.rfd, &ch, 1), -1);  // nothing to read, and no wait for it
    EXPECT_EQ(errno, EAGAIN);
    std::string closed;
    std::thread([&] {
        closed = std::to_string(close_syscmd(c.rfd, c.wfd, c.pid)) + " " + gnl_usrmsg;
    }).join();
    EXPECT_EQ(closed, "4 close_syscmd: wait() failed (errno=4)");
    gnl_usrmsg[0] = '\0';
    EXPECT_EQ(close_syscmd(-1, -1, -1), SIGKILL);
    EXPECT_STREQ(gnl_usrmsg, "");
    const unsigned left = alarm(0);  // the time spent outside close_syscmd counts
    EXPECT_TRUE(left == 30 || left == 29) << left;
    EXPECT_EQ(signal(SIGALRM, callers), on_signal);
}

}  // namespace
