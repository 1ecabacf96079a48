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
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char *kMissing = "kelp-no-such-program-4711";
constexpr int kModes[] = {0, RUN_PTY};

struct Cmd {
    int rfd = -1, wfd = -1, pid = -1, rc = -1;
};

// Starts command through the shell or, given argv, argv through execvp.
Cmd start(int flags, const char *command, std::vector<const char *> argv = {},
          const struct winsize *ws = nullptr, const struct termios *tios = nullptr) {
    Cmd c;
    argv.push_back(nullptr);
    auto *args = argv.size() > 1 ? const_cast<char *const *>(argv.data()) : nullptr;
    c.rc = run_syscmd(command, args, &c.rfd, &c.wfd, &c.pid, tios, ws, flags);
    return c;
}

// Waits for the command to end first, so that a terminal's hangup at close
// cannot overtake it; close_syscmd still reaps it.
int run_to_end(const Cmd &c) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    return close_syscmd(c.rfd, c.wfd, c.pid);
}

// Reads until end of file (EIO on a terminal), until `until` came, or 5 s.
std::string read_from(int fd, const std::string &until = {}) {
    std::string out;
    char buf[4096];
    for (auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
        if (!until.empty() && out.find(until) != std::string::npos)
            break;
        pollfd p = {fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 100) > 0 ? read(fd, buf, sizeof buf) : -2;
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || (n == -1 && errno != EINTR))
            break;
    }
    return out;
}

bool no_child_left() {
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::string lines_without_time(const std::string &trace) {
    return std::regex_replace(trace, std::regex(R"((^|\n)[^ \n]+ )"), "$1");
}

// First of all: the trace level comes from the environment once per process,
// so no test before this one may have set the trace up. Records about a
// child carry its pid, land in the caller's trace (never in the command's
// output, although both are standard error here) and a command line's end is
// traced when close_syscmd reaps it. The caller's pending stdio is never
// written by a child.
TEST(RunSyscmd, RecordsAboutAChildGoToTheCallersTraceInOrder) {
    kelp_test::TempDir dir;
    const std::string trace = dir.file("trace"), want = dir.file("want");
    const std::map<std::string, const char *> env = {{"KELPTRC_FILENAME", "STDERR"},
                                                     {"KELPTRC_LEVEL", "4"}};
    const int st = kelp_test::exit_code(kelp_test::run_in_child(env, [&] {
        dup2(open(trace.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600), 2);
        gnl_msglog("proc test");
        if (dbglvl() != 4)
            return 77;                       // configured earlier in this process
        FILE *f = fopen(want.c_str(), "w");  // its text stays buffered until fclose
        int bad = 0;
        for (int flags : {RUN_STDERR, RUN_STDERR | RUN_PTY}) {
            const char *app = (flags & RUN_PTY) != 0 ? "run_pty_app: run_pty_child()"
                                                     : "run_pipe_app: run_pipe_child()";
            const Cmd c = start(flags, "exit 3"), m = start(flags, nullptr, {kMissing});
            bad += !read_from(c.rfd).empty() + !read_from(m.rfd).empty();
            gnl_msglog("closing %d", c.pid);
            bad += (run_to_end(c) != 3) + (run_to_end(m) != ENOENT);
            fprintf(f, "(DBG-%d): issue_cmd: calling system(exit 3)\n", c.pid);
            fprintf(f, "(ERR-%d): issue_cmd: execvp(%s) failed (errno=2)\n", m.pid, kMissing);
            fprintf(f, "(DBG-%d): %s returned 2\n", m.pid, app);
            fprintf(f, "(INFO-%d): closing %d\n", getpid(), c.pid);
            fprintf(f, "(DBG-%d): %s returned 3\n", c.pid, app);
        }
        fclose(f);
        return bad;
    }));
    if (st == 77)
        GTEST_SKIP() << "the trace of this process was configured by an earlier test";
    ASSERT_EQ(st, 0);
    std::istringstream wanted(kelp_test::read_file(want));
    const std::string log = lines_without_time(kelp_test::read_file(trace));
    size_t at = 0;
    int lines = 0;
    for (std::string line; std::getline(wanted, line); ++lines) {
        at = log.find(line + "\n", at);
        ASSERT_NE(at, std::string::npos) << line << " missing or out of order in\n" << log;
    }
    EXPECT_EQ(lines, 10);  // each exactly once: the caller's buffer was written once
}

TEST(RunSyscmd, OutputsAndExitCodes) {
    const winsize ws = {33, 77, 0, 0};
    struct termios raw {};  // no output processing: no CR before NL
    cfmakeraw(&raw);
    cfsetspeed(&raw, B38400);
    // Fields 5 and 6 of /proc/PID/stat: process group and session.
    const char *ids =
        "read a b c d pg sid e </proc/$$/stat; [ $pg = $$ ] && echo leader $((sid == $$))";
    const std::string big(9995, 'x');
    struct Case {
        int flags;
        bool exec;  // as `sh -c command` through execvp
        std::string command, out;
        int code;
        const struct termios *tios = nullptr;
    } cases[] = {
        {0, false, "echo out; echo err >&2; exit 3", "out\n", 3},
        {RUN_STDERR, false, "echo out; echo err >&2", "out\nerr\n", 0},
        {RUN_PTY, false, "echo out; echo err >&2; exit 4", "out\r\n", 4},
        {RUN_PTY | RUN_STDERR, false, "echo out; echo err >&2", "out\r\nerr\r\n", 0},
        {RUN_PTY, true, "stty size; test -t 0 && echo via >/dev/tty", "33 77\r\nvia\r\n", 0},
        {RUN_PTY, true, "stty size", "33 77\n", 0, &raw},
        {0, true, ids, "leader 0\n", 0},  // a group of its own, in our session
        {RUN_PTY, true, ids, "leader 1\r\n", 0},
        {0, false, "kill -TERM $$", "", 0},  // a signal leaves only low bits
        {0, true, "kill -KILL $$", "", 0},
        {0, false, "exit 255", "", 255},
        {0, false, std::string(kMissing) + " 2>/dev/null", "", 127},
        {0, false, "echo " + big, big + "\n", 0},
    };
    kelp_test::TraceTap tap;  // the trace's file is open before counting
    const int fds = kelp_test::count_open_fds();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command.substr(0, 60));
        std::vector<const char *> sh;
        if (c.exec)
            sh = {"sh", "-c", c.command.c_str()};
        const Cmd cmd = start(c.flags, c.exec ? nullptr : c.command.c_str(), sh, &ws, c.tios);
        ASSERT_EQ(cmd.rc, 0) << gnl_usrmsg;
        EXPECT_EQ(cmd.rfd == cmd.wfd, (c.flags & RUN_PTY) != 0);
        EXPECT_EQ(read_from(cmd.rfd), c.out);
        EXPECT_EQ(run_to_end(cmd), c.code);
    }
    EXPECT_EQ(kelp_test::count_open_fds(), fds);  // nothing left of any run
    EXPECT_TRUE(no_child_left());
}

bool under_valgrind() {
    return std::getenv("KELP_UNDER_VALGRIND") != nullptr;
}

// Thousands of start/close cycles in both modes while another thread
// allocates and prints: a child that needed the allocator's or stdio's lock
// would hang, and a descriptor or zombie left per cycle would show at once.
TEST(RunSyscmd, StartCloseCyclesBesideABusyThreadLeaveNothingBehind) {
    const int rounds = under_valgrind() ? 50 : 1000;
    FILE *sink = fopen("/dev/null", "w");
    const int fds = kelp_test::count_open_fds();
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) {
            auto text = std::make_unique<std::string>(1000, 'x');
            fprintf(sink, "%s %p\n", text->c_str(), static_cast<void *>(text.get()));
        }
    });
    for (int flags : kModes)
        for (int i = 0; i < rounds; ++i) {
            Cmd c = start(flags, nullptr, {"true"});
            ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
            ASSERT_EQ(run_to_end(c), 0) << gnl_usrmsg;
        }
    stop = true;
    busy.join();
    EXPECT_EQ(kelp_test::count_open_fds(), fds);
    EXPECT_TRUE(no_child_left());
    fclose(sink);
}

// A program is found as execvp finds it: along PATH (execvp's default without
// it), a denied entry remembered while the search goes on, a file without
// "#!" run by the shell. A failure is the child's record and exit code.
TEST(RunSyscmd, ProgramsAreFoundAsExecvpFindsThem) {
    kelp_test::TempDir dir;
    kelp_test::TraceTap tap;
    const std::string script = dir.file("script");
    kelp_test::write_file(script, "echo script $0 $1\n");
    kelp_test::write_file(dir.file("true"), "exit 9\n");  // not executable
    chmod(script.c_str(), 0755);
    const std::string path = getenv("PATH"), on_path = dir.path() + ":/bin";
    const std::string longest(NAME_MAX, 'n');
    std::vector<const char *> many(5000, "a");  // more than the child's stack holds
    many[0] = "script";
    const struct {
        const char *path;  // nullptr: unset
        std::vector<const char *> argv;
        std::string out;
        int code;
    } cases[] = {
        {dir.path().c_str(), {"script", "a"}, "script " + script + " a\n", 0},
        {"/nowhere", {script.c_str()}, "script " + script + "\n", 0},
        {on_path.c_str(), {"true"}, "", 0},
        {dir.path().c_str(), {"true"}, "", EACCES},
        {nullptr, {"true"}, "", 0},
        {"/nowhere:", {"script"}, "", ENOENT},
        {"/bin", {""}, "", ENOENT},
        {"/bin", {longest.c_str()}, "", ENOENT},
        {dir.path().c_str(), many, "script " + script + " a\n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.path != nullptr ? c.path : "(unset)") + " " +
                     std::string(c.argv[0]).substr(0, 20));
        if (c.path != nullptr)
            setenv("PATH", c.path, 1);
        else
            unsetenv("PATH");
        const Cmd cmd = start(0, nullptr, c.argv);
        setenv("PATH", path.c_str(), 1);
        ASSERT_EQ(cmd.rc, 0) << gnl_usrmsg;
        EXPECT_EQ(read_from(cmd.rfd), c.out);
        EXPECT_EQ(run_to_end(cmd), c.code);
        if (c.code != 0) {
            EXPECT_NE(
                tap.text().find("(ERR-" + std::to_string(cmd.pid) + "): issue_cmd: execvp(" +
                                c.argv[0] + ") failed (errno=" + std::to_string(c.code) + ")\n"),
                std::string::npos)
                << tap.text();
        }
    }
}

// From now on, syscall nr fails with EXDEV in this process and its children,
// where its argument arg (if any) equals value.
bool fail_syscall(long nr, int arg = -1, unsigned value = 0) {
    std::vector<sock_filter> f = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0,
                                           static_cast<unsigned char>(arg < 0 ? 1 : 3))};
    if (arg >= 0) {
        f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                             static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * arg)));
        f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1));
    }
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EXDEV));
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog prog = {static_cast<unsigned short>(f.size()), f.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Each step of the child that can fail, made to fail by the kernel: the
// caller writes the step's record with the child's pid before run_syscmd
// returns, and the child's exit code is the errno.
TEST(RunSyscmd, FailedChildStepsAreTracedWithTheChildsPid) {
    kelp_test::TraceTap tap;
    struct termios tios {};
    tcgetattr(STDIN_FILENO, &tios);
    const winsize ws = {24, 80, 0, 0};
    const struct {
        int flags;
        long nr;
        int arg;
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
        {RUN_PTY, SYS_execve, -1, 0, "issue_cmd: execvp(true) failed (errno=18)"},
    };
    for (const auto &c : cases) {
        if (c.nr == SYS_execve && under_valgrind())
            continue;  // valgrind cannot go on after an exec it let through fails
        SCOPED_TRACE(c.record);
        const size_t before = tap.text().size();
        const int st = kelp_test::run_in_child([&] {
            if (!fail_syscall(c.nr, c.arg, c.value))
                return 77;
            const Cmd cmd = start(c.flags, nullptr, {"true"}, &ws, &tios);
            if (cmd.rc != 0)
                return 99;
            dbgtrc(1, 0, "child %d", cmd.pid);  // the pid the record must carry
            return run_to_end(cmd);
        });
        if (kelp_test::exit_code(st) == 77)
            GTEST_SKIP() << "no seccomp filter here";
        EXPECT_EQ(kelp_test::exit_code(st), EXDEV);
        const std::string got = std::regex_replace(tap.text().substr(before),
                                                   std::regex(R"((/dev/pts/|dup2\()\d+)"), "$1#");
        std::smatch pid;
        ASSERT_TRUE(std::regex_search(got, pid, std::regex(R"(child (\d+)\n)"))) << got;
        EXPECT_NE(got.find("(ERR-" + pid[1].str() + "): " + c.record + "\n"), std::string::npos)
            << got;
    }
}

// The descriptors of a running process, as "0:pipe 1:pts 2:same extra:5".
std::string fds_of(int pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    std::string out, one;
    for (int d = 0; d < 64; ++d) {
        char link[256];
        const ssize_t n = readlink((dir + std::to_string(d)).c_str(), link, sizeof link);
        std::string t = n < 0 ? "none" : std::string(link, static_cast<size_t>(n));
        one = d == 1 ? t : one;
        t = d == 2 && t == one           ? "same"
            : t.starts_with("pipe:")     ? "pipe"
            : t.starts_with("/dev/pts/") ? "pts"
                                         : t;
        if (d <= 2)
            out += std::to_string(d) + ":" + t + " ";
        else if (n >= 0)
            out += "extra:" + std::to_string(d) + " ";
    }
    return out;
}

// A daemon has 0, 1 and 2 closed: its commands get the same descriptors as
// anyone's, and nothing of the start-up besides them.
TEST(RunSyscmd, CallerWithoutStandardDescriptorsGivesTheSameSetUp) {
    kelp_test::TempDir dir;
    const std::string result = dir.file("result");
    const int st = kelp_test::run_in_child([&] {
        close_range(0, ~0U, 0);
        signal(SIGHUP, SIG_DFL);  // cat ends at the terminal's hangup
        std::string out;
        for (int flags : {0, RUN_STDERR, RUN_PTY, RUN_PTY | RUN_STDERR}) {
            const Cmd c = start(flags, nullptr, {"cat"});
            out += fds_of(c.pid) + "\n";
            close_syscmd(c.rfd, c.wfd, c.pid);
        }
        kelp_test::write_file(result, out);
        return 0;
    });
    ASSERT_EQ(st, 0);
    EXPECT_EQ(
        kelp_test::read_file(result),
        "0:pipe 1:pipe 2:none \n0:pipe 1:pipe 2:same \n0:pts 1:pts 2:none \n0:pts 1:pts 2:same \n");
}

// The caller's own alarm and SIGALRM action, to be found intact.
struct CallersAlarm {
    static void handler(int) {}
    struct sigaction saved {
    }, mine{};
    CallersAlarm() {
        mine.sa_handler = handler;
        mine.sa_flags = SA_RESTART;
        sigaction(SIGALRM, &mine, &saved);
        alarm(30);
    }
    ~CallersAlarm() {
        const unsigned left = alarm(0);  // the time spent outside close_syscmd counts
        EXPECT_TRUE(left == 30 || left == 29) << left;
        sigaction(SIGALRM, &saved, &mine);
        EXPECT_TRUE(mine.sa_handler == handler && (mine.sa_flags & SA_RESTART) != 0);
    }
};

// Two cats at once, closed in either order. A descriptor of one inherited by
// the other would hold it open past its close.
TEST(RunSyscmd, CatsEchoAndEachSeeEndOfFile) {
    CallersAlarm alarm_kept;
    // A terminal's hangup ends cat only where SIGHUP is not ignored (as
    // nohup leaves it for everything started below it).
    struct sigaction dfl {
    }, saved{};
    sigaction(SIGHUP, &dfl, &saved);
    for (int flags : kModes) {
        for (int first : {0, 1}) {
            Cmd cat[2] = {start(flags | RUN_NONBLOCK, nullptr, {"cat"}),
                          start(flags, nullptr, {"cat"})};
            char ch;
            EXPECT_EQ(read(cat[0].rfd, &ch, 1), -1);
            EXPECT_EQ(errno, EAGAIN);
            // Only the read side is made non-blocking (in a pipe's case).
            EXPECT_EQ(fcntl(cat[0].wfd, F_GETFL) & O_NONBLOCK, flags != 0 ? O_NONBLOCK : 0);
            for (const Cmd &c : cat) {
                ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
                ASSERT_EQ(write(c.wfd, "hi\n", 3), 3);
                EXPECT_NE(read_from(c.rfd, "hi").find("hi"), std::string::npos);
            }
            // Closing its input alone ends cat. close_syscmd's wait() would
            // reap it for the other's call if it were not closed first.
            if (flags == 0) {
                close(cat[first].wfd);
                EXPECT_EQ(read_from(cat[first].rfd), "");
                cat[first].wfd = -1;
            }
            for (const Cmd &c : {cat[first], cat[1 - first]})  // 4 (EINTR) on a timeout
                EXPECT_EQ(close_syscmd(c.rfd, c.wfd, c.pid), 0) << gnl_usrmsg;
        }
    }
    sigaction(SIGHUP, &saved, nullptr);
}

// Out of descriptors: the failing step is reported and nothing stays open.
TEST(RunSyscmd, FailuresBeforeForkReportAndCloseEverything) {
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit low = {256, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        filler.push_back(fd);
    const struct {
        size_t free_fds;
        int flags;
        bool got_fds;  // *rfd and *wfd keep what the steps before obtained
        const char *message;
    } cases[] = {{1, 0, false, "run_pipe_cmd: pipe(R) failed (errno=24)"},
                 {3, 0, false, "run_pipe_cmd: pipe(W) failed (errno=24)"},
                 {4, 0, true, "run_pipe_cmd: fork() failed (errno=24)"},
                 {0, RUN_PTY, false, "run_pty_app: open(/dev/ptmx) failed (errno=24)"},
                 {1, RUN_PTY, true, "run_pty_app: fork() failed (errno=24)"}};
    for (const auto &c : cases) {
        for (size_t i = 0; i < c.free_fds; ++i, filler.pop_back())
            close(filler.back());
        const Cmd cmd = start(c.flags, nullptr, {"cat"});
        EXPECT_EQ(cmd.rc, -1);
        EXPECT_STREQ(gnl_usrmsg, c.message);
        EXPECT_TRUE((cmd.rfd >= 0) == c.got_fds && (cmd.wfd >= 0) == c.got_fds && cmd.pid == -1);
        for (size_t i = 0; i < c.free_fds; ++i)  // exactly these are free again
            filler.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(open("/dev/null", O_RDONLY | O_CLOEXEC), -1);
    }
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

// A command that ignores end of file and hangup, with a grandchild: after a
// second the group is killed, and the child left for the caller to reap.
TEST(CloseSyscmd, CommandIgnoringEndOfFileAndHangupIsKilledWithItsGroup) {
    for (int flags : kModes) {
        CallersAlarm alarm_kept;
        const Cmd c = start(flags, nullptr, {"sh", "-c", "trap '' HUP; sleep 30 & echo $!; wait"});
        ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
        const std::string grandchild =
            "/proc/" + std::to_string(std::stol(read_from(c.rfd, "\n"))) + "/stat";
        const auto t0 = Clock::now();
        EXPECT_EQ(close_syscmd(c.rfd, c.wfd, c.pid), EINTR);
        EXPECT_GT(Clock::now() - t0, std::chrono::milliseconds(900));
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
        EXPECT_STREQ(gnl_usrmsg, "close_syscmd: wait() failed (errno=4)");
        int st = 0;
        ASSERT_EQ(waitpid(c.pid, &st, 0), c.pid);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
        std::string stat = "x";  // gone, or a zombie of whoever adopted it
        for (int i = 0; i < 200 && !stat.empty() && stat.find(") Z ") == std::string::npos; ++i) {
            usleep(10000);
            stat = kelp_test::read_file(grandchild);
        }
        EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
    }
}

// Dispositions and mask of the caller, back in place at scope exit.
struct SavedSignals {
    static constexpr int sigs[] = {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD, SIGTERM, SIGHUP};
    struct sigaction act[6]{};
    sigset_t mask{};
    SavedSignals() {
        for (int i = 0; i < 6; ++i)
            sigaction(sigs[i], nullptr, &act[i]);
        sigprocmask(SIG_BLOCK, nullptr, &mask);
    }
    ~SavedSignals() {
        for (int i = 0; i < 6; ++i)
            sigaction(sigs[i], &act[i], nullptr);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
    }
};

unsigned long long status_mask(const std::string &status, const std::string &field) {
    const size_t at = status.find(field + ":\t");
    return at == std::string::npos ? ~0ULL
                                   : std::stoull(status.substr(at + field.size() + 2), nullptr, 16);
}

unsigned long long bit(int sig) {
    return 1ULL << (sig - 1);
}

// Whatever the caller ignores, catches or blocks, the command starts with
// SIGPIPE, SIGUSR1, SIGUSR2 and SIGCHLD at their default, nothing caught and
// nothing blocked; other ignored signals stay ignored.
TEST(RunSyscmd, CommandsStartWithDefaultSignalsAndNothingBlocked) {
    kelp_test::TraceTap tap;
    SavedSignals saved;
    const gnl_initopts keep = {0, GNL_INIT_KEEPSIGS};
    signal(SIGCHLD, SIG_DFL);
    gnl_init(&keep);
    EXPECT_EQ(run_to_end(start(0, "exit 3")), 3);  // the caller keeps SIGCHLD: exit codes

    gnl_init(nullptr);
    signal(SIGTERM, [](int) {});
    signal(SIGHUP, SIG_IGN);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    const unsigned long long ignored =
        status_mask(kelp_test::read_file("/proc/self/status"), "SigIgn") &
        ~(bit(SIGPIPE) | bit(SIGUSR1) | bit(SIGUSR2) | bit(SIGCHLD));
    for (int flags : kModes) {
        Cmd c = start(flags, nullptr, {"cat", "/proc/self/status"});
        const std::string status = read_from(c.rfd);
        EXPECT_EQ(status_mask(status, "SigIgn"), ignored);
        EXPECT_EQ(status_mask(status, "SigCgt"), 0u);
        EXPECT_EQ(status_mask(status, "SigBlk"), 0u);
        // The system reaped the child for a caller that ignores SIGCHLD.
        EXPECT_EQ(close_syscmd(c.rfd, c.wfd, c.pid), ECHILD);
        EXPECT_EQ(gnl_usrmsg,
                  "close_syscmd: kill(-" + std::to_string(c.pid) + ") failed (errno=3)");
    }
    // A writer of a closed pipe ends quietly; the shell still has its children's status.
    const Cmd yes = start(RUN_STDERR, "yes | head -1; sleep 0 & wait $! && echo waited");
    EXPECT_EQ(read_from(yes.rfd), "y\nwaited\n");
    close_syscmd(yes.rfd, yes.wfd, yes.pid);
    EXPECT_EQ(tap.text().find("failed"), std::string::npos) << tap.text();
}

// Threads that start and close commands at once: a wait() in one thread's
// close may reap another thread's child, whose own close still gets its exit
// code. A thread's command that does not end is timed out after a second,
// although the alarm's signal goes to the main thread, waiting in join().
TEST(CloseSyscmd, EachThreadGetsItsOwnCommandsStatus) {
    CallersAlarm alarm_kept;
    const int rounds = under_valgrind() ? 5 : 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t)
        threads.emplace_back([&, t] {
            const std::string exit_t = "exit " + std::to_string(t);
            for (int i = 0; i < rounds; ++i) {
                const Cmd c = start(0, nullptr, {"sh", "-c", exit_t.c_str()});
                wrong += close_syscmd(c.rfd, c.wfd, c.pid) != t;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);

    int rc = 0;
    const auto t0 = Clock::now();
    std::thread([&] {
        const Cmd c = start(0, nullptr, {"sleep", "30"});
        rc = close_syscmd(c.rfd, c.wfd, c.pid);
        waitpid(c.pid, nullptr, 0);
    }).join();
    EXPECT_EQ(rc, EINTR);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
}

TEST(CloseSyscmd, PidMinusOneReapsEveryChildAndReturnsTheRawStatus) {
    std::strcpy(gnl_usrmsg, "untouched");
    EXPECT_EQ(close_syscmd(-1, -1, -1), -1);  // nothing to reap
    const Cmd a = start(0, "exit 3"), b = start(0, "exit 5");
    for (const Cmd &x : {a, b}) {
        close(x.rfd);
        close(x.wfd);
    }
    const int raw = close_syscmd(-1, -1, -1);
    EXPECT_TRUE(raw == 3 << 8 || raw == 5 << 8) << raw;
    EXPECT_TRUE(no_child_left());
    EXPECT_STREQ(gnl_usrmsg, "untouched");
}

// In one thread, one command's close reaps another that ended first, whose
// own close then finds no child, as wait() has it.
TEST(CloseSyscmd, OneThreadsCloseReapsItsOtherCommand) {
    const Cmd ended = start(0, "exit 3"), cat = start(0, nullptr, {"cat"});
    siginfo_t info;
    waitid(P_PID, static_cast<id_t>(ended.pid), &info, WEXITED | WNOWAIT);
    EXPECT_EQ(close_syscmd(cat.rfd, cat.wfd, cat.pid), 0);
    EXPECT_EQ(close_syscmd(ended.rfd, ended.wfd, ended.pid), ECHILD);
}

// A SIGALRM that the caller left pending and blocked stays the caller's: it
// neither cuts the wait short nor is taken.
TEST(CloseSyscmd, CallersPendingAlarmSignalStaysPending) {
    sigset_t alrm, saved;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alrm, &saved);
    raise(SIGALRM);
    const Cmd c = start(0, "sleep 0.2; exit 3");
    EXPECT_EQ(close_syscmd(c.rfd, c.wfd, c.pid), 3) << gnl_usrmsg;
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGALRM));
    const timespec now = {0, 0};
    sigtimedwait(&alrm, nullptr, &now);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace
