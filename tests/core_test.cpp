// Library core and trace. The trace reads its configuration once per
// process, so every case that depends on it runs in a fresh child.
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <csignal>
#include <regex>

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
            gnl_init(opts);
            for (int s : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD})
                raise(s);
            sigpending(&set);
            return sigisemptyset(&set) ? 0 : 1;
        }));
        EXPECT_EQ(waiting, opts == &keep ? 1 : 0);
    }
}

// Level, precision, timestamp format and destination, read at the first
// record. A refused value stops the reading: its report and the records go
// to stderr.
TEST(TraceConfig, FromTheEnvironment) {
    const std::string milli = R"(\d{8}-[\d:]{8}\.\d{3})", none = R"(\d{8}-[\d:]{8})";
    const std::string wide(70, 'w'), fits(63, 'w');
    const struct {
        const char *level, *prec, *fmt, *filename;
        int now;                           // the level in force
        std::string stamp, file, refused;  // timestamp pattern; where records land; the report
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, 3, milli, "home/KELP.LOG", ""},
        {"err", "micro", nullptr, "named.log", 1, R"(\d{8}-[\d:]{8}\.\d{6})", "named.log", ""},
        {"12", "NONE", "[%Y]", "StdErr", 12, R"(\[20\d\d\])", "err", ""},  // past the names
        {"4x", "Milli", "", "stdout", 4, R"(\.\d{3})", "out", ""},     // the digits; no timestamp
        {"dbg2", "none", wide.c_str(), "STDOUT", 5, none, "out", ""},  // too wide: the built-in
        {"DBG", "NONE", fits.c_str(), nullptr, 4, fits, "home/KELP.LOG", ""},
        {"LOG", "NONE", nullptr, "named.log", 3, milli, "err", "trace level ($KELPTRC_LEVEL=LOG)"},
        {"DBG", "nano", "%Y", "x", 4, milli, "err", "timestamp precision ($KELPTRC_TIMEPREC=nano)"},
    };
    const std::pair<int, const char *> levels[] = {
        {1, "ERR"}, {3, "INFO"}, {4, "DBG"}, {5, "DBG2"}, {9, "<9>"}};
    // Records of those levels; the child exits with the level then in force,
    // or 99 when it changed before the first record.
    auto records = [&] {
        const int before = dbglvl();
        for (const auto &[lvl, name] : levels)
            dbgtrc(lvl, 0, "m%d", lvl);
        return before == 3 ? dbglvl() : 99;
    };
    TempDir dir;
    for (const auto &c : cases) {
        const std::map<std::string, const char *> env = {{"KELPTRC_LEVEL", c.level},
                                                         {"KELPTRC_TIMEPREC", c.prec},
                                                         {"KELPTRC_TIMEFMT", c.fmt},
                                                         {"KELPTRC_FILENAME", c.filename}};
        EXPECT_EQ(run_child(dir, env, records), c.now) << c.file;
        std::string want = c.refused.empty() ? "" : "ERR: msglog: Invalid " + c.refused + "\n";
        for (const auto &[lvl, name] : levels)
            want += lvl <= c.now ? name + (": m" + std::to_string(lvl)) + "\n" : "";
        EXPECT_EQ(plain(read_file(dir.file(c.file)), c.stamp), want) << c.file;
        unlink(dir.file(c.file).c_str());
        EXPECT_EQ(read_file(dir.file("out")) + read_file(dir.file("err")), "");  // nothing else
    }
    for (int lvl = 0; lvl < 8; ++lvl)  // the names the records show, both ways
        EXPECT_EQ(trc_sym2lvl(trc_lvl2sym(lvl)), lvl < 7 ? lvl : -1);
    // dbginit fails with its configuration.
    EXPECT_EQ(run_child(dir, {{"KELPTRC_LEVEL", "x"}}, [] { return -dbginit("x", nullptr, -1); }),
              1);
}

// Records of every layout as the trace moves from stream to path to
// descriptor, to a stream of the caller's, then fails; then in reopen mode.
TEST(TraceOutput, DbginitTakesStreamPathOrDescriptorAndReopenMode) {
    TempDir dir;
    const std::string exact(1024, 'q');
    const int code =
        run_child(dir, {{"KELPTRC_FILENAME", "env.log"}, {"KELPTRC_LEVEL", "DBG3"}}, [&] {
            // First: the level is read from the environment, the file name is not.
            int failed = dbginit(nullptr, stdout, -1) | dbginit(nullptr, stderr, -1);
            dbgtrc(6, 0, "on stderr %s=%d", "n", 42);
            failed |= dbginit("a.log", nullptr, -1);
            std::fputs("caller's ", stderr);  // the caller's, with its own buffer
            dbgtrc(-1, 0, "on a");
            std::fputs("text\n", stderr);
            failed |= dbginit(nullptr, nullptr, open("b.log", O_WRONLY | O_CREAT | O_APPEND, 0600));
            dbgtrc(2, 0, "on fd");
            // A stream handed in is the trace's: kept when handed in again alone,
            // closed when a path takes over.
            FILE *own = std::fopen("own.log", "a");
            failed |= dbginit(nullptr, own, -1) | dbginit(nullptr, own, -1);
            dbgtrc(0, 0, "on own");
            const int fds = kelp_test::count_open_fds();
            failed |= dbginit("c.log", own, -1) | (kelp_test::count_open_fds() != fds);
            for (int n = 950; n < 1000; ++n)  // across the end of a record's own buffer
                gnl_msglog("%0*d", n, n);
            // A failure leaves no stream: its report and later records go to stderr.
            failed |=
                dbginit(nullptr, nullptr, 987) != -1 || dbginit("no/x.log", nullptr, -1) != -1;
            gnl_msglog("afterwards");
            // Reopen mode: nothing is opened before a record, each opens the file
            // anew (one held open would follow it to its new name), and the mode
            // stays once chosen. A name over 1024 characters is refused.
            setenv("KELPTRC_REOPEN", "Y", 1);
            failed |= dbginit("re.log", nullptr, -1) | kelp_test::file_exists("re.log");
            gnl_msglog("first");
            rename("re.log", "first.log");
            gnl_msglog("second");
            unsetenv("KELPTRC_REOPEN");
            failed |= dbginit("late.log", nullptr, -1) | kelp_test::file_exists("late.log");
            return failed | (dbginit((exact + "q").c_str(), nullptr, -1) != -1);
        });
    EXPECT_EQ(code, 0);
    std::string all, long_ones;
    for (const char *file : {"out", "err", "a.log", "b.log", "own.log", "c.log", "env.log",
                             "first.log", "re.log", "late.log"})
        all += std::string(file) + ": " + plain(read_file(dir.file(file)));
    for (int n = 950; n < 1000; ++n)
        long_ones += "INFO: " + std::string(n - 3, '0') + std::to_string(n) + "\n";
    EXPECT_EQ(all,
              "out: err: DBG3: on stderr n=42\ncaller's text\n"
              "ERR: dbginit: fdopen() failed on fd=987 [errno=9]\n"
              "ERR: dbginit: fopen(no/x.log) failed [errno=2]\nINFO: afterwards\n"
              "a.log: <-1>: on a\nb.log: WARN: on fd\nown.log: LOG: on own\nc.log: " +
                  long_ones + "env.log: first.log: INFO: first\nre.log: INFO: second\n" +
                  "late.log: ERR: dbginit: pthnam too long [" + exact + "q]\n");
}

// Each record's message is what it must carry: the id of the process that
// writes it, also in a child made without fork handlers that shares the
// parent's memory until it exits; the built-in timestamp in the zone TZ
// names at that moment, as localtime follows it (with or without tzset,
// within one second as likely as not), made from UTC and the zone's offset
// until one falls within its second.
TEST(TraceOutput, RecordsCarryTheWritersIdAndTheZoneOfTheMoment) {
    TempDir dir;
    run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}, {"KELPTRC_TIMEPREC", "NONE"}}, [] {
        auto own_id = +[](void *) -> int {
            gnl_msglog("%ld", static_cast<long>(getpid()));
            return 0;
        };
        static char stack[65536];
        own_id(nullptr);
        waitpid(clone(own_id, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, nullptr),
                nullptr, 0);
        unsetenv("TZ");
        gnl_msglog("the system's zone");
        unsetenv("HOME");  // the environment keeps its length
        const std::pair<const char *, int> zones[] = {
            {"AAA3", -3}, {"BBB4", -4}, {"CCC-5", 5}, {"UTC0", 0}};
        for (const auto &[tz, hours] : zones) {
            if (hours == 0)
                unsetenv("TZ");  // to come back last
            setenv("TZ", tz, 1);
            if (hours == 5)
                tzset();
            for (time_t t = 0; t != time(nullptr);) {
                char text[32];
                struct tm tm {};
                t = time(nullptr);
                const time_t local = t + hours * 3600;
                strftime(text, sizeof text, "%Y%m%d-%H:%M:%S", gmtime_r(&local, &tm));
                gnl_msglog("%s %s", tz, text);
            }
        }
        return 0;
    });
    const std::string out = read_file(dir.file("out"));
    const std::regex own(R"(\(INFO-(\d+)\): \1\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), own), {}), 2) << out;
    for (const std::string tz : {"AAA3", "BBB4", "CCC-5", "UTC0"})
        EXPECT_TRUE(std::regex_search(out, std::regex("(\\S+) \\(INFO-\\d+\\): " + tz + " \\1\n")))
            << out;
}
