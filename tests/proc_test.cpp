// run_syscmd and close_syscmd with real processes, pipes and pseudo-terminals.
#include <kelp.h>

#include "failalloc.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <latch>
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

// A command starts the same whatever the caller's state; checked in a child
// of the test, which must be the program's first, since the trace is set up
// from the environment once per process. With no memory for its entry in the
// table of children, nothing starts. With the trace on standard error,
// records about a child carry its pid and go to the caller's trace, never
// into the command's output; a command line's end is traced when
// close_syscmd reaps it (a program's is not); the caller's buffered stdio is
// not written by any child. Whatever the caller ignores, catches or blocks,
// SIGPIPE, SIGUSR1, SIGUSR2 and SIGCHLD start at their default, nothing
// caught, nothing blocked; other ignored signals (SIGHUP) stay ignored. A thread's own
// commands reap each other as wait() does. Programs are run as execvp runs
// them. A daemon, with 0, 1 and 2 closed, gets the same descriptors, terminal
// and window size as anyone, and nothing of the start-up besides; the
// caller's own ends and the close's wait never take 0, 1 or 2.
TEST(RunSyscmd, CommandsStartTheSameWhateverTheCallersState) {
    kelp_test::TempDir dir;
    const std::string trace = dir.file("trace"), want = dir.file("want"), seen = dir.file("seen"),
                      script = dir.file("script"), denied = dir.file("denied");
    // An entry too long to name a directory is skipped; a program that may
    // not be run is passed over for one further on.
    const std::string path =
        std::string(PATH_MAX, 'x') + ":" + denied + ":" + dir.path() + ":" + std::getenv("PATH");
    in_child({{"KELPTRC_FILENAME", "STDERR"}, {"KELPTRC_LEVEL", "4"}, {"PATH", path.c_str()}}, [&] {
        dup2(open(trace.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 2);
        {
            const kelp_test::AllocFailure no_room(0);
            EXPECT_EQ(std::to_string(start(0, "exit 3").rc) + " " + gnl_usrmsg,
                      "-1 run_pipe_cmd: fork() failed (errno=12)");
        }
        for (int s = 1; s < NSIG; ++s)
            signal(s, SIG_DFL);
        FILE *f = fopen(want.c_str(), "w");
        for (int flags : {RUN_STDERR, RUN_STDERR | RUN_PTY}) {
            const char *mode = (flags & RUN_PTY) != 0 ? "pty" : "pipe";
            const Cmd c = start(flags, "exit 3");
            EXPECT_EQ(outcome(c), "exit 3");
            const Cmd m = start(flags, nullptr, {"nope"});
            EXPECT_EQ(outcome(m), "exit 2");
            EXPECT_EQ(outcome(start(flags, nullptr, {"true"})), "exit 0");
            fprintf(f, "(DBG-%d): issue_cmd: calling system(exit 3)\n", c.pid);
            fprintf(f, "(DBG-%d): run_%s_app: run_%s_child() returned 3\n", c.pid, mode, mode);
            fprintf(f, "(ERR-%d): issue_cmd: execvp(nope) failed (errno=2)\n", m.pid);
            fprintf(f, "(DBG-%d): run_%s_app: run_%s_child() returned 2\n", m.pid, mode, mode);
        }
        gnl_init(nullptr);
        signal(SIGTERM, [](int) {});
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
        EXPECT_EQ(outcome(sed),
                  std::string("SigBlk:\t0000000000000000\nSigIgn:\t") + want_ign +
                      "\nSigCgt:\t0000000000000000\nexit 10");  // ECHILD: reaped already
        EXPECT_EQ(gnl_usrmsg,
                  "close_syscmd: kill(-" + std::to_string(sed.pid) + ") failed (errno=3)");
        fclose(f);
        const std::regex stamp(R"((^|\n)[^ \n]+ )");
        EXPECT_EQ(std::regex_replace(kelp_test::read_file(trace), stamp, "$1"),
                  kelp_test::read_file(want));

        // With exit codes again: the close of the command started second
        // reaps the first, whose status is then gone. A file without "#!"
        // is run by the shell, as execvp runs it, found along PATH (here
        // with more arguments than the child's stack holds) or named by its
        // path; a name too long for a directory is not looked for.
        signal(SIGCHLD, SIG_DFL);
        const Cmd first = start(0, "exit 7"), second = start(0, "exit 5");
        usleep(200000);
        const std::string second_seen = outcome(second);
        EXPECT_EQ(second_seen + ", " + outcome(first), "exit 5, exit 10");
        kelp_test::write_file(script, "echo $0 $1 $#\n");
        chmod(script.c_str(), 0755);
        mkdir(denied.c_str(), 0755);
        kelp_test::write_file(denied + "/script", "echo denied\n");
        std::vector<const char *> many(5000, "a");
        many[0] = "script";
        EXPECT_EQ(outcome(start(0, nullptr, many)), script + " a 4999\nexit 0");
        EXPECT_EQ(outcome(start(0, nullptr, {script.c_str(), "b"})), script + " b 1\nexit 0");
        EXPECT_EQ(outcome(start(0, nullptr, {std::string(NAME_MAX, 'n').c_str()})), "exit 2");

        close(2);
        const Cmd pty = start(RUN_PTY, "exit 0");
        EXPECT_GT(pty.rfd, 2);
        EXPECT_EQ(outcome(pty), "exit 0");
        close_range(0, 2, 0);
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);  // the test's own, not the command's
        const char *show =
            "test -t 0 && stty size && echo tty >/dev/tty; ls -1 /proc/$$/fd; "
            "[ /proc/$$/fd/1 -ef /proc/$$/fd/2 ] && echo same";
        std::string out;
        for (int flags : {0, RUN_STDERR, RUN_PTY, RUN_PTY | RUN_STDERR}) {
            const Cmd c = start(flags, show, {}, &kSize);
            out += (c.rfd > 2 && c.wfd > 2 ? "" : "low ") + outcome(c) + "|";
        }
        out += outcome(start(0, "exec >&-; sleep 0.2"));
        out += fcntl(0, F_GETFD) == -1 ? "" : " 0 open";
        kelp_test::write_file(seen, out);
    });
    EXPECT_EQ(kelp_test::read_file(seen),
              "0\n1\nexit 1|0\n1\n2\nsame\nexit 0|33 77\r\ntty\r\n0\r\n1\r\nexit 1|"
              "33 77\r\ntty\r\n0\r\n1\r\n2\r\nsame\r\nexit 0|exit 0");
}

// Four threads start commands, one in ten on a pseudo-terminal, until more
// than a thousand are open at once, then each closes its own, while another
// thread waits in close_syscmd for a command that does not end: every close
// gets its own command's status, also when another thread's wait reaped it.
// Meanwhile processes forked at any moment start and close commands of their
// own, their own alarm as the watchdog; they answer through a pipe, since
// the threads' waits may reap them. No descriptor is left.
TEST(CloseSyscmd, ThreadsAndForkedProcessesGetTheirOwnStatus) {
    const int each = std::getenv("KELP_UNDER_VALGRIND") != nullptr ? 260 : 500;
    rlimit many{};
    getrlimit(RLIMIT_NOFILE, &many);
    many.rlim_cur = many.rlim_max;  // valgrind lets the soft limit rise, not the hard one
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &many), 0);
    EXPECT_EQ(outcome(start(RUN_PTY, "exit 1")), "exit 1");  // the trace's stream is open
    const int fds = kelp_test::count_open_fds();
    const Cmd slow = start(0, nullptr, {"sleep", "30"});
    std::latch all_open(4);
    std::vector<std::thread> threads;
    threads.emplace_back([&] { EXPECT_EQ(close_syscmd(slow.rfd, slow.wfd, slow.pid), 4); });
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<Cmd> mine;
            auto code = [&](int i) { return "exit " + std::to_string((t * each + i) % 256); };
            for (int i = 0; i < each; ++i)
                mine.push_back(start(i % 10 == 0 ? RUN_PTY : 0, code(i).c_str()));
            all_open.arrive_and_wait();
            for (int i = 0; i < each; ++i)
                EXPECT_EQ(outcome(mine[i]), code(i));
        });
    int answers[2];
    ASSERT_EQ(pipe2(answers, O_CLOEXEC), 0);
    for (int i = 0; i < 20; ++i, usleep(50000)) {
        if (fork() == 0) {
            alarm(5);
            const bool ok =
                close_syscmd(-1, -1, -1) == -1 && outcome(start(0, "exit 5")) == "exit 5";
            _exit(ok && write(answers[1], "y", 1) == 1 ? 0 : 1);
        }
    }
    close(answers[1]);
    std::string said;
    for (char ch; read(answers[0], &ch, 1) == 1;)
        said += ch;
    EXPECT_EQ(said, std::string(20, 'y'));
    close(answers[0]);
    for (std::thread &t : threads)
        t.join();
    waitpid(slow.pid, nullptr, 0);               // killed, not reaped
    while (waitpid(-1, nullptr, WNOHANG) > 0) {  // forked ones that no wait took
    }
    EXPECT_EQ(kelp_test::count_open_fds(), fds);
}

// From now on, syscall nr fails with EXDEV in this process and its children
// where the argument that tells its uses apart equals value: the third of
// openat (its flags) and clone (no place for the parent's tid: 0), the first
// of setsid (0), the fourth of mmap (its flags), else the second.
bool fail_syscall(unsigned nr, unsigned value) {
    const unsigned arg = nr == SYS_openat || nr == SYS_clone ? 2
                         : nr == SYS_setsid                  ? 0
                         : nr == SYS_mmap                    ? 3
                                                             : 1;
    const auto at = static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * arg);
    sock_filter f[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 3),
                       BPF_STMT(BPF_LD | BPF_W | BPF_ABS, at),
                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EXDEV),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog prog = {6, f};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Each step on the way to the command that can fail, made to fail by the
// kernel or, with only the descriptors below `open` left (valgrind keeps its
// own above the limit; below -open and 0 when negative), for want of a
// descriptor. In the child: the caller
// writes the step's record with the child's pid before run_syscmd returns,
// and the child's exit code is the errno (a failed exec is the first
// test's). In the caller: -1 and the step's message, *rfd, *wfd and *pid
// keep what they had reached ("rwp"), and nothing is left open or running.
TEST(RunSyscmd, FailedStepsAreReported) {
    const struct {
        int flags, open;
        unsigned nr, value;          // the call refused where its telling argument is value
        const char *reached, *text;  // reached: "" for a step of the child
    } cases[] = {
        {RUN_PTY, 0, SYS_setsid, 0, "", "run_pty_child: setsid() failed (errno=18)"},
        {RUN_PTY, 0, SYS_ioctl, TIOCGPTN, "", "run_pty_child: grantpt() failed (errno=18)"},
        {RUN_PTY, 0, SYS_ioctl, TIOCSPTLCK, "", "run_pty_child: unlockpt() failed (errno=18)"},
        {RUN_PTY, 0, SYS_openat, O_RDWR | O_CLOEXEC, "",
         "run_pty_child: open(/dev/pts/#) failed (errno=18)"},
        {RUN_PTY, 0, SYS_ioctl, TCSETSF, "", "tcsetattr(align) failed [errno=18]"},
        {RUN_PTY, 0, SYS_ioctl, TIOCSWINSZ, "", "ioctl(TIOCSWINSZ) failed [errno=18]"},
        {RUN_PTY, 0, SYS_dup3, 1, "", "run_pty_child: dup2(#,1) failed (errno=18)"},
        {0, 0, SYS_dup3, 0, "", "run_pipe_child: dup2(stdin) failed (errno=18)"},
        {0, 0, SYS_dup3, 1, "", "run_pipe_child: dup2(stdout) failed (errno=18)"},
        {RUN_STDERR, 0, SYS_dup3, 2, "", "run_pipe_child: dup2(stderr) failed (errno=18)"},
        {0, 64, 0, 0, "---", "run_pipe_cmd: pipe(R) failed (errno=24)"},
        {0, 62, 0, 0, "---", "run_pipe_cmd: pipe(W) failed (errno=24)"},
        {0, 60, 0, 0, "rw-", "run_pipe_cmd: pipe() failed (errno=24)"},
        {0, -63, 0, 0, "---", "run_pipe_cmd: pipe(R) failed (errno=24)"},  // 0: none above 2
        {0, 0, SYS_mmap, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, "rw-",
         "run_pipe_cmd: fork() failed (errno=18)"},
        {RUN_PTY, 64, 0, 0, "---", "run_pty_app: open(/dev/ptmx) failed (errno=24)"},
        {RUN_PTY, 0, SYS_clone, 0, "rw-", "run_pty_app: fork() failed (errno=18)"},
        {RUN_NONBLOCK, 0, SYS_fcntl, F_GETFL, "rwp", "run_syscmd: fcntl(GETFL) failed (errno=18)"},
        {RUN_NONBLOCK | RUN_PTY, 0, SYS_fcntl, F_SETFL, "rwp",
         "run_syscmd: fcntl(SETFL) failed (errno=18)"},
    };
    const termios tios{};
    const std::regex numbers(R"((/dev/pts/|dup2\()\d+)");
    const bool valgrind = std::getenv("KELP_UNDER_VALGRIND") != nullptr;
    for (const auto &c : cases) {
        if (c.nr == SYS_mmap && valgrind)  // it makes the client's mappings itself
            continue;
        in_child({}, [&] {
            kelp_test::TraceTap tap;
            rlimit low{};
            getrlimit(RLIMIT_NOFILE, &low);
            low.rlim_cur = 64;
            setrlimit(RLIMIT_NOFILE, &low);
            while (c.open != 0 && open("/dev/null", O_RDONLY) >= 0) {
            }
            close_range(c.open != 0 ? std::abs(c.open) : 64, ~0U, 0);
            if (c.open < 0)
                close(0);
            EXPECT_TRUE(c.nr == 0 || fail_syscall(c.nr, c.value));
            const Cmd cmd = start(c.flags, nullptr, {"true"}, &kSize, &tios);
            if (*c.reached == '\0') {
                const std::string got = std::regex_replace(tap.text(), numbers, "$1#");
                const std::string record =
                    "(ERR-" + std::to_string(cmd.pid) + "): " + c.text + "\n";
                EXPECT_NE(got.find(record), std::string::npos) << record << " in\n" << got;
                EXPECT_EQ(close_syscmd(cmd.rfd, cmd.wfd, cmd.pid), EXDEV) << c.text;
                return;
            }
            const std::string reached = {cmd.rfd < 0 ? '-' : 'r', cmd.wfd < 0 ? '-' : 'w',
                                         cmd.pid < 0 ? '-' : 'p'};
            EXPECT_EQ(std::to_string(cmd.rc) + " " + gnl_usrmsg + " " + reached,
                      std::string("-1 ") + c.text + " " + c.reached);
            for (int fd : {cmd.rfd, cmd.wfd})
                EXPECT_TRUE(fd < 0 || fcntl(fd, F_GETFD) == -1) << fd;
            EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child at all
        });
    }
    EXPECT_EQ(run_syscmd("true", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_STREQ(gnl_usrmsg, "run_syscmd: no place for the descriptors or the pid");
    EXPECT_EQ(close_syscmd(-1, -1, INT_MAX), ECHILD);  // not a child of the library's
}

// The caller's alarm goes on through closes and goes off on time. A signal
// whose handler would break off a wait() (no SA_RESTART) grants the close a
// new second, one with SA_RESTART does not (it comes first: which signal
// came is not known, only whether some handler breaks a wait off). A caller
// with SIGALRM blocked and pending and its own handler closes a command that
// ignores end of file within the second, killed, not reaped, and finds its
// signals as they were: the same mask, the signal still pending, the same
// handler, which runs once the signal is let through. Then pid -1 reaps
// every child and gives the raw status of the last, without a message.
TEST(CloseSyscmd, TheCallersAlarmAndSignalsAreLeftAlone) {
    using Clock = std::chrono::steady_clock;
    static std::atomic<Clock::rep> fired{0};
    signal(SIGALRM, [](int) { fired = Clock::now().time_since_epoch().count(); });
    const Clock::duration set = Clock::now().time_since_epoch();
    alarm(2);
    for (int flags : {SA_RESTART, 0}) {  // the alarm goes off in the second close
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sa.sa_flags = flags;
        sigaction(SIGUSR1, &sa, nullptr);
        const Cmd c = start(0, nullptr, {"/bin/sleep", "4"});
        std::thread poke([me = pthread_self()] { usleep(500000), pthread_kill(me, SIGUSR1); });
        const Clock::time_point closing = Clock::now();
        EXPECT_EQ(close_syscmd(c.rfd, c.wfd, c.pid), 4);
        EXPECT_EQ(Clock::now() - closing > std::chrono::milliseconds(1300), flags == 0) << flags;
        poke.join();
        waitpid(c.pid, nullptr, 0);  // killed, not reaped
    }
    EXPECT_LT(std::chrono::abs(Clock::duration(fired) - set - std::chrono::seconds(2)),
              std::chrono::milliseconds(100));

    auto signals = [] {  // this thread's pending, blocked, ignored and caught ones
        const std::string status = kelp_test::read_file("/proc/thread-self/status");
        return status.substr(status.find("SigPnd"), status.find("CapInh") - status.find("SigPnd"));
    };
    sigset_t alrm;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, nullptr);
    raise(SIGALRM);
    const std::string before = signals();
    const Cmd c = start(RUN_NONBLOCK, nullptr, {"/bin/sleep", "4"});
    EXPECT_NE(fcntl(c.rfd, F_GETFL) & O_NONBLOCK, 0);
    const Clock::time_point closing = Clock::now();
    EXPECT_EQ(std::to_string(close_syscmd(c.rfd, c.wfd, c.pid)) + " " + gnl_usrmsg,
              "4 close_syscmd: wait() failed (errno=4)");
    EXPECT_LT(Clock::now() - closing, std::chrono::milliseconds(1500));
    EXPECT_EQ(signals(), before);
    EXPECT_TRUE(before.find("SigPnd:\t0000000000002000") == 0 && alarm(0) == 0) << before;
    EXPECT_EQ(std::to_string(close_syscmd(-1, -1, -1)) + " " + gnl_usrmsg,  // the same message
              "9 close_syscmd: wait() failed (errno=4)");
    fired = 0;
    pthread_sigmask(SIG_UNBLOCK, &alrm, nullptr);
    EXPECT_NE(fired, 0);
}

}  // namespace
