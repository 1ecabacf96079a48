// The library from eight threads at once. Each thread checks its own results,
// and its own failures against its own gnl_usrmsg; trace files are read back
// line by line: every line a whole record, none lost, none twice.
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

constexpr int kThreads = 8;
using Clock = std::chrono::steady_clock;

// The condition that failed, and the thread's own gnl_usrmsg.
#define CHECK(cond)                                                \
    do {                                                           \
        if (!(cond))                                               \
            return std::string(#cond) + " [" + gnl_usrmsg + "]\n"; \
    } while (0)

// One round of every module from thread t, which leaves three trace
// records. Static results, and the text of each failure, are the thread's
// own.
static std::string round_of_modules(int t, long i, wtree *tree) {
    const int v = t * 1000000 + static_cast<int>(i % 1000000) + 1000;  // no name for it
    std::string n = std::to_string(v), host = "t" + std::to_string(t);
    char mine[300], prog[] = "prog", a[] = "-a", param[] = "param";
    uint32_t addr = 0;
    struct tm tm {};
    tm.tm_sec = -1;
    auto says = [](const std::string &text) { return text == gnl_usrmsg; };
    dbgtrc(2, 0, "t%d n%ld", t, i);
    CHECK(trc_lvl2sym(v) == "<" + n + ">" && dlp_proto2nam(v) == "<" + n + ">");
    CHECK(std::string(comma_number(v, nullptr, 1)) == comma_number(v, mine, 1));
    CHECK(std::string(buf2hex(&v, sizeof v, nullptr, 0)) == buf2hex(&v, sizeof v, mine, 257));
    CHECK(mth_intlog(1, v) == -1);
    CHECK(port_strcasecmp(host.c_str(), "T") > 0 && port_strncasecmp("Kelp", "kELP", 4) == 0);
    CHECK(wtree_add_word(tree, "x", 1, NOTOK) == -1 && says("APPLICATION ERROR"));
    CHECK(file2buf(-1, n.c_str(), nullptr, -1, nullptr, 0, 0) == nullptr &&
          says("open(" + n + ") failed, errno=2 [No such file or directory]"));
    CHECK(port_mktime(&tm) == -1 && says("invalid time/date spec (negative numbers)"));
    CHECK(ginet_str2ipaddr(host.c_str(), &addr) == 0 && addr == htonl(0x0A010000u + t));
    char *argv[] = {prog, a, n.data(), param, nullptr};
    gnl_cmdlin_def def = {"a:", "", 0, nullptr, nullptr, 1, 1, -1, nullptr, 0};
    CHECK(gnl_cmdlin(4, argv, &def) == 0 && def.params[0] == param);  // once carried over, too
    // Commands, started and closed side by side.
    int rfd = -1, wfd = -1, pid = -1;
    CHECK(run_syscmd(("echo " + n).c_str(), nullptr, &rfd, &wfd, &pid, nullptr, nullptr, 0) == 0);
    const ssize_t got = read(rfd, mine, sizeof mine);
    CHECK(close_syscmd(rfd, wfd, pid) == 0 && std::string(mine, got > 0 ? got : 0) == n + "\n");
    return "";
}

// The child's own namespaces: a network that no traffic leaves, a resolver
// that knows the threads' names from a hosts file, and its working
// directory dir as /tmp. False when the kernel refuses them.
static bool private_namespaces(const kelp_test::TempDir &dir) {
    kelp_test::write_file(dir.file("hosts"),
                          "10.1.0.0 t0\n10.1.0.1 t1\n10.1.0.2 t2\n10.1.0.3 t3\n"
                          "10.1.0.4 t4\n10.1.0.5 t5\n10.1.0.6 t6\n10.1.0.7 t7\n");
    return chdir(dir.path().c_str()) == 0 && unshare(CLONE_NEWNET | CLONE_NEWNS) == 0 &&
           mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("hosts", "/etc/hosts", "none", MS_BIND, nullptr) == 0 &&
           mount(".", "/tmp", "none", MS_BIND, nullptr) == 0;
}

// Every module from eight threads, a few seconds with the trace held on a
// file, then a moment (a round at least, however slow) in each other
// destination and mode; every line is a whole record, and every record is
// there. The threads' first records race the configuration, which is read
// once; in the last row, dbginit moves the trace back and forth while they
// write.
TEST(Threads, EveryModuleInEveryDestination) {
    const struct {
        const char *level, *filename, *reopen;  // from the environment
        std::string path, file, other;          // named by dbginit, if any; where the records land
        bool report, notice;  // of a refused level (the destination then unread); of the fallback
    } cases[] = {
        {nullptr, "held.log", nullptr, "", "held.log", "", false, false},
        {"bogus", "stdout", nullptr, "", "err", "", true, false},
        {nullptr, nullptr, "y", "reopen.log", "reopen.log", "", false, false},
        {nullptr, nullptr, "y", "none/" + std::string(1000, 'x'), "KELP.LOG", "", false, true},
        {nullptr, nullptr, nullptr, "a.log", "a.log", "b.log", false, false},  // moved meanwhile
    };
    for (const auto &c : cases) {
        kelp_test::TempDir dir;
        const int code = kelp_test::exit_code(kelp_test::run_in_child(
            {{"KELPTRC_LEVEL", c.level},
             {"KELPTRC_FILENAME", c.filename},
             {"KELPTRC_REOPEN", c.reopen}},
            [&] {
                if (!private_namespaces(dir))
                    return 77;
                // Redirected below stdio, so that stderr stays unbuffered.
                dup2(open("out", O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
                dup2(open("err", O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
                if (!c.path.empty() && dbginit(c.path.c_str(), nullptr, -1) != 0)
                    return 2;
                if (c.notice) {  // the fallback file opens as descriptor 0
                    close(0);
                    gnl_msglog("first");
                }
                std::atomic<long> started{0}, rounds{0};
                std::vector<std::string> told(kThreads);
                std::vector<std::thread> threads;
                const auto end = Clock::now() + std::chrono::milliseconds(&c == cases ? 2500 : 300);
                for (int t = 0; t < kThreads; ++t)
                    threads.emplace_back([&, t] {
                        wtree *tree = wtree_create("x", 1, 0);
                        for (started++; started < kThreads;)
                            std::this_thread::yield();
                        for (long i = 0; told[t].empty() && (i == 0 || Clock::now() < end);
                             ++i, ++rounds)
                            told[t] = round_of_modules(t, i, tree);
                        wtree_destroy(tree);
                    });
                for (int n = 1; !c.other.empty() && Clock::now() < end; ++n)
                    dbginit((n % 2 != 0 ? c.other : c.file).c_str(), nullptr, -1);
                std::string said;
                for (int t = 0; t < kThreads; ++t) {
                    threads[t].join();
                    said += told[t];
                }
                const std::string text =
                    kelp_test::read_file(c.file) + kelp_test::read_file(c.other);
                // Whole records out, only the fallback's notice (one line) may be left.
                const std::string others = std::regex_replace(
                    text, std::regex(R"(\d{8}-[\d:]{8}\.\d{3} \(\S+-\d+\): .*\n)"), "");
                const std::string notice =  // in /tmp, that is here
                    R"(\*\*\* PID=\d+: Failed to open ')" + c.path + R"(', errno=2 \*\*\*\n)";
                said += std::regex_match(others, std::regex(c.notice ? notice : "")) ? "" : others;
                const long lines = std::count(text.begin(), text.end(), '\n');
                said += lines == 3 * rounds + c.report + 2 * c.notice ? "" : "records lost\n";
                kelp_test::write_file("said", said);
                return 0;
            }));
        if (code == 77)
            GTEST_SKIP() << "the kernel refused private namespaces";
        EXPECT_EQ(kelp_test::read_file(dir.file("said")) + std::to_string(code), "0") << c.file;
    }
}

// A duplicate switch stops one thread's parse inside "-xxy"; the next parse,
// on another thread, starts at its own argv[1]. That thread's own next parse
// carries getopt's place over: past its words, the mandatory -z is missing.
TEST(Threads, ParseAfterAnotherThreadsStartsAfresh) {
    char prog[] = "p", dup[] = "-xxy", z[] = "-z";
    char *first[] = {prog, dup, nullptr}, *second[] = {prog, z, nullptr};
    gnl_cmdlin_def def = {"xyz", "z", 0, nullptr, nullptr, 0, -1, -1, nullptr, 0};
    std::thread([&] { EXPECT_EQ(gnl_cmdlin(2, first, &def), 1); }).join();
    std::thread([&] {
        EXPECT_EQ(gnl_cmdlin(2, second, &def), 0) << gnl_usrmsg;
        EXPECT_EQ(gnl_cmdlin(2, second, &def), 1);
    }).join();
}

// A thread blocked writing its record to a full pipe holds the trace. A
// child made without fork handlers writes its record, with its own process
// id, at once all the same;
// fork() waits until the record is out; the blocked thread, cancelled, ends
// once its record is out whole, and another thread's record follows. The
// pipe is read only then (an alarm ends a process that hangs).
TEST(Threads, AWriterBlockedOnAFullPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int code = kelp_test::exit_code(kelp_test::run_in_child([&] {
        alarm(60);
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        const std::string full(4095, 'f');
        if (dbginit(nullptr, nullptr, fds[1]) != 0 ||
            write(fds[1], (full + "\n").data(), 4096) != 4096)
            return 2;
        static std::atomic<pid_t> tid{0};
        // Threads without state on the heap, which a fork would orphan.
        auto record = [](void *message) -> void * {
            tid = gettid();
            gnl_msglog("%s", static_cast<const char *>(message));
            return nullptr;
        };
        pthread_t blocked, after;
        pthread_create(&blocked, nullptr, record, const_cast<char *>("cancelled"));
        while (tid == 0 || kelp_test::read_file("/proc/self/task/" + std::to_string(tid) + "/wchan")
                                   .find("pipe_write") == std::string::npos)
            usleep(1000);
        const pid_t no_handlers = _Fork();
        if (no_handlers == 0)
            _exit((alarm(60), gnl_msglog("without handlers"), 0));
        std::atomic<bool> forked{false};
        std::thread forking([&] {
            if (fork() == 0)
                _exit((alarm(60), gnl_msglog("with handlers"), 0));
            forked = true;
        });
        pthread_cancel(blocked);
        pthread_create(&after, nullptr, record, const_cast<char *>("after"));
        usleep(50000);
        const bool waited = !forked;
        std::string piped = "\n";
        char buf[4096];
        for (ssize_t n = 1; n > 0 && std::count(piped.begin(), piped.end(), '\n') < 6;)
            piped.append(buf, std::max<ssize_t>(n = read(fds[0], buf, sizeof buf), 0));
        void *result = nullptr;
        pthread_join(blocked, &result);
        forking.join();
        pthread_join(after, nullptr);
        // Then the records in any order, the child's with its own process id.
        int whole = piped.starts_with("\n" + full + "\n") +
                    (piped.find("(INFO-" + std::to_string(no_handlers) + "): without handlers\n") !=
                     std::string::npos);
        for (const std::string m : {"cancelled", "with handlers", "after"})
            whole +=
                std::regex_search(piped, std::regex("\n[\\d:.-]+ \\(INFO-\\d+\\): " + m + "\n"));
        return whole == 5 && waited && result == PTHREAD_CANCELED ? 0 : 1;
    }));
    EXPECT_EQ(code, 0);
}
