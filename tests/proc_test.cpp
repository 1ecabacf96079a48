// run_syscmd and close_syscmd with real processes, pipes and pseudo-terminals.
#include <kelp.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using kelp_test::TraceTap;
using Clock = std::chrono::steady_clock;

constexpr const char *kMissing = "kelp-no-such-program-4711";

struct Cmd {
    int rfd = -1, wfd = -1, pid = -1;
    int rc = -1;
};

Cmd start(const char *command, std::vector<const char *> argv, int flags,
          const struct termios *tios = nullptr, const struct winsize *ws = nullptr) {
    Cmd c;
    std::vector<char *> av;
    for (const char *a : argv)
        av.push_back(const_cast<char *>(a));
    av.push_back(nullptr);
    c.rc = run_syscmd(command, argv.empty() ? nullptr : av.data(), &c.rfd, &c.wfd, &c.pid, tios,
                      ws, flags);
    return c;
}

Cmd shell(const char *command, int flags) { return start(command, {}, flags); }

int finish(const Cmd &c) { return close_syscmd(c.rfd, c.wfd, c.pid); }

// Waits for the command to end, leaving it to close_syscmd to reap.
void await_exit(const Cmd &c) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
}

// For commands that need no input: a pseudo-terminal's hangup at close must
// not overtake them.
int run_to_end(const Cmd &c) {
    await_exit(c);
    return finish(c);
}

void write_all(int fd, const std::string &s) {
    ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// Reads until end of file (EIO on a pseudo-terminal whose slave is gone),
// until `until` has arrived, or for at most five seconds.
std::string read_from(int fd, const std::string &until = {}) {
    std::string out;
    char buf[4096];
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (!until.empty() && out.find(until) != std::string::npos)
            break;
        struct pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    return out;
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The settings a fresh pseudo-terminal starts with.
struct termios fresh_termios() {
    struct termios t {};
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m >= 0 && grantpt(m) == 0 && unlockpt(m) == 0) {
        int s = open(ptsname(m), O_RDWR | O_NOCTTY);
        if (s >= 0) {
            tcgetattr(s, &t);
            close(s);
        }
    }
    if (m >= 0)
        close(m);
    return t;
}

// This process's standard error goes to a file while it lives.
class StderrToFile {
  public:
    StderrToFile() : path_(dir_.file("stderr")) {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrToFile() { restore(); }
    std::string text() {
        restore();
        return kelp_test::read_file(path_);
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
    }
    kelp_test::TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

// Sets a signal's action for the scope and puts the previous one back.
class SignalAction {
  public:
    SignalAction(int sig, void (*handler)(int), int flags = 0) : sig_(sig) {
        struct sigaction sa {};
        sa.sa_handler = handler;
        sa.sa_flags = flags;
        sigemptyset(&sa.sa_mask);
        sigaction(sig_, &sa, &old_);
    }
    ~SignalAction() { sigaction(sig_, &old_, nullptr); }

  private:
    int sig_;
    struct sigaction old_ {};
};

bool no_child_left() {
    int st;
    return waitpid(-1, &st, WNOHANG) == -1 && errno == ECHILD;
}

void callers_alarm_handler(int) {}

struct Mode {
    const char *name;
    int flags;
};
constexpr Mode kModes[] = {{"pipe", 0}, {"pty", RUN_PTY}};

TEST(RunSyscmd, PipeModeEchoesThroughCatUntilEndOfFile) {
    Cmd c = start("ignored when argv is given", {"cat"}, 0);
    ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
    EXPECT_NE(c.rfd, c.wfd);
    EXPECT_GT(c.pid, 0);
    write_all(c.wfd, "hello\n");
    EXPECT_EQ(read_from(c.rfd, "hello\n"), "hello\n");
    write_all(c.wfd, "again");
    EXPECT_EQ(read_from(c.rfd, "again"), "again");
    close(c.wfd);
    EXPECT_EQ(read_from(c.rfd), "");  // cat saw end of file and ended
    EXPECT_EQ(close_syscmd(c.rfd, -1, c.pid), 0);
    EXPECT_TRUE(no_child_left());
}

TEST(RunSyscmd, StandardErrorFollowsOutputOnlyWithRunStderr) {
    for (const Mode &m : kModes) {
        for (bool merged : {false, true}) {
            SCOPED_TRACE(std::string(m.name) + (merged ? " RUN_STDERR" : ""));
            StderrToFile caller_stderr;
            Cmd c = shell("echo out; echo err >&2", m.flags | (merged ? RUN_STDERR : 0));
            ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
            std::string out = read_from(c.rfd);
            EXPECT_EQ(finish(c), 0);
            std::string err = caller_stderr.text();
            EXPECT_NE(out.find("out"), std::string::npos) << out;
            EXPECT_EQ(out.find("err") != std::string::npos, merged) << out;
            EXPECT_EQ(err, merged ? "" : "err\n");
        }
    }
}

TEST(RunSyscmd, NonblockingReadFailsWithEagain) {
    for (const Mode &m : kModes) {
        SCOPED_TRACE(m.name);
        Cmd c = start(nullptr, {"cat"}, m.flags | RUN_NONBLOCK);
        ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
        char ch;
        errno = 0;
        EXPECT_EQ(read(c.rfd, &ch, 1), -1);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_NE(fcntl(c.rfd, F_GETFL) & O_NONBLOCK, 0);
        if (m.flags == 0) {  // only the read side is changed
            EXPECT_EQ(fcntl(c.wfd, F_GETFL) & O_NONBLOCK, 0);
        }
        EXPECT_EQ(finish(c), 0);
    }
}

TEST(RunSyscmd, PseudoTerminalIsTheControllingTerminalWithWindowSize) {
    struct winsize ws {};
    ws.ws_row = 33;
    ws.ws_col = 77;
    struct termios raw = fresh_termios();
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // no CR before each NL
    const char *script =
        "stty size; test -t 0 && test -t 1 && echo tty01; echo via >/dev/tty && echo ctty";
    for (const struct termios *tios : {static_cast<const struct termios *>(nullptr),
                                       static_cast<const struct termios *>(&raw)}) {
        const char *nl = tios != nullptr ? "\n" : "\r\n";
        Cmd c = start(nullptr, {"sh", "-c", script}, RUN_PTY, tios, &ws);
        ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
        EXPECT_EQ(c.rfd, c.wfd);
        std::string out = read_from(c.rfd);
        EXPECT_EQ(finish(c), 0);
        std::string want = std::string("33 77") + nl + "tty01" + nl + "via" + nl + "ctty" + nl;
        EXPECT_EQ(out, want);
    }
}

TEST(RunSyscmd, ChildLeadsItsOwnProcessGroup) {
    // Fields 5 and 6 of /proc/PID/stat: process group and session.
    const char *script = "read pid comm state ppid pgrp sid rest </proc/$$/stat; echo $pgrp $sid";
    for (const Mode &m : kModes) {
        SCOPED_TRACE(m.name);
        Cmd c = start(nullptr, {"sh", "-c", script}, m.flags);
        ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
        std::istringstream in(read_from(c.rfd));
        EXPECT_EQ(finish(c), 0);
        long pgrp = 0, sid = 0;
        in >> pgrp >> sid;
        EXPECT_EQ(pgrp, c.pid);
        // A pseudo-terminal child starts a session; a pipe child stays in ours.
        EXPECT_EQ(sid, m.flags != 0 ? c.pid : getsid(0));
    }
}

TEST(RunSyscmd, MissingProgramExitsWithErrnoAndTraces) {
    for (const Mode &m : kModes) {
        SCOPED_TRACE(m.name);
        TraceTap tap;
        Cmd c = start(nullptr, {kMissing, "arg"}, m.flags);
        ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
        EXPECT_EQ(run_to_end(c), ENOENT);
        std::string want = "(ERR-" + std::to_string(c.pid) + "): issue_cmd: execvp(" + kMissing +
                           ") failed (errno=2)\n";
        EXPECT_NE(tap.text().find(want), std::string::npos) << tap.text();
    }
}

TEST(RunSyscmd, ChildRecordsReachTraceAndCallersStdioIsNotRepeated) {
    kelp_test::TempDir dir;
    std::string trace = dir.file("trace.log"), out = dir.file("stdout");
    int st = kelp_test::run_in_child(
        {{"KELPTRC_FILENAME", trace.c_str()}, {"KELPTRC_LEVEL", "4"}}, [&] {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            close(fd);
            static char buf[BUFSIZ];
            setvbuf(stdout, buf, _IOFBF, sizeof buf);
            fputs("pending", stdout);  // still in the buffer at each fork
            gnl_msglog("proc test: configure the trace");
            if (dbglvl() != 4)
                return 77;  // configured earlier in this process
            int rc = 0;
            for (const Mode &m : kModes) {
                if (run_to_end(shell("exit 3", m.flags)) != 3)
                    rc = 1;
                if (run_to_end(start(nullptr, {kMissing}, m.flags)) != ENOENT)
                    rc = 2;
            }
            return rc;
        });
    if (kelp_test::exit_code(st) == 77)
        GTEST_SKIP() << "the trace of this process was configured by an earlier test";
    ASSERT_EQ(kelp_test::exit_code(st), 0);
    EXPECT_EQ(kelp_test::read_file(out), "pending");
    std::string log = kelp_test::read_file(trace);
    for (const char *rec : {"(DBG-", "): issue_cmd: calling system(exit 3)\n",
                            "): run_pipe_app: run_pipe_child() returned 3\n",
                            "): run_pipe_app: run_pipe_child() returned 2\n",
                            "): run_pty_app: run_pty_child() returned 3\n",
                            "): run_pty_app: run_pty_child() returned 2\n"})
        EXPECT_NE(log.find(rec), std::string::npos) << rec << "\n" << log;
}

TEST(RunSyscmd, CommandLineExitStatuses) {
    struct Case {
        const char *command;
        int flags;
        int result;
    } cases[] = {
        {"exit 3", 0, 3},
        {"exit 255", 0, 255},
        {"true", 0, 0},
        {"kill -TERM $$", 0, 0},  // a signal leaves only low bits
        {"kelp-no-such-program-4711 2>/dev/null", 0, 127},
        {"exit 9", RUN_PTY, 9},
    };
    for (const Case &c : cases)
        EXPECT_EQ(run_to_end(shell(c.command, c.flags)), c.result) << c.command;
    // The same through execvp: the program itself is killed.
    EXPECT_EQ(run_to_end(start(nullptr, {"sh", "-c", "kill -KILL $$"}, 0)), 0);
}

TEST(RunSyscmd, LongCommandLineRuns) {
    std::string x(9995, 'x');
    std::string command = "echo " + x;
    Cmd c = shell(command.c_str(), 0);
    ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
    EXPECT_EQ(read_from(c.rfd), x + "\n");
    EXPECT_EQ(finish(c), 0);
}

TEST(RunSyscmd, OnlyTheCallersOwnDescriptorsReachTheCommand) {
    TraceTap tap;  // the trace file is open in this process as well
    gnl_msglog("proc test: trace open");
    int mine = open("/dev/null", O_RDONLY);  // inheritable on purpose
    ASSERT_GE(mine, 0);
    std::set<int> want{0, 1, 2};
    for (int fd = 3; fd < 1024; ++fd) {
        int fl = fcntl(fd, F_GETFD);
        if (fl >= 0 && (fl & FD_CLOEXEC) == 0)
            want.insert(fd);
    }
    Cmd other = start(nullptr, {"cat"}, 0);  // its pipes must not leak either
    ASSERT_EQ(other.rc, 0);
    for (const Mode &m : kModes) {
        SCOPED_TRACE(m.name);
        Cmd c = shell("ls /proc/$$/fd", m.flags);
        ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
        std::istringstream in(read_from(c.rfd));
        EXPECT_EQ(finish(c), 0);
        std::set<int> got;
        for (int fd; in >> fd;)
            got.insert(fd);
        EXPECT_EQ(got, want);
        EXPECT_TRUE(got.count(mine));
    }
    EXPECT_EQ(finish(other), 0);
    close(mine);
}

TEST(RunSyscmd, TwoCommandsSideBySideEachSeeEndOfFile) {
    for (const Mode &m : kModes) {
        for (bool first_started_first : {true, false}) {
            SCOPED_TRACE(std::string(m.name) + (first_started_first ? " in order" : " reversed"));
            Cmd a = start(nullptr, {"cat"}, m.flags);
            Cmd b = start(nullptr, {"cat"}, m.flags);
            ASSERT_EQ(a.rc, 0);
            ASSERT_EQ(b.rc, 0);
            write_all(a.wfd, "to a\n");
            write_all(b.wfd, "to b\n");
            EXPECT_NE(read_from(a.rfd, "to a").find("to a"), std::string::npos);
            EXPECT_NE(read_from(b.rfd, "to b").find("to b"), std::string::npos);
            auto t0 = Clock::now();
            EXPECT_EQ(finish(first_started_first ? a : b), 0) << gnl_usrmsg;
            EXPECT_EQ(finish(first_started_first ? b : a), 0) << gnl_usrmsg;
            EXPECT_LT(seconds_since(t0), 0.9);
        }
    }
    EXPECT_TRUE(no_child_left());
}

// Starting a process costs about 20 ms on the CI machines: 128 cycles per
// mode show a leak of one descriptor or process per cycle many times over
// and keep each test to a few seconds, also under the sanitizers.
void expect_cycles_leave_nothing_behind(int flags) {
    constexpr int kCycles = 128;
    int before = kelp_test::count_open_fds();
    for (int i = 0; i < kCycles; ++i) {
        Cmd c = start(nullptr, {"/bin/true"}, flags);
        ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
        ASSERT_EQ(finish(c), 0) << "cycle " << i << ": " << gnl_usrmsg;
    }
    EXPECT_EQ(kelp_test::count_open_fds(), before);
    EXPECT_TRUE(no_child_left());
}

TEST(RunSyscmd, PipeCyclesLeaveNoDescriptorOrChildBehind) { expect_cycles_leave_nothing_behind(0); }

TEST(RunSyscmd, PtyCyclesLeaveNoDescriptorOrChildBehind) {
    expect_cycles_leave_nothing_behind(RUN_PTY);
}

// Descriptors run out: the library reports the step and keeps nothing open.
TEST(RunSyscmd, FailuresBeforeForkReportAndCloseEverything) {
    struct rlimit saved {};
    getrlimit(RLIMIT_NOFILE, &saved);
    struct rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        filler.push_back(fd);
    struct Case {
        size_t free_fds;
        int flags;
        const char *message;
    } cases[] = {
        {0, 0, "run_pipe_cmd: pipe(R) failed (errno=24)"},
        {1, 0, "run_pipe_cmd: pipe(R) failed (errno=24)"},
        {2, 0, "run_pipe_cmd: pipe(W) failed (errno=24)"},
        {3, 0, "run_pipe_cmd: pipe(W) failed (errno=24)"},
        {0, RUN_PTY, "run_pty_app: open(/dev/ptmx) failed (errno=24)"},
    };
    for (const Case &c : cases) {
        for (size_t i = 0; i < c.free_fds; ++i) {
            close(filler.back());
            filler.pop_back();
        }
        Cmd cmd = start(nullptr, {"cat"}, c.flags);
        EXPECT_EQ(cmd.rc, -1);
        EXPECT_STREQ(gnl_usrmsg, c.message);
        EXPECT_EQ(cmd.rfd, -1);
        EXPECT_EQ(cmd.wfd, -1);
        EXPECT_EQ(cmd.pid, -1);
        // Exactly the descriptors freed above are free again.
        for (size_t i = 0; i < c.free_fds; ++i)
            filler.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(open("/dev/null", O_RDONLY | O_CLOEXEC), -1);
    }
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);

    int fd = -1;
    EXPECT_EQ(run_syscmd("true", nullptr, &fd, nullptr, &fd, nullptr, nullptr, 0), -1);
}

// A command that ignores end of file and hangup, with a grandchild.
void expect_group_killed_after_a_second(int flags) {
    SignalAction mine(SIGALRM, callers_alarm_handler, SA_RESTART);
    alarm(30);
    Cmd c = start(nullptr, {"sh", "-c", "trap '' HUP; sleep 30 & echo $!; wait"}, flags);
    ASSERT_EQ(c.rc, 0) << gnl_usrmsg;
    long grandchild = std::stol(read_from(c.rfd, "\n"));
    auto t0 = Clock::now();
    EXPECT_EQ(finish(c), EINTR);
    double took = seconds_since(t0);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_STREQ(gnl_usrmsg, "close_syscmd: wait() failed (errno=4)");
    // The caller's alarm and action are back.
    EXPECT_EQ(alarm(0), 30u);
    struct sigaction now {};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, callers_alarm_handler);
    EXPECT_NE(now.sa_flags & SA_RESTART, 0);
    // The killed child was left for us to reap; its grandchild went too.
    int st = 0;
    ASSERT_EQ(waitpid(c.pid, &st, 0), c.pid);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
        std::string stat = kelp_test::read_file("/proc/" + std::to_string(grandchild) + "/stat");
        size_t paren = stat.rfind(')');
        gone = stat.empty() || (paren != std::string::npos && stat.compare(paren, 4, ") Z ") == 0);
        if (!gone)
            usleep(10000);
    }
    EXPECT_TRUE(gone);
}

TEST(CloseSyscmd, PipeCommandIgnoringEndOfFileIsKilledWithItsGroup) {
    expect_group_killed_after_a_second(0);
}

TEST(CloseSyscmd, PtyCommandIgnoringHangupIsKilledWithItsGroup) {
    expect_group_killed_after_a_second(RUN_PTY);
}

TEST(CloseSyscmd, CallersAlarmAndActionSurviveANormalClose) {
    SignalAction mine(SIGALRM, callers_alarm_handler);
    alarm(30);
    EXPECT_EQ(finish(start(nullptr, {"cat"}, 0)), 0);
    EXPECT_EQ(alarm(0), 30u);
    struct sigaction now {};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, callers_alarm_handler);
}

TEST(CloseSyscmd, IgnoredSigchldReportsNoChildAndFailedKill) {
    TraceTap tap;
    SignalAction ignored(SIGCHLD, SIG_IGN);
    Cmd c = start(nullptr, {"cat"}, 0);
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(finish(c), ECHILD);
    EXPECT_EQ(gnl_usrmsg, "close_syscmd: kill(-" + std::to_string(c.pid) + ") failed (errno=3)");
    // The shell's status is lost the same way inside the child.
    Cmd s = shell("true", 0);
    EXPECT_EQ(finish(s), ECHILD);
    std::string want = "(ERR-" + std::to_string(s.pid) +
                       "): issue_cmd: system(true) failed (retval=-1, errno=10)\n";
    EXPECT_NE(tap.text().find(want), std::string::npos) << tap.text();
}

TEST(CloseSyscmd, PidMinusOneReapsEveryChildAndReturnsTheRawStatus) {
    std::strcpy(gnl_usrmsg, "untouched");
    EXPECT_EQ(close_syscmd(-1, -1, -1), -1);  // nothing to reap

    Cmd c = shell("exit 7", 0);
    ASSERT_EQ(c.rc, 0);
    close(c.rfd);
    close(c.wfd);
    EXPECT_EQ(close_syscmd(-1, -1, -1), 7 << 8);

    Cmd a = shell("exit 3", 0), b = shell("exit 5", 0);
    for (const Cmd &x : {a, b}) {
        close(x.rfd);
        close(x.wfd);
    }
    int raw = close_syscmd(-1, -1, -1);
    EXPECT_TRUE(raw == 3 << 8 || raw == 5 << 8) << raw;
    EXPECT_TRUE(no_child_left());
    EXPECT_STREQ(gnl_usrmsg, "untouched");
}

TEST(CloseSyscmd, UnknownPidFailsTheWait) {
    EXPECT_EQ(close_syscmd(-1, -1, 999999), ECHILD);
    EXPECT_EQ(std::string(gnl_usrmsg), "close_syscmd: kill(-999999) failed (errno=3)");
}

}  // namespace
