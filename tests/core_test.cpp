// Library core and trace. The trace reads its configuration once per
// process, so every case that depends on it runs in a fresh child.
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <regex>
#include <string>

using kelp_test::file_exists;
using kelp_test::read_file;
using kelp_test::TempDir;

namespace {

constexpr auto npos = std::string::npos;

struct ChildRun {
    int code = -1;
    std::string out, err;  // what the child wrote to standard output and error
};

// The usual child: records of levels 3, 4, 5, 9 and 13; it exits with the
// level before them (still the initial 3: nothing is read before the first
// record) and after them.
int records() {
    int before = dbglvl();
    for (int lvl : {3, 4, 5, 9, 13})
        dbgtrc(lvl, 0, "m%d", lvl);
    return before * 20 + dbglvl();  // exit codes are 8 bits
}

// Runs fn in a child working in dir, with env applied (nullptr unsets) over a
// clean trace environment and its standard streams captured. HOME is dir
// unless env says otherwise, so no case writes into the real home directory.
ChildRun run_child(const TempDir &dir, std::map<std::string, const char *> env,
                   const std::function<int()> &fn = records) {
    const std::string out = dir.file("stdout"), err = dir.file("stderr");
    for (const char *name : {"KELPTRC_LEVEL", "KELPTRC_TIMEPREC", "KELPTRC_TIMEFMT",
                             "KELPTRC_FILENAME", "KELPTRC_REOPEN"})
        env.emplace(name, nullptr);
    env.emplace("HOME", dir.path().c_str());
    int status = kelp_test::run_in_child(env, [&] {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        return chdir(dir.path().c_str()) == 0 ? fn() : 99;
    });
    return {kelp_test::exit_code(status), read_file(out), read_file(err)};
}

// Records as "LEVEL: message", without their timestamp (by default the
// initial one, to the millisecond) and process id.
std::string plain(const std::string &text, const std::string &stamp = R"(\d{8}-[\d:]{8}\.\d{3})") {
    return std::regex_replace(text, std::regex(stamp + R"( \(([^ ]+)-\d+\): )"), "$1: ");
}

void vrecord(int lvl, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    dbgtrc(lvl, TRC_VALIST, fmt, &ap);
    va_end(ap);
}

}  // namespace

// ---- Library core ----------------------------------------------------------

TEST(Core, VersionAndConfigurationDirectory) {
    EXPECT_STREQ(gnl_verstr(), "1.2.3");
    // The headers' version is the library's.
    EXPECT_STREQ(KELP_VERSION_STRING, gnl_verstr());
    EXPECT_EQ(std::to_string(KELP_VERSION_MAJOR) + "." + std::to_string(KELP_VERSION_MINOR) + "." +
                  std::to_string(KELP_VERSION_PATCH),
              gnl_verstr());
    unsetenv("KELPDIR");
    EXPECT_STREQ(gnl_kelpdir(), "/opt/morvane/etc");
    for (const char *dir : {"", "/etc/kelp"}) {  // read at each call; empty counts as set
        setenv("KELPDIR", dir, 1);
        EXPECT_STREQ(gnl_kelpdir(), dir);
    }
    unsetenv("KELPDIR");
}

TEST(Core, CheckVersionIsAtLeastTheGivenVersion) {
    constexpr int maj = KELP_VERSION_MAJOR, min = KELP_VERSION_MINOR, pat = KELP_VERSION_PATCH;
    struct Row {
        int major, minor, patch;
        bool met;
    };
    const Row rows[] = {
        {maj, min, pat, true},       {maj, min, pat - 1, true},  {maj, min - 1, 99, true},
        {maj - 1, 99, 99, true},     {maj, min, pat + 1, false}, {maj, min + 1, 0, false},
        {maj + 1, 0, 0, false},
    };
    for (const Row &r : rows)
        EXPECT_EQ(bool(KELP_CHECK_VERSION(r.major, r.minor, r.patch)), r.met)
            << r.major << "." << r.minor << "." << r.patch;
    // Arguments are whole expressions, not tokens pasted into the comparison.
    EXPECT_FALSE(KELP_CHECK_VERSION(maj, min, pat ? pat + 1 : 1));
    EXPECT_TRUE(KELP_CHECK_VERSION(maj, min == 0 ? 0 : min - 1, 0));
}

TEST(Core, InitIgnoresAndUnblocksFourSignalsUnlessAskedToKeepThem) {
    // Two bits per signal, from blocked and at their default action: ignored,
    // still blocked.
    auto outcome = [](const gnl_initopts *opts) {
        return kelp_test::exit_code(kelp_test::run_in_child([opts] {
            const int sigs[] = {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD};
            sigset_t set;
            sigemptyset(&set);
            for (int s : sigs) {
                signal(s, SIG_DFL);
                sigaddset(&set, s);
            }
            sigprocmask(SIG_BLOCK, &set, nullptr);
            int bits = gnl_init(opts) == 0 ? 0 : 0x100;
            sigprocmask(SIG_BLOCK, nullptr, &set);
            for (int i = 0; i < 4; ++i) {
                struct sigaction sa {};
                sigaction(sigs[i], nullptr, &sa);
                bits |= (sa.sa_handler == SIG_IGN) << 2 * i | sigismember(&set, sigs[i])
                                                                  << (2 * i + 1);
            }
            return bits;
        }));
    };
    gnl_initopts zero{}, keep{};
    keep.flags = GNL_INIT_KEEPSIGS;
    EXPECT_EQ(outcome(nullptr), 0x55);
    EXPECT_EQ(outcome(&zero), 0x55);
    EXPECT_EQ(outcome(&keep), 0xAA);
}

// ---- Level names -----------------------------------------------------------

TEST(TraceLevels, NamesBothWays) {
    const char *names[] = {"LOG", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_STREQ(trc_lvl2sym(i), names[i]);
        EXPECT_EQ(trc_sym2lvl(names[i]), i);
    }
    EXPECT_STREQ(trc_lvl2sym(INT_MIN), "<-2147483648>");
    const std::pair<const char *, int> syms[] = {
        {"Dbg3", 6}, {"info", 3}, {"3", -1}, {"", -1}, {"DBG ", -1}};
    for (const auto &[sym, lvl] : syms)
        EXPECT_EQ(trc_sym2lvl(sym), lvl) << "'" << sym << "'";
    // One static buffer for unnamed levels, overwritten by the next call.
    const char *a = trc_lvl2sym(9);
    EXPECT_EQ(a, trc_lvl2sym(10));
    EXPECT_STREQ(a, "<10>");
}

// ---- Configuration ---------------------------------------------------------

TEST(TraceConfig, LevelFromEnvironmentAtTheFirstRecord) {
    const std::pair<const char *, int> cases[] = {
        // -1: rejected
        {"0", -1}, {"LOG", -1},   {"1", 1},  {"err", 1},  {"ERR", 1},  {"12", 12}, {"-1", -1},
        {"", -1},  {"bogus", -1}, {"4x", 4}, {"DBG2", 5}, {"dbg2", 5}, {" 3", -1}, {"+3", -1}};
    const std::pair<int, const char *> recs[] = {
        {3, "INFO: m3\n"}, {4, "DBG: m4\n"}, {5, "DBG2: m5\n"}, {9, "<9>: m9\n"}};
    TempDir dir;
    for (const auto &[value, level] : cases) {
        SCOPED_TRACE(value);
        auto r = run_child(dir, {{"KELPTRC_LEVEL", value}, {"KELPTRC_FILENAME", "STDOUT"}});
        const int now = level < 0 ? 3 : level;
        EXPECT_EQ(r.code, 60 + now);
        std::string want;
        for (const auto &[lvl, rec] : recs)
            want += lvl <= now ? rec : "";
        // After a bad level KELPTRC_FILENAME is never read: all goes to stderr.
        EXPECT_EQ(plain(r.out), level < 0 ? "" : want);
        EXPECT_EQ(plain(r.err), level >= 0 ? ""
                                           : "ERR: msglog: Invalid trace level ($KELPTRC_LEVEL=" +
                                                 std::string(value) + ")\n" + want);
    }
}

TEST(TraceConfig, TimestampPrecisionAndFormat) {
    const std::string wide(70, 'w'), fits(63, 'w');
    const struct {
        const char *prec, *fmt;
        std::string stamp;  // pattern of timestamp and fraction; empty: rejected
    } cases[] = {
        {"micro", nullptr, R"(\d{8}-[\d:]{8}\.\d{6})"},
        {"NONE", nullptr, R"(\d{8}-[\d:]{8})"},
        {"Milli", nullptr, R"(\d{8}-[\d:]{8}\.\d{3})"},
        {"MILLI", "", R"(\.\d{3})"},  // an empty timestamp; the fraction still follows
        {"NONE", "[%Y]", R"(\[20\d\d\])"},
        {"NONE", wide.c_str(), R"(\d{8}-[\d:]{8})"},  // over 63 characters: built-in
        {"NONE", fits.c_str(), fits},
        {"", "%Y", ""},
        {"nano", "%Y", ""},
    };
    TempDir dir;
    for (const auto &c : cases) {
        auto r = run_child(dir, {{"KELPTRC_LEVEL", "DBG"},
                                 {"KELPTRC_TIMEPREC", c.prec},
                                 {"KELPTRC_TIMEFMT", c.fmt},
                                 {"KELPTRC_FILENAME", "stdout"}});
        const std::string recs = "INFO: m3\nDBG: m4\n";
        EXPECT_EQ(plain(r.out, c.stamp), c.stamp.empty() ? "" : recs) << c.prec << ": " << r.out;
        // A bad precision keeps the level already read and the initial
        // timestamp (KELPTRC_TIMEFMT is not read), and stays on stderr.
        EXPECT_EQ(plain(r.err),
                  c.stamp.empty() ? "ERR: msglog: Invalid timestamp precision ($KELPTRC_TIMEPREC=" +
                                        std::string(c.prec) + ")\n" + recs
                                  : "");
    }
}

TEST(TraceConfig, DestinationFromEnvironment) {
    TempDir dir, home;
    const struct {
        const char *filename, *home;
        std::string file;  // where the record lands; empty: standard error
    } cases[] = {{nullptr, home.path().c_str(), home.file("KELP.LOG")},
                 {nullptr, nullptr, dir.file("KELP.LOG")},  // the working directory
                 {"named.log", home.path().c_str(), dir.file("named.log")},
                 {"StdErr", home.path().c_str(), ""}};
    for (const auto &c : cases) {
        auto r = run_child(dir, {{"KELPTRC_FILENAME", c.filename}, {"HOME", c.home}});
        EXPECT_EQ(plain(c.file.empty() ? r.err : read_file(c.file)), "INFO: m3\n") << c.file;
        unlink(c.file.c_str());
    }
    EXPECT_FALSE(file_exists(dir.file("KELP.LOG")));
    EXPECT_FALSE(file_exists(home.file("KELP.LOG")));
}

TEST(TraceConfig, DbginitFailsWhenItsConfigurationFails) {
    TempDir dir;
    auto r =
        run_child(dir, {{"KELPTRC_LEVEL", "0"}}, [] { return -dbginit("own.log", nullptr, -1); });
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(file_exists(dir.file("own.log")));
    // No stream is held yet: the report of the bad level is not lost.
    EXPECT_EQ(plain(r.err), "ERR: msglog: Invalid trace level ($KELPTRC_LEVEL=0)\n");
}

// ---- Records ---------------------------------------------------------------

TEST(TraceOutput, RecordLayoutLevelsAndPid) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}}, [] {
        std::printf("%ld\n", static_cast<long>(getpid()));
        dbgtrc(3, 0, "info %s=%d", "n", 42);
        dbgtrc(-1, 0, "negative");
        dbgtrc(0, 0, "log");
        gnl_msglog("%s %d", "a", 1);
        vrecord(2, "va %s/%d", "list", 7);
        return kelp_test::run_in_child([] {
            gnl_msglog("forked");
            return 0;
        });
    });
    const std::string pid = r.out.substr(0, r.out.find('\n')), tag = "-" + pid + "): ";
    EXPECT_EQ(plain(r.out), pid +
                                "\nINFO: info n=42\n<-1>: negative\nLOG: log\nINFO: a 1\n"
                                "WARN: va list/7\nINFO: forked\n");
    size_t own = 0;  // the forked child writes its own pid
    for (size_t at = r.out.find(tag); at != npos; at = r.out.find(tag, at + 1))
        ++own;
    EXPECT_EQ(own, 5u);
}

TEST(TraceOutput, TimestampFollowsTheZoneAtEachRecord) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}, {"KELPTRC_TIMEFMT", "%Z%z"}}, [] {
        unsetenv("TZ");
        gnl_msglog("the system's zone");
        unsetenv("HOME");  // the environment keeps its length
        setenv("TZ", "AAA3", 1);
        gnl_msglog("a");
        setenv("TZ", "BBB4", 1);  // no tzset: localtime follows it all the same
        gnl_msglog("b");
        setenv("TZ", "CCC-5", 1);
        tzset();  // within the same second as likely as not
        gnl_msglog("c");
        unsetenv("TZ");
        setenv("TZ", "UTC0", 1);
        gnl_msglog("d");
        return 0;
    });
    r.out.erase(0, r.out.find('\n') + 1);
    EXPECT_EQ(plain(r.out, R"([A-Z]+[-+]\d{4}\.\d{3})"), "INFO: a\nINFO: b\nINFO: c\nINFO: d\n");
    EXPECT_EQ(std::regex_replace(r.out, std::regex(R"(\.\d{3} .*)"), ""),
              "AAA-0300\nBBB-0400\nCCC+0500\nUTC+0000\n");
    // The built-in stamp is the record's date and time in that zone: the
    // message is the same, made by the test within one second.
    r = run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}, {"KELPTRC_TIMEPREC", "NONE"}}, [] {
        setenv("TZ", "XXX-9", 1);
        tzset();
        for (time_t t = time(nullptr);; t = time(nullptr)) {
            char text[32];
            struct tm tm {};
            strftime(text, sizeof text, "%Y%m%d-%H:%M:%S", localtime_r(&t, &tm));
            gnl_msglog("%s", text);
            if (time(nullptr) == t)
                return 0;
        }
    });
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"((^|\n)(\S+) \(INFO-\d+\): \2\n$)"))) << r.out;
}

// Children made without fork handlers write records with their own id:
// _Fork, a bare clone, and a child that shares the parent's memory until it
// exits.
TEST(TraceOutput, EveryRecordCarriesTheIdOfItsWriter) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}}, [] {
        gnl_msglog("parent");
        auto record = +[](void *) -> int {
            gnl_msglog("child");
            _exit(0);
        };
        static char stack[256 * 1024];
        for (int how = 0; how < 3; ++how) {
            pid_t pid = how == 0   ? _Fork()
                        : how == 1 ? static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0))
                                   : clone(record, stack + sizeof stack,
                                           CLONE_VM | CLONE_VFORK | SIGCHLD, nullptr);
            if (pid == 0)
                record(nullptr);
            waitpid(pid, nullptr, 0);
            std::printf("%ld\n", static_cast<long>(pid));
        }
        return 0;
    });
    const std::regex child(R"(\(INFO-(\d+)\): child\n(\d+)\n)");
    int own = 0;
    for (std::sregex_iterator m(r.out.begin(), r.out.end(), child), end; m != end; ++m)
        own += (*m)[1] == (*m)[2];
    EXPECT_EQ(own, 3) << r.out;
}

TEST(TraceOutput, DbginitTakesStreamPathOrDescriptor) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "env.log"}, {"KELPTRC_LEVEL", "DBG"}}, [] {
        // First: the level is read from the environment, the file name is not.
        int failed = dbginit(nullptr, stdout, -1);
        dbgtrc(4, 0, "on stdout");
        failed |= dbginit("a.log", nullptr, -1);
        gnl_msglog("on a");
        std::printf("still open\n");  // standard output stays open as the trace moves on
        failed |= dbginit(nullptr, nullptr, open("b.log", O_WRONLY | O_CREAT | O_APPEND, 0600));
        gnl_msglog("on fd");
        // A stream handed in is the trace's: kept when handed in again alone,
        // closed when a path takes over.
        FILE *own = std::fopen("own.log", "a");
        failed |= dbginit(nullptr, own, -1) | dbginit(nullptr, own, -1);
        gnl_msglog("on own");
        const int fds = kelp_test::count_open_fds();
        failed |= dbginit("c.log", own, -1) | (kelp_test::count_open_fds() != fds);
        gnl_msglog("on c");
        // A failure leaves no stream: its report and later records go to
        // stderr.
        failed |= dbginit(nullptr, nullptr, 987) != -1 ||
                  dbginit("/nonexistent-dir/x.log", nullptr, -1) != -1;
        gnl_msglog("afterwards");
        return failed;
    });
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(plain(r.out), "DBG: on stdout\nstill open\n");
    EXPECT_EQ(plain(read_file(dir.file("a.log"))), "INFO: on a\n");
    EXPECT_EQ(plain(read_file(dir.file("b.log"))), "INFO: on fd\n");
    EXPECT_EQ(plain(read_file(dir.file("own.log"))), "INFO: on own\n");
    EXPECT_EQ(plain(read_file(dir.file("c.log"))), "INFO: on c\n");
    EXPECT_EQ(plain(r.err),
              "ERR: dbginit: fdopen() failed on fd=987 [errno=9]\n"
              "ERR: dbginit: fopen(/nonexistent-dir/x.log) failed "
              "[errno=2]\nINFO: afterwards\n");
    EXPECT_FALSE(file_exists(dir.file("env.log")));
    EXPECT_FALSE(file_exists(dir.file("KELP.LOG")));
}

TEST(TraceOutput, ReopenModeOpensTheFileForEachRecordAndFallsBackToTmp) {
    TempDir dir;
    const std::string exact = dir.path() + "/" + std::string(1023 - dir.path().size(), 'q');
    const std::string tmp_log = "/tmp/KELP.LOG";
    const size_t before = read_file(tmp_log).size();
    auto r = run_child(dir, {{"KELPTRC_REOPEN", "Y"}}, [&] {
        int failed = dbginit("re.log", nullptr, -1) | file_exists("re.log");  // nothing opened yet
        gnl_msglog("first");
        std::string one = plain(read_file("re.log"));
        unlink("re.log");
        gnl_msglog("second");
        failed |= one != "INFO: first\n" || plain(read_file("re.log")) != "INFO: second\n";
        // Once chosen, reopen mode stays even without the variable.
        unsetenv("KELPTRC_REOPEN");
        failed |= dbginit("re.log", nullptr, -1) | unlink("re.log");
        // One character over 1024 is refused, reported in the file still named.
        failed |= dbginit((exact + "q").c_str(), nullptr, -1) != -1 ||
                  plain(read_file("re.log")) != "ERR: dbginit: pthnam too long [" + exact + "q]\n";
        // 1024 fit, though no file of that name can be opened: from the next
        // record on, the trace goes to /tmp/KELP.LOG for good.
        failed |= dbginit(exact.c_str(), nullptr, -1);
        gnl_msglog("one");
        gnl_msglog("two");
        return failed;
    });
    EXPECT_EQ(r.code, 0);
    // Others may append there too: this run's lines only. The notice names
    // the process of the record it precedes, and comes once.
    std::string added = read_file(tmp_log).substr(before);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(added, m,
                                  std::regex(R"(\*\*\* PID=(\d+): Failed to open ')" + exact +
                                             R"(', errno=36 \*\*\*\n.* \(INFO-\1\): one\n)")))
        << added;
    EXPECT_NE(m.suffix().str().find("(INFO-" + m[1].str() + "): two\n"), npos);
    EXPECT_EQ(m.suffix().str().find("*** PID=" + m[1].str() + ": Failed to open"), npos);
}
