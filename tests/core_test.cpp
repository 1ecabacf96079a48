// Library core and trace. The trace reads its configuration once per
// process, so every case that depends on it runs in a fresh child.
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <regex>
#include <string>

using kelp_test::read_file;
using kelp_test::TempDir;

namespace {

struct ChildRun {
    int code = -1;
    std::string out;  // what the child wrote to standard output
    std::string err;  // ... and to standard error
};

// Runs fn in a child with env applied (nullptr unsets) and its standard
// streams captured. HOME points into dir unless env says otherwise, so no
// case writes into the real home directory.
ChildRun run_child(const TempDir &dir, std::map<std::string, const char *> env,
                   const std::function<int()> &fn) {
    const std::string out = dir.file("stdout"), err = dir.file("stderr");
    for (const char *name : {"KELPTRC_LEVEL", "KELPTRC_TIMEPREC", "KELPTRC_TIMEFMT",
                             "KELPTRC_FILENAME", "KELPTRC_REOPEN"})
        env.emplace(name, nullptr);
    env.emplace("HOME", dir.path().c_str());
    int status = kelp_test::run_in_child(env, [&] {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        close(o);
        close(e);
        return fn();
    });
    return {kelp_test::exit_code(status), read_file(out), read_file(err)};
}

std::string pid_of_record(const std::string &line) {
    std::smatch m;
    static const std::regex re(R"(\([A-Z0-9<>-]+-(\d+)\): )");
    return std::regex_search(line, m, re) ? m[1].str() : "";
}

// A record as written with the initial settings: date, milliseconds, level, pid.
const std::regex default_record(R"(\d{8}-\d\d:\d\d:\d\d\.\d{3} \(([A-Z0-9<>-]+)-(\d+)\): (.*))");

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
    TempDir dir;
    auto run = [&](const char *value) {
        return run_child(dir, {{"KELPDIR", value}},
                         [] {
                             std::fputs(gnl_kelpdir(), stdout);
                             return 0;
                         })
            .out;
    };
    EXPECT_EQ(run(nullptr), "/opt/morvane/etc");
    EXPECT_EQ(run(""), "");
    EXPECT_EQ(run("/etc/kelp"), "/etc/kelp");
}

TEST(Core, InitIgnoresFourSignalsUnlessAskedToKeepThem) {
    const int sigs[] = {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD};
    auto ignored = [&](const gnl_initopts *opts) {
        return kelp_test::exit_code(kelp_test::run_in_child([&] {
            for (int s : sigs)
                signal(s, SIG_DFL);
            if (gnl_init(opts) != 0)
                return 100;
            int mask = 0;
            for (int i = 0; i < 4; ++i) {
                struct sigaction sa {};
                sigaction(sigs[i], nullptr, &sa);
                if (sa.sa_handler == SIG_IGN)
                    mask |= 1 << i;
            }
            return mask;
        }));
    };
    gnl_initopts keep{};
    keep.flags = GNL_INIT_KEEPSIGS;
    gnl_initopts zero{};
    EXPECT_EQ(ignored(nullptr), 0xF);
    EXPECT_EQ(ignored(&zero), 0xF);
    EXPECT_EQ(ignored(&keep), 0);
}

TEST(Core, WriteToClosedPipeFailsWithEpipeAfterInit) {
    int code = kelp_test::exit_code(kelp_test::run_in_child([] {
        gnl_init(nullptr);
        int p[2];
        if (pipe(p) != 0)
            return 1;
        close(p[0]);
        return write(p[1], "x", 1) < 0 && errno == EPIPE ? 0 : 2;
    }));
    EXPECT_EQ(code, 0);
}

TEST(Core, InitUnblocksTheSignalsItIgnores) {
    int code = kelp_test::exit_code(kelp_test::run_in_child([] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        gnl_init(nullptr);
        sigprocmask(SIG_BLOCK, nullptr, &set);
        return sigismember(&set, SIGUSR1);
    }));
    EXPECT_EQ(code, 0);
}

// ---- Level names -----------------------------------------------------------

TEST(TraceLevels, NamesBothWays) {
    const char *names[] = {"LOG", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_STREQ(trc_lvl2sym(i), names[i]);
        EXPECT_EQ(trc_sym2lvl(names[i]), i);
    }
    EXPECT_STREQ(trc_lvl2sym(7), "<7>");
    EXPECT_STREQ(trc_lvl2sym(-1), "<-1>");
    EXPECT_STREQ(trc_lvl2sym(-2147483647 - 1), "<-2147483648>");
    EXPECT_EQ(trc_sym2lvl("Dbg3"), 6);
    EXPECT_EQ(trc_sym2lvl("info"), 3);
    EXPECT_EQ(trc_sym2lvl("3"), -1);
    EXPECT_EQ(trc_sym2lvl(""), -1);
    EXPECT_EQ(trc_sym2lvl("DBG "), -1);
    // One static buffer for unnamed levels, overwritten by the next call.
    const char *a = trc_lvl2sym(9);
    const char *b = trc_lvl2sym(10);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(b, "<10>");
}

// ---- Configuration ---------------------------------------------------------

TEST(TraceConfig, LevelFromEnvironment) {
    struct Case {
        const char *value;
        int level;  // -1: rejected
    } cases[] = {{"0", -1},   {"LOG", -1}, {"1", 1},   {"err", 1},    {"ERR", 1},
                 {"12", 12},  {"-1", -1},  {"", -1},   {"bogus", -1}, {"4x", 4},
                 {"DBG2", 5}, {"dbg2", 5}, {" 3", -1}, {"+3", -1}};
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        auto r = run_child(dir, {{"KELPTRC_LEVEL", c.value}, {"KELPTRC_FILENAME", "STDOUT"}}, [] {
            int before = dbglvl();
            dbgtrc(99, 0, "never");
            return before * 20 + dbglvl();  // exit codes are 8 bits
        });
        if (c.level < 0) {
            EXPECT_EQ(r.code, 63);
            EXPECT_NE(r.err.find("(ERR-"), std::string::npos);
            EXPECT_NE(r.err.find(std::string("): msglog: Invalid trace level ($KELPTRC_LEVEL=") +
                                 c.value + ")\n"),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(r.out, "");  // KELPTRC_FILENAME is never read after a bad level
        } else {
            EXPECT_EQ(r.code, 60 + c.level);
            EXPECT_EQ(r.err, "");
        }
    }
}

TEST(TraceConfig, LevelIsReadAtTheFirstRecordNotBefore) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_LEVEL", "5"}, {"KELPTRC_FILENAME", "STDOUT"}}, [] {
        int before = dbglvl();
        dbgtrc(5, 0, "five");
        dbgtrc(6, 0, "six");
        return before * 10 + dbglvl();
    });
    EXPECT_EQ(r.code, 35);
    EXPECT_NE(r.out.find("(DBG2-"), std::string::npos);
    EXPECT_EQ(r.out.find("six"), std::string::npos);
}

TEST(TraceConfig, PrecisionFromEnvironment) {
    TempDir dir;
    auto line = [&](const char *prec) {
        return run_child(dir, {{"KELPTRC_TIMEPREC", prec}, {"KELPTRC_FILENAME", "STDOUT"}},
                         [] {
                             gnl_msglog("x");
                             return 0;
                         })
            .out;
    };
    EXPECT_TRUE(
        std::regex_match(line("micro"), std::regex(R"(\d{8}-[\d:]{8}\.\d{6} \(INFO-\d+\): x\n)")));
    EXPECT_TRUE(std::regex_match(line("NONE"), std::regex(R"(\d{8}-[\d:]{8} \(INFO-\d+\): x\n)")));
    EXPECT_TRUE(
        std::regex_match(line("Milli"), std::regex(R"(\d{8}-[\d:]{8}\.\d{3} \(INFO-\d+\): x\n)")));
}

TEST(TraceConfig, BadPrecisionKeepsTheLevelAlreadyReadAndStaysOnStderr) {
    TempDir dir;
    for (const char *bad : {"", "nano"}) {
        auto r = run_child(dir,
                           {{"KELPTRC_LEVEL", "DBG"},
                            {"KELPTRC_TIMEPREC", bad},
                            {"KELPTRC_TIMEFMT", "%Y"},
                            {"KELPTRC_FILENAME", "STDOUT"}},
                           [] {
                               dbgtrc(4, 0, "after");
                               return dbglvl();
                           });
        EXPECT_EQ(r.code, 4);
        EXPECT_EQ(r.out, "");
        // Both records on stderr, with the initial millisecond fraction and
        // the built-in timestamp: KELPTRC_TIMEFMT was never read.
        std::regex re(
            std::string(
                R"(\d{8}-[\d:]{8}\.\d{3} \(ERR-\d+\): msglog: Invalid timestamp precision \(\$KELPTRC_TIMEPREC=)") +
            bad + R"(\)\n\d{8}-[\d:]{8}\.\d{3} \(DBG-\d+\): after\n)");
        EXPECT_TRUE(std::regex_match(r.err, re)) << r.err;
    }
}

TEST(TraceConfig, TimestampFormat) {
    TempDir dir;
    auto line = [&](const char *fmt, const char *prec) {
        return run_child(dir,
                         {{"KELPTRC_TIMEFMT", fmt},
                          {"KELPTRC_TIMEPREC", prec},
                          {"KELPTRC_FILENAME", "stdout"}},
                         [] {
                             gnl_msglog("m");
                             return 0;
                         })
            .out;
    };
    // An empty format gives an empty timestamp; the fraction still follows.
    EXPECT_TRUE(std::regex_match(line("", "MILLI"), std::regex(R"(\.\d{3} \(INFO-\d+\): m\n)")));
    EXPECT_TRUE(
        std::regex_match(line("[%Y]", "NONE"), std::regex(R"(\[20\d\d\] \(INFO-\d+\): m\n)")));
    // An expansion over 63 characters falls back to the built-in timestamp.
    std::string wide(70, 'w');
    EXPECT_TRUE(std::regex_match(line(wide.c_str(), "NONE"),
                                 std::regex(R"(\d{8}-[\d:]{8} \(INFO-\d+\): m\n)")));
    std::string fits(63, 'w');
    EXPECT_EQ(line(fits.c_str(), "NONE").substr(0, 64), fits + " ");
}

TEST(TraceConfig, DefaultFileIsKelpLogInHome) {
    TempDir dir;
    run_child(dir, {}, [] {
        gnl_msglog("in home");
        return 0;
    });
    EXPECT_NE(read_file(dir.file("KELP.LOG")).find("): in home\n"), std::string::npos);

    TempDir cwd;
    run_child(dir, {{"HOME", nullptr}}, [&] {
        if (chdir(cwd.path().c_str()) != 0)
            return 1;
        gnl_msglog("in cwd");
        return 0;
    });
    EXPECT_NE(read_file(cwd.file("KELP.LOG")).find("): in cwd\n"), std::string::npos);
}

TEST(TraceConfig, FilenameNamesStreamsOrAFile) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "StdErr"}}, [] {
        gnl_msglog("to stderr");
        return 0;
    });
    EXPECT_NE(r.err.find("): to stderr\n"), std::string::npos);
    const std::string path = dir.file("named.log");
    run_child(dir, {{"KELPTRC_FILENAME", path.c_str()}}, [] {
        gnl_msglog("to file");
        return 0;
    });
    EXPECT_NE(read_file(path).find("): to file\n"), std::string::npos);
    EXPECT_FALSE(kelp_test::file_exists(dir.file("KELP.LOG")));
}

TEST(TraceConfig, DbginitFirstNeverReadsTheFilenameVariable) {
    TempDir dir;
    const std::string env_path = dir.file("env.log"), own = dir.file("own.log");
    auto r =
        run_child(dir, {{"KELPTRC_FILENAME", env_path.c_str()}, {"KELPTRC_LEVEL", "DBG"}}, [&] {
            if (dbginit(own.c_str(), nullptr, -1) != 0)
                return 1;
            dbgtrc(4, 0, "mine");
            return dbglvl();
        });
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(read_file(own).find("(DBG-"), std::string::npos);
    EXPECT_FALSE(kelp_test::file_exists(env_path));
    EXPECT_FALSE(kelp_test::file_exists(dir.file("KELP.LOG")));
}

TEST(TraceConfig, DbginitFailsWhenItsConfigurationFails) {
    TempDir dir;
    const std::string own = dir.file("own.log");
    auto r = run_child(dir, {{"KELPTRC_LEVEL", "0"}},
                       [&] { return -dbginit(own.c_str(), nullptr, -1); });
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(kelp_test::file_exists(own));
    // No stream is held yet: the report of the bad level is not lost.
    EXPECT_NE(r.err.find("msglog: Invalid trace level ($KELPTRC_LEVEL=0)"), std::string::npos);
}

// ---- Records ---------------------------------------------------------------

TEST(TraceOutput, RecordLayoutLevelsAndFilter) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}}, [] {
        dbgtrc(4, 0, "filtered");
        dbgtrc(3, 0, "info %s=%d", "n", 42);
        dbgtrc(-1, 0, "negative");
        dbgtrc(0, 0, "log");
        gnl_msglog("%s %d", "a", 1);
        vrecord(2, "va %s/%d", "list", 7);
        std::printf("pid=%ld\n", static_cast<long>(getpid()));
        return 0;
    });
    std::vector<std::string> lines;
    std::string pid;
    for (size_t pos = 0; pos < r.out.size();) {
        size_t nl = r.out.find('\n', pos);
        std::string line = r.out.substr(pos, nl - pos);
        if (line.rfind("pid=", 0) == 0)
            pid = line.substr(4);
        else
            lines.push_back(line);
        pos = nl + 1;
    }
    ASSERT_EQ(lines.size(), 5u) << r.out;
    const std::pair<const char *, const char *> want[] = {{"INFO", "info n=42"},
                                                          {"<-1>", "negative"},
                                                          {"LOG", "log"},
                                                          {"INFO", "a 1"},
                                                          {"WARN", "va list/7"}};
    for (size_t i = 0; i < 5; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, default_record)) << lines[i];
        EXPECT_EQ(m[1].str(), want[i].first);
        EXPECT_EQ(m[2].str(), pid);
        EXPECT_EQ(m[3].str(), want[i].second);
    }
}

TEST(TraceOutput, HigherLevelsCarryTheirNumber) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}, {"KELPTRC_LEVEL", "12"}}, [] {
        dbgtrc(9, 0, "nine");
        dbgtrc(13, 0, "thirteen");
        return 0;
    });
    EXPECT_NE(r.out.find("(<9>-"), std::string::npos);
    EXPECT_EQ(r.out.find("thirteen"), std::string::npos);
}

TEST(TraceOutput, ForkedChildWritesItsOwnPid) {
    TempDir dir;
    const std::string path = dir.file("t.log");
    run_child(dir, {{"KELPTRC_FILENAME", path.c_str()}}, [] {
        gnl_msglog("parent");
        kelp_test::run_in_child([] {
            gnl_msglog("child");
            return 0;
        });
        return 0;
    });
    std::string text = read_file(path);
    size_t cut = text.find('\n');
    ASSERT_NE(cut, std::string::npos);
    std::string p = pid_of_record(text.substr(0, cut)), c = pid_of_record(text.substr(cut + 1));
    EXPECT_FALSE(p.empty());
    EXPECT_FALSE(c.empty());
    EXPECT_NE(p, c);
}

TEST(TraceOutput, DbginitWithStreamDescriptorAndPath) {
    TempDir dir;
    const std::string a = dir.file("a.log"), b = dir.file("b.log");
    auto r = run_child(dir, {}, [&] {
        if (dbginit(nullptr, stdout, -1) != 0)
            return 1;
        gnl_msglog("on stdout");
        if (dbginit(a.c_str(), nullptr, -1) != 0)
            return 2;
        gnl_msglog("on a");
        // Standard output stays open when the trace moves on.
        if (fcntl(1, F_GETFD) < 0 || std::printf("still open\n") < 0)
            return 3;
        int fd = open(b.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (dbginit(nullptr, nullptr, fd) != 0)
            return 4;
        gnl_msglog("on fd");
        return 0;
    });
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("): on stdout\nstill open\n"), std::string::npos) << r.out;
    EXPECT_NE(read_file(a).find("): on a\n"), std::string::npos);
    EXPECT_EQ(read_file(a).find("on fd"), std::string::npos);
    EXPECT_NE(read_file(b).find("): on fd\n"), std::string::npos);
}

TEST(TraceOutput, FailedDbginitReportsAndKeepsRecordsOnStderr) {
    TempDir dir;
    auto r = run_child(dir, {{"KELPTRC_FILENAME", "STDOUT"}}, [&] {
        int bad_fd = dbginit(nullptr, nullptr, 987);
        int bad_path = dbginit("/nonexistent-dir/x.log", nullptr, -1);
        gnl_msglog("afterwards");
        return (bad_fd == -1 ? 1 : 0) + (bad_path == -1 ? 2 : 0);
    });
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("(ERR-"), std::string::npos);
    EXPECT_NE(r.err.find("): dbginit: fdopen() failed on fd=987 [errno=9]\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("): dbginit: fopen(/nonexistent-dir/x.log) failed [errno=2]\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("): afterwards\n"), std::string::npos);
}

TEST(TraceOutput, ReopenModeOpensTheFileForEachRecord) {
    TempDir dir;
    const std::string path = dir.file("re.log");
    auto r = run_child(dir, {{"KELPTRC_REOPEN", "Y"}}, [&] {
        if (dbginit(path.c_str(), nullptr, -1) != 0)
            return 1;
        if (kelp_test::file_exists(path))
            return 2;  // nothing is opened before the first record
        gnl_msglog("first");
        std::string one = read_file(path);
        unlink(path.c_str());
        gnl_msglog("second");
        std::string two = read_file(path);
        if (one.find("): first\n") == std::string::npos ||
            two.find("): second\n") == std::string::npos || two.find("first") != std::string::npos)
            return 3;
        // Once chosen, reopen mode stays even without the variable.
        unsetenv("KELPTRC_REOPEN");
        if (dbginit(path.c_str(), nullptr, -1) != 0)
            return 4;
        unlink(path.c_str());
        gnl_msglog("third");
        return kelp_test::file_exists(path) ? 0 : 5;
    });
    EXPECT_EQ(r.code, 0);
}

TEST(TraceOutput, ReopenModeFallsBackToTmpForGood) {
    TempDir dir;
    const std::string tmp_log = "/tmp/KELP.LOG";
    const size_t before = read_file(tmp_log).size();
    auto r = run_child(dir, {{"KELPTRC_REOPEN", "y"}}, [&] {
        if (dbginit("/nonexistent-dir/t.log", nullptr, -1) != 0)
            return 1;
        gnl_msglog("one");
        gnl_msglog("two");
        return static_cast<int>(getpid() % 200);
    });
    std::string added = read_file(tmp_log).substr(before);
    std::string notice = "*** PID=";
    size_t at = added.find("Failed to open '/nonexistent-dir/t.log', errno=2 ***\n");
    ASSERT_NE(at, std::string::npos) << added;
    EXPECT_NE(added.rfind(notice, at), std::string::npos);
    EXPECT_NE(added.find("): one\n", at), std::string::npos);
    EXPECT_NE(added.find("): two\n", at), std::string::npos);
    EXPECT_EQ(added.find("Failed to open", at + 1), std::string::npos);
}

TEST(TraceOutput, ReopenModeRefusesAnOverlongPath) {
    TempDir dir;
    std::string longpath = dir.path() + "/" + std::string(1100, 'p');
    auto r = run_child(dir, {{"KELPTRC_REOPEN", "y"}}, [&] {
        int exact = dbginit((dir.path() + "/" + std::string(1023 - dir.path().size(), 'q')).c_str(),
                            nullptr, -1);
        return exact * 10 - dbginit(longpath.c_str(), nullptr, -1);
    });
    EXPECT_EQ(r.code, 1);  // 1024 characters fit, 1100 do not
}
