// gnl_cmdlin against the platform's getopt, on real argument vectors.
#include <kelp.h>

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One parse of the space-separated words (getopt reorders them); the handler
// notes what it is given as "a b=val 1=first", sets stop or says no at a
// chosen call. nparam starts at -1 to show whether the count was reached.
struct Parse {
    Parse(const std::string &words, const char *optstr, const char *mandsw = "", int minp = 0,
          int maxp = -1, size_t stop = 99, size_t reject = 99)
        : stop_at(stop), reject_at(reject) {
        for (size_t at = 0, end; at <= words.size(); at = end + 1) {
            end = std::min(words.find(' ', at), words.size());
            args.push_back(words.substr(at, end - at));
        }
        def = {optstr, mandsw, 0, handler, this, minp, maxp, -1, nullptr, 0};
    }
    int run() {
        for (auto &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        optind = 0;  // glibc: a full restart of getopt
        return gnl_cmdlin(static_cast<int>(args.size()), argv.data(), &def);
    }
    static int handler(gnl_cmdlin_def *def, int kind, int code, char *arg) {
        auto *p = static_cast<Parse *>(def->appdata);
        p->seen += (p->seen.empty() ? "" : " ") +
                   (kind == CMDLIN_SWITCH ? std::string(1, static_cast<char>(code))
                                          : std::to_string(code)) +
                   (arg != nullptr ? "=" + std::string(arg) : "");
        size_t n = p->calls++;
        if (n == p->stop_at)
            def->stop = 1;
        return n == p->reject_at ? 1 : 0;
    }
    std::vector<std::string> args;
    std::vector<char *> argv;
    gnl_cmdlin_def def;
    std::string seen;
    size_t calls = 0, stop_at, reject_at;
};

TEST(Cmdlin, AcceptsAndRejectsLikeGetopt) {
    const std::string huge = std::string(10000, 'z'), huge_words = huge + " -xy";
    const std::string cut =
        ("Illegal switch (on or after '" + huge).substr(0, sizeof gnl_usrmsg - 1);
    struct Case {
        const char *words, *optstr, *mandsw;
        int minp, maxp, rc;
        const char *seen, *message;
        int nparam = -1;
        size_t stop_at = 99, reject_at = 99;
    } cases[] = {
        // Parameters come after the switches, as getopt reorders them.
        {"p one -a -b v two -c", "ab:c", "b", 1, 3, 0, "a b=v c 1=one 2=two", "", 2},
        {"p -b", ":b:", "", 0, -1, 0, ":", "", 0},  // missing argument as ':'
        {"p -x", "ab:", "", 0, -1, 1, "", "Illegal switch (on or after '-x')"},
        {"p -a", nullptr, nullptr, 0, -1, 1, "", "Illegal switch (on or after '-a')"},
        {"p -a -b", "ab:", "", 0, -1, 1, "a", "Illegal switch (on or after '-b')"},
        {"p -ax", "ab:", "", 0, -1, 1, "a", "Illegal switch (on or after '-ax')"},
        {"p -a q -a", "a", "", 0, -1, 1, "a", "Duplicate '-a' switch"},
        {"p -aa", "a", "", 0, -1, 1, "a", "Duplicate '-a' switch"},
        {"p", "io", "io", 0, -1, 1, "", "Mandatory '-o' switch not supplied"},
        {"p -o", "io", "io", 0, -1, 1, "o", "Mandatory '-i' switch not supplied"},
        // The count is stored before it is checked.
        {"p", "", "", 1, -1, 1, "", "Illegal number of parameters (0)", 0},
        {"p q -a r", "a", "", 0, 1, 1, "a", "Illegal number of parameters (2)", 2},
        // Bytes above 127 never index the table of counters.
        {"p -a", "a\xe9", "", 0, -1, 1, "", "Unsupported switch character (code 233) in optstr"},
        {"p -a", "a", "a\xff", 0, -1, 1, "", "Unsupported switch character (code 255) in mandsw"},
        {"p -\xff", "a", "", 0, -1, 1, "", "Illegal switch (on or after '-\xff')"},
        // getopt stops inside "-xy": the message names the argument before,
        // here a 10,000-character program name, and is cut to fit.
        {huge_words.c_str(), "a", "", 0, -1, 1, "", cut.c_str()},
        // Stopped by the handler: no duplicate, mandatory or count check.
        {"p -a -a -x", "a", "m", 5, 5, 0, "a", "", -1, 0},
        {"p -a q r", "a", "", 0, -1, 0, "a 1=q", "", 2, 1},
        // Refused by the handler, which keeps the message to itself.
        {"p -a q r", "a", "", 0, -1, 1, "a 1=q 2=r", "", 2, 99, 2},
    };
    for (const Case &c : cases) {
        Parse p(c.words, c.optstr, c.mandsw, c.minp, c.maxp, c.stop_at, c.reject_at);
        std::strcpy(gnl_usrmsg, "untouched");
        EXPECT_EQ(p.run(), c.rc) << std::string(c.words).substr(0, 30);
        EXPECT_EQ(p.seen, c.seen);
        EXPECT_STREQ(gnl_usrmsg, *c.message != '\0' ? c.message : "untouched");
        EXPECT_EQ(p.def.nparam, c.nparam);
        EXPECT_EQ(p.def.params, c.nparam < 0 ? nullptr : p.argv.data() + p.args.size() - c.nparam);
        EXPECT_STREQ(p.def.optstr, c.optstr != nullptr ? c.optstr : "");  // null means ""
        EXPECT_STREQ(p.def.mandsw, c.mandsw != nullptr ? c.mandsw : "");
        EXPECT_EQ(gnl_prognam, p.argv[0]);
        EXPECT_EQ(opterr, 0);
    }
}

TEST(Cmdlin, ShowerrProgramNameAndStopOnEntry) {
    Parse p("/usr/local/bin/tool", "");
    p.def.showerr = 5;
    EXPECT_EQ(p.run(), 0);
    EXPECT_EQ(opterr, 1);
    EXPECT_EQ(gnl_prognam, p.argv[0] + 15);  // "tool", inside argv[0]

    Parse stopped("p -x", "a");
    stopped.def.stop = 1;
    EXPECT_EQ(stopped.run(), 0);
    EXPECT_EQ(optind, 0);  // getopt never called
    EXPECT_EQ(stopped.def.nparam, -1);
}

}  // namespace
