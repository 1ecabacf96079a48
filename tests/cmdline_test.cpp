// gnl_cmdlin against the platform's getopt, on real argument vectors.
#include <kelp.h>

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One parse of a mutable argv (getopt reorders it); the handler notes what it
// is given as "a b=val 1=first", sets stop or says no at a chosen call.
struct Parse {
    Parse(std::vector<std::string> a, const char *optstr, const char *mandsw = "", int minp = 0,
          int maxp = -1)
        : args(std::move(a)) {
        def = {optstr, mandsw, 0, handler, this, minp, maxp, 0, nullptr, 0};
    }
    Parse(const Parse &) = delete;
    int run(bool restart = true) {
        for (auto &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        if (restart)
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
    size_t calls = 0, stop_at = 99, reject_at = 99;
};

TEST(Cmdlin, AcceptsAndRejectsLikeGetopt) {
    const std::string huge = "/" + std::string(9999, 'z');
    struct Case {
        std::vector<std::string> args;
        const char *optstr, *mandsw;
        int minp, maxp, rc;
        const char *seen;
        std::string message;
    } cases[] = {
        // Parameters come after the switches, as getopt reorders them.
        {{"p", "one", "-a", "-b", "v", "two", "-c"},
         "ab:c",
         "b",
         1,
         3,
         0,
         "a b=v c 1=one 2=two",
         ""},
        {{"p"}, "a", "", 0, -1, 0, "", ""},
        {{"p", "-b"}, ":b:", "", 0, -1, 0, ":", ""},  // missing argument as ':'
        {{"p", "-x"}, "ab:", "", 0, -1, 1, "", "Illegal switch (on or after '-x')"},
        {{"p", "-a", "-b"}, "ab:", "", 0, -1, 1, "a", "Illegal switch (on or after '-b')"},
        {{"p", "-ax"}, "ab:", "", 0, -1, 1, "a", "Illegal switch (on or after '-ax')"},
        {{"p", "-a", "q", "-a"}, "a", "", 0, -1, 1, "a", "Duplicate '-a' switch"},
        {{"p", "-aa"}, "a", "", 0, -1, 1, "a", "Duplicate '-a' switch"},
        {{"p"}, "io", "io", 0, -1, 1, "", "Mandatory '-o' switch not supplied"},
        {{"p", "-o"}, "io", "io", 0, -1, 1, "o", "Mandatory '-i' switch not supplied"},
        {{"p"}, "", "", 1, -1, 1, "", "Illegal number of parameters (0)"},
        {{"p", "q", "r"}, "", "", 0, 1, 1, "", "Illegal number of parameters (2)"},
        // Bytes above 127 never index the table of counters.
        {{"p", "-a"},
         "a\xe9",
         "",
         0,
         -1,
         1,
         "",
         "Unsupported switch character (code 233) in optstr"},
        {{"p", "-a"},
         "a",
         "a\xff",
         0,
         -1,
         1,
         "",
         "Unsupported switch character (code 255) in mandsw"},
        {{"p", "-\xff"}, "a", "", 0, -1, 1, "", "Illegal switch (on or after '-\xff')"},
        // getopt stops inside "-xy": the message names the argument before,
        // here a 10,000-character program name, and is cut to fit.
        {{huge, "-xy"},
         "a",
         "",
         0,
         -1,
         1,
         "",
         ("Illegal switch (on or after '" + huge).substr(0, sizeof gnl_usrmsg - 1)},
    };
    for (const Case &c : cases) {
        Parse p(c.args, c.optstr, c.mandsw, c.minp, c.maxp);
        std::strcpy(gnl_usrmsg, "untouched");
        EXPECT_EQ(p.run(), c.rc) << c.seen;
        EXPECT_EQ(p.seen, c.seen);
        EXPECT_EQ(gnl_usrmsg, c.message.empty() ? "untouched" : c.message);
    }
}

TEST(Cmdlin, ParametersProgramNameAndDefaults) {
    Parse p({"/usr/local/bin/tool", "x", "-a", "y"}, nullptr, nullptr, 0, 1);
    p.def.optstr = nullptr;
    p.def.showerr = 5;
    EXPECT_EQ(p.run(), 1);  // -a is unknown with an empty optstr
    EXPECT_STREQ(p.def.optstr, "");
    EXPECT_STREQ(p.def.mandsw, "");
    EXPECT_EQ(opterr, 1);
    EXPECT_EQ(gnl_prognam, p.argv[0] + 15);  // "tool", inside argv[0]

    Parse q({"tool", "x", "-a", "y"}, "a", "", 0, 1);
    EXPECT_EQ(q.run(), 1);
    EXPECT_EQ(opterr, 0);
    EXPECT_STREQ(gnl_prognam, "tool");
    EXPECT_STREQ(gnl_usrmsg, "Illegal number of parameters (2)");
    EXPECT_EQ(q.def.nparam, 2);  // set before the count is checked
    EXPECT_EQ(q.def.params, q.argv.data() + 2);
    EXPECT_STREQ(q.def.params[0], "x");
}

TEST(Cmdlin, StopAndHandlerRejection) {
    Parse entry({"p", "-x"}, "a");
    entry.def.stop = 1;
    entry.def.nparam = 77;
    optind = 1;
    EXPECT_EQ(entry.run(false), 0);
    EXPECT_EQ(optind, 1);  // getopt never called
    EXPECT_EQ(entry.def.nparam, 77);

    Parse on_switch({"p", "-a", "-a", "-x"}, "a", "m", 5, 5);
    on_switch.stop_at = 0;
    EXPECT_EQ(on_switch.run(), 0);  // the duplicate, the mandatory and the count are skipped
    EXPECT_EQ(on_switch.seen, "a");
    EXPECT_EQ(on_switch.def.params, nullptr);

    Parse on_param({"p", "-a", "q", "r"}, "a");
    on_param.stop_at = 1;
    EXPECT_EQ(on_param.run(), 0);
    EXPECT_EQ(on_param.seen, "a 1=q");

    Parse refused({"p", "-a", "q", "r"}, "a");
    refused.reject_at = 2;
    std::strcpy(gnl_usrmsg, "untouched");
    EXPECT_EQ(refused.run(), 1);
    EXPECT_EQ(refused.seen, "a 1=q 2=r");
    EXPECT_STREQ(gnl_usrmsg, "untouched");
}

}  // namespace
