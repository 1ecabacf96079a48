// Library core and trace. The trace reads its configuration once per
// process, so every case that depends on it runs in a fresh child.
#include "failalloc.h"
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <atomic>
#include <csignal>
#include <regex>
#include <thread>

using kelp_test::read_file;
using kelp_test::TempDir;

namespace {

// Runs fn in a child working in dir, with env applied (nullptr unsets) over a
// clean trace environment and HOME at dir/home; its standard output and
// error go to dir's files "out" and "err". Returns its exit code.
int run_child(const TempDir &dir, std::map<std::string, const char *> env,
              const std::function<int()> &fn) {
    for (const char *name : {"KELPTRC_LEVEL", "KELPTRC_TIMEPREC", "KELPTRC_TIMEFMT",
                             "KELPTRC_FILENAME", "KELPTRC_REOPEN"})
        env.emplace(name, nullptr);
    const std::string home = dir.file("home");
    env.emplace("HOME", home.c_str());
    mkdir(home.c_str(), 0700);
    return kelp_test::exit_code(kelp_test::run_in_child(env, [&] {
        dup2(open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        return chdir(dir.path().c_str()) == 0 ? fn() : 99;
    }));
}

// Records as "LEVEL: message", without their timestamp (by default the
// initial one, to the millisecond) and process id.
std::string plain(const std::string &text, const std::string &stamp = R"(\d{8}-[\d:]{8}\.\d{3})") {
    return std::regex_replace(text, std::regex(stamp + R"( \(([^ ]+)-\d+\): )"), "$1: ");
}

// A process that reads fds[0] slowly into the file path until every writer
// has closed fds[1]; the caller keeps fds[1] only.
pid_t slow_reader(const int fds[2], const std::string &path) {
    const pid_t reader = fork();
    if (reader == 0) {
        close(fds[1]);
        const int to = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        char buf[512];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0 && write(to, buf, n) == n;)
            usleep(20);
        _exit(0);
    }
    close(fds[0]);
    return reader;
}

// The lines of plain(text), each with the number of times it occurs.
std::map<std::string, int> tally(const std::string &text) {
    std::map<std::string, int> lines;
    std::istringstream in(plain(text));
    for (std::string line; std::getline(in, line);)
        ++lines[line];
    return lines;
}

}  // namespace

TEST(Core, DirectoryAndSignals) {
    unsetenv("KELPDIR");
    EXPECT_STREQ(gnl_kelpdir(), "/opt/morvane/etc");
    setenv("KELPDIR", "", 1);  // read at each call; empty counts as set
    EXPECT_STREQ(gnl_kelpdir(), "");
    // gnl_init ignores and unblocks SIGPIPE, SIGUSR1, SIGUSR2 and SIGCHLD:
    // raised after it, with every signal blocked before, none waits and none
    // ends the child. Asked to keep them, it leaves them blocked and waiting.
    const gnl_initopts keep{0, GNL_INIT_KEEPSIGS};
    for (const gnl_initopts *opts : {static_cast<const gnl_initopts *>(nullptr), &keep}) {
        const int waiting = kelp_test::exit_code(kelp_test::run_in_child([opts] {
            sigset_t set;
            sigfillset(&set);
            sigprocmask(SIG_BLOCK, &set, nullptr);
            const int result = gnl_init(opts);
            for (int s : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD})
                raise(s);
            sigpending(&set);
            return result == 0 ? !sigisemptyset(&set) : 2;
        }));
        EXPECT_EQ(waiting, opts == &keep ? 1 : 0);
    }
    // A descriptor the library owns is closed, also when it is 0.
    EXPECT_EQ(kelp_test::exit_code(kelp_test::run_in_child([] {
                  int len = 0;
                  close(0);
                  std::free(file2buf(-1, "/proc/self/stat", nullptr, 0, &len, 0, 0));
                  return fcntl(0, F_GETFD);
              })),
              255);
}

// Level, precision, timestamp format and destination, read at the first
// record. A refused value stops the reading, and a destination that cannot
// be opened is reported: the report and the records go to stderr. errno
// stays as it was.
TEST(TraceConfig, FromTheEnvironment) {
    const std::string milli = R"(\d{8}-[\d:]{8}\.\d{3})", none = R"(\d{8}-[\d:]{8})";
    const std::string wide(70, 'w'), fits(63, 'w');
    const struct {
        const char *level, *prec, *fmt, *filename;
        int now;                          // the level in force
        std::string stamp, file, report;  // timestamp pattern; where records land; a report
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, 3, milli, "home/KELP.LOG", ""},
        {"err", "micro", nullptr, "named.log", 1, R"(\d{8}-[\d:]{8}\.\d{6})", "named.log", ""},
        {"12", "NONE", "[%Y]", "StdErr", 12, R"(\[20\d\d\])", "err", ""},  // past the names
        {"4x", "Milli", "", "stdout", 4, R"(\.\d{3})", "out", ""},     // the digits; no timestamp
        {"dbg2", "none", wide.c_str(), "STDOUT", 5, none, "out", ""},  // too wide: the built-in
        {"DBG", "NONE", fits.c_str(), nullptr, 4, fits, "home/KELP.LOG", ""},
        {"LOG", "NONE", nullptr, "named.log", 3, milli, "err",
         "msglog: Invalid trace level ($KELPTRC_LEVEL=LOG)"},
        {"DBG", "nano", "%Y", "x", 4, milli, "err",
         "msglog: Invalid timestamp precision ($KELPTRC_TIMEPREC=nano)"},
        {"1", nullptr, nullptr, "no/x.log", 1, milli, "err",
         "dbginit: fopen(no/x.log) failed [errno=2]"},
    };
    const std::pair<int, const char *> levels[] = {{1, "ERR"},  {3, "INFO"}, {4, "DBG"},
                                                   {5, "DBG2"}, {7, "<7>"},  {9, "<9>"}};
    // Records of those levels; the child exits with the level then in force,
    // or 99 when it changed before the first record or errno changed.
    auto records = [&] {
        const int before = dbglvl();
        errno = EXDEV;
        for (const auto &[lvl, name] : levels)
            dbgtrc(lvl, 0, "m%d", lvl);
        return before == 3 && errno == EXDEV ? dbglvl() : 99;
    };
    TempDir dir;
    for (const auto &c : cases) {
        EXPECT_EQ(run_child(dir,
                            {{"KELPTRC_LEVEL", c.level},
                             {"KELPTRC_TIMEPREC", c.prec},
                             {"KELPTRC_TIMEFMT", c.fmt},
                             {"KELPTRC_FILENAME", c.filename}},
                            records),
                  c.now)
            << c.file;
        std::string want = c.report.empty() ? "" : "ERR: " + c.report + "\n";
        for (const auto &[lvl, name] : levels)
            want += lvl <= c.now ? name + (": m" + std::to_string(lvl)) + "\n" : "";
        EXPECT_EQ(plain(read_file(dir.file(c.file)), c.stamp), want) << c.file;
        unlink(dir.file(c.file).c_str());
        EXPECT_EQ(read_file(dir.file("out")) + read_file(dir.file("err")), "");  // nothing else
    }
    for (int lvl = 0; lvl < 8; ++lvl)  // the names the records show, both ways
        EXPECT_EQ(trc_sym2lvl(trc_lvl2sym(lvl)), lvl < 7 ? lvl : -1);
    // dbginit fails with its configuration, errno as it was.
    EXPECT_EQ(run_child(dir, {{"KELPTRC_LEVEL", "x"}},
                        [] {
                            errno = EXDEV;
                            return -dbginit("x", nullptr, -1) * (errno == EXDEV);
                        }),
              1);
}

// Records of every layout as the trace moves from stream to path to
// descriptor, to streams of the caller's, then fails; then in reopen mode.
// A file renamed away keeps the held stream's records until dbginit names
// the path again (rotation); in reopen mode the next record opens the path.
// A record cut by the file size limit (as by a full disk) keeps its remains
// on a line of their own.
TEST(TraceOutput, DbginitTakesStreamPathOrDescriptorAndReopenMode) {
    TempDir dir;
    const std::string exact(1024, 'q');
    run_child(dir, {{"KELPTRC_FILENAME", "env.log"}, {"KELPTRC_LEVEL", "DBG3"}}, [&] {
        FILE *failed = std::fopen("failed", "w");
        auto step = [&](const char *what, bool ok) { ok || std::fprintf(failed, "%s\n", what); };
        // First: the level is read from the environment, the file name is not.
        step("stdout, stderr", dbginit(nullptr, stdout, -1) + dbginit(nullptr, stderr, -1) == 0);
        std::fputs("queued ", stderr);  // the caller's, ahead of the record
        dbgtrc(6, 0, "on stderr %s=%d", "n", 42);
        step("a.log", dbginit("a.log", nullptr, -1) == 0);
        dbgtrc(-1, 0, "on a");
        rename("a.log", "a.1.log");
        dbgtrc(-1, 0, "still on a");
        step("a.log again", dbginit("a.log", nullptr, -1) == 0);
        dbgtrc(-1, 0, "on the new a");
        step("descriptor", dbginit(nullptr, nullptr, open("b.log", O_WRONLY | O_CREAT, 0600)) == 0);
        dbgtrc(2, 0, "on fd");
        char mem[64] = "";  // a stream without a descriptor
        step("memory", dbginit(nullptr, fmemopen(mem, sizeof mem, "w"), -1) == 0);
        dbgtrc(1, 0, "in memory");
        step("in memory", plain(mem) == "ERR: in memory\n");
        // A stream handed in is the trace's: kept when handed in again alone,
        // closed when a path takes over.
        FILE *own = std::fopen("own.log", "a");
        step("own stream twice", dbginit(nullptr, own, -1) + dbginit(nullptr, own, -1) == 0);
        std::fputs("own's ", own);  // two streams of the caller's, each with its own buffer
        std::fputs("stderr's ", stderr);
        dbgtrc(0, 0, "on own");
        const int fds = kelp_test::count_open_fds();
        step("c.log", dbginit("c.log", own, -1) == 0 && kelp_test::count_open_fds() == fds);
        for (int n = 950; n < 1000; ++n)  // across the end of a record's own buffer
            gnl_msglog("%0*d", n, n);
        {  // a long record without memory for it: what fits
            const kelp_test::AllocFailure no_room(0);
            gnl_msglog("%s", std::string(2000, 'z').c_str());
        }
        const std::string c_log = kelp_test::read_file("c.log");
        step("what fits", c_log.size() - c_log.rfind('\n', c_log.size() - 2) == 1024);
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{std::filesystem::file_size("c.log") + 50, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        gnl_msglog("%s", std::string(99, 'x').c_str());  // cut
        gnl_msglog("lost");
        limit.rlim_cur = RLIM_INFINITY;
        setrlimit(RLIMIT_FSIZE, &limit);
        gnl_msglog("after");
        // A failure leaves no stream: its report and later records go to stderr.
        step("bad descriptor", dbginit(nullptr, nullptr, 987) == -1);
        step("bad path", dbginit("no/x.log", nullptr, -1) == -1);
        std::fputs("queued too ", stderr);
        gnl_msglog("afterwards");
        // Reopen mode: nothing is opened before a record, each opens the file
        // anew, and the mode stays once chosen. A name over 1024 characters is
        // refused.
        setenv("KELPTRC_REOPEN", "Y", 1);
        close(0);  // the file may open as descriptor 0
        step("re.log", dbginit("re.log", nullptr, -1) == 0 && !kelp_test::file_exists("re.log"));
        gnl_msglog("first");
        rename("re.log", "first.log");
        gnl_msglog("second");
        unsetenv("KELPTRC_REOPEN");
        step("late.log",
             dbginit("late.log", nullptr, -1) == 0 && !kelp_test::file_exists("late.log"));
        step("too long", dbginit((exact + "q").c_str(), nullptr, -1) == -1);
        step("1024 characters", dbginit(exact.c_str(), nullptr, -1) == 0);
        return 0;
    });
    EXPECT_EQ(read_file(dir.file("failed")), "");
    std::string all, long_ones;
    for (const char *file : {"out", "err", "a.1.log", "a.log", "b.log", "own.log", "c.log",
                             "env.log", "first.log", "re.log", "late.log"})
        all += std::string(file) + ": " + plain(read_file(dir.file(file)));
    for (int n = 950; n < 1000; ++n)
        long_ones += "INFO: " + std::string(n - 3, '0') + std::to_string(n) + "\n";
    EXPECT_EQ(std::regex_replace(all, std::regex("([xz])\\1+"), "$1"),
              "out: err: queued DBG3: on stderr n=42\nstderr's "
              "ERR: dbginit: fdopen() failed on fd=987 [errno=9]\n"
              "ERR: dbginit: fopen(no/x.log) failed [errno=2]\nqueued too INFO: afterwards\n"
              "a.1.log: <-1>: on a\n<-1>: still on a\na.log: <-1>: on the new a\n"
              "b.log: WARN: on fd\nown.log: own's LOG: on own\nc.log: " +
                  long_ones + "INFO: z\nINFO: x\nINFO: after\nenv.log: first.log: INFO: first\n" +
                  "re.log: INFO: second\nlate.log: ERR: dbginit: pthnam too long [" + exact +
                  "q]\n");
}

// A parent and its child, four threads each, write 1.5 KiB records at once,
// to a file and to a pipe read slowly: every line is a whole record, none
// is lost.
TEST(TraceOutput, ParentAndChildWriteWholeLines) {
    TempDir dir;
    const std::string mine = "INFO: " + std::string(1500, 'p'),
                      childs = "INFO: " + std::string(1500, 'c');
    for (const bool to_pipe : {false, true}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t reader = slow_reader(fds, dir.file("piped"));
        run_child(dir, {}, [&] {
            to_pipe ? dbginit(nullptr, nullptr, fds[1]) : dbginit("both.log", nullptr, -1);
            const pid_t child = fork();
            auto records = [&] {
                for (int i = 0; i < 75; ++i)
                    gnl_msglog("%s", (child == 0 ? childs : mine).c_str() + 6);
            };
            std::thread others[] = {std::thread(records), std::thread(records),
                                    std::thread(records)};
            records();
            for (auto &other : others)
                other.join();
            return child == 0 ? 0 : waitpid(child, nullptr, 0);
        });
        close(fds[1]);
        waitpid(reader, nullptr, 0);
        EXPECT_EQ(tally(read_file(dir.file(to_pipe ? "piped" : "both.log"))),
                  (std::map<std::string, int>{{childs, 300}, {mine, 300}}));
    }
}

// A handler writes a record every 200 µs while the main thread writes 8 KB
// records to a pipe read slowly, so that the handler also interrupts
// writes (not restarted) half done. The record of a handler that
// interrupted the trace is dropped and counted in an ERR record of the
// interrupted call, the others land, every record is whole, nothing waits
// (the ticking thread ends the child after 30 s).
TEST(TraceOutput, RecordsFromASignalHandlerNeverWaitForTheirOwnThread) {
    TempDir dir;
    static std::atomic<int> fired{0};
    const std::string big(8000, 'm');
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t reader = slow_reader(fds, dir.file("sig.log"));
    run_child(dir, {}, [&] {
        struct sigaction on_signal {};
        on_signal.sa_handler = [](int) { ++fired, gnl_msglog("handler"); };
        sigaction(SIGUSR1, &on_signal, nullptr);
        dbginit(nullptr, nullptr, fds[1]);
        std::thread ticker([main_thread = pthread_self()] {
            for (int i = 0; fired < 300; ++i, usleep(200))
                i < 150000 ? pthread_kill(main_thread, SIGUSR1) : (_exit(9), 0);
        });
        long mains = 1;
        for (; fired < 300; ++mains)
            gnl_msglog("%s", big.c_str());
        ticker.join();
        gnl_msglog("%s", big.c_str());  // reports the drops left
        std::printf("%d %ld", fired.load(), mains);
        return 0;
    });
    close(fds[1]);
    waitpid(reader, nullptr, 0);
    int times = 0, handled = 0, others = 0;
    long mains = 0;
    std::istringstream(read_file(dir.file("out"))) >> times >> mains;
    const std::regex dropped(R"(ERR: msglog: \d+ record\(s\) from a signal handler dropped)");
    for (const auto &[line, count] : tally(read_file(dir.file("sig.log")))) {
        if (std::regex_match(line, dropped))
            handled += count * std::stoi(line.substr(13));
        else if (line == "INFO: " + big)
            mains -= count;
        else
            (line == "INFO: handler" ? handled : others) += count;
    }
    EXPECT_EQ(handled, times);
    EXPECT_EQ(mains, 0);
    EXPECT_EQ(others, 0);
}

// The built-in timestamp is in the zone TZ names at the moment of the
// record, as localtime follows it (with or without tzset, within one second
// as likely as not, TZ set, changed at the end of the environment or inside
// it, or unset): made from UTC and the zone's offset, or for no TZ by
// localtime, until one falls within its second.
TEST(TraceOutput, RecordsCarryTheZoneOfTheMoment) {
    TempDir dir;
    const std::string longest = ":" + std::string(127, 'x');  // too long to keep; UTC
    const std::pair<std::string, int> zones[] = {{"AAA3", -3}, {"BBB4", -4}, {"CCC-5", 5},
                                                 {"", 0},      {"UTC0", 0},  {longest, 0}};
    run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}, {"KELPTRC_TIMEPREC", "NONE"}}, [&] {
        unsetenv("TZ");
        gnl_msglog("the system's zone");
        unsetenv("HOME");  // the environment keeps its length
        for (const auto &[tz, hours] : zones) {
            if (hours == 0)
                unsetenv("TZ");  // to come back last, if at all
            if (!tz.empty())
                setenv("TZ", tz.c_str(), 1);
            if (hours == 5)
                tzset();
            // The trace's clock: time() may lag it by a tick at a second's turn.
            const auto seconds = [] {
                timeval tv{};
                gettimeofday(&tv, nullptr);
                return tv.tv_sec;
            };
            for (time_t t = 0; t != seconds();) {
                char text[32];
                struct tm tm {};
                t = seconds();
                const time_t local = t + hours * 3600;
                strftime(text, sizeof text, "%Y%m%d-%H:%M:%S",
                         tz.empty() ? (tzset(), localtime_r(&t, &tm)) : gmtime_r(&local, &tm));
                gnl_msglog("%s %s", tz.c_str(), text);
            }
            if (hours == -3) {  // TZ no longer last: the next one changes inside
                setenv("AFTER_TZ", "", 1);
                gnl_msglog("after");
            }
        }
        return 0;
    });
    const std::string out = read_file(dir.file("out"));
    for (const auto &[tz, hours] : zones)
        EXPECT_TRUE(std::regex_search(out, std::regex("(\\S+) \\(INFO-\\d+\\): " + tz + " \\1\n")))
            << out;
}
