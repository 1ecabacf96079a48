// gnl_cmdlin against the platform's getopt, on real argument vectors.
#include <kelp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// A mutable argv (getopt reorders it) with the program name first.
class Argv {
  public:
    Argv(std::initializer_list<std::string> args) : Argv(std::vector<std::string>(args)) {}
    explicit Argv(std::vector<std::string> args) : store_(std::move(args)) {
        for (auto &s : store_)
            ptrs_.push_back(s.data());
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(ptrs_.size()) - 1; }
    char **argv() { return ptrs_.data(); }

  private:
    std::vector<std::string> store_;
    std::vector<char *> ptrs_;
};

struct Event {
    int kind;
    int code;
    std::string arg;  // "(null)" for a switch without an argument
    bool operator==(const Event &) const = default;
};

// What the handler saw, and when it stops or rejects.
struct Recorder {
    std::vector<Event> events;
    size_t stop_at = SIZE_MAX;    // sets def->stop at this event
    size_t reject_at = SIZE_MAX;  // returns non-zero at this event
};

int record(gnl_cmdlin_def *def, int kind, int code, char *arg) {
    auto *rec = static_cast<Recorder *>(def->appdata);
    rec->events.push_back({kind, code, arg != nullptr ? arg : "(null)"});
    size_t n = rec->events.size() - 1;
    if (n == rec->stop_at)
        def->stop = 1;
    return n == rec->reject_at ? 1 : 0;
}

gnl_cmdlin_def make_def(Recorder &rec, const char *optstr, const char *mandsw = nullptr,
                        int minparam = 0, int maxparam = -1) {
    gnl_cmdlin_def def{};
    def.optstr = optstr;
    def.mandsw = mandsw;
    def.handler = record;
    def.appdata = &rec;
    def.minparam = minparam;
    def.maxparam = maxparam;
    return def;
}

// getopt keeps its place between calls; 0 asks glibc for a full restart.
int parse(Argv &args, gnl_cmdlin_def &def) {
    optind = 0;
    return gnl_cmdlin(args.argc(), args.argv(), &def);
}

void set_sentinel_message() { std::strcpy(gnl_usrmsg, "untouched"); }

constexpr int S = CMDLIN_SWITCH;
constexpr int P = CMDLIN_PARAM;

TEST(Cmdlin, ProgramNameIsTheLastPathComponent) {
    for (auto [argv0, name] : {std::pair{"/usr/local/bin/tool", "tool"}, {"tool", "tool"},
                               {"./a/b", "b"}, {"dir/", ""}}) {
        Recorder rec;
        gnl_cmdlin_def def = make_def(rec, "");
        Argv args{argv0};
        EXPECT_EQ(parse(args, def), 0);
        EXPECT_STREQ(gnl_prognam, name) << argv0;
        EXPECT_EQ(gnl_prognam, args.argv()[0] + std::strlen(argv0) - std::strlen(name));
        EXPECT_TRUE(rec.events.empty());
    }
}

TEST(Cmdlin, SwitchesThenParametersInReorderedVector) {
    Recorder rec;
    gnl_cmdlin_def def = make_def(rec, "ab:c", "b", 1, 3);
    Argv args{"prog", "first", "-a", "-b", "val", "second", "-c"};
    ASSERT_EQ(parse(args, def), 0) << gnl_usrmsg;
    std::vector<Event> want{{S, 'a', "(null)"}, {S, 'b', "val"}, {S, 'c', "(null)"},
                            {P, 1, "first"},    {P, 2, "second"}};
    EXPECT_EQ(rec.events, want);
    EXPECT_EQ(def.nparam, 2);
    EXPECT_EQ(def.params, args.argv() + 5);
    EXPECT_STREQ(def.params[0], "first");
    EXPECT_STREQ(def.mandsw, "b");
}

TEST(Cmdlin, NullDescriptionStringsBecomeEmpty) {
    Recorder rec;
    gnl_cmdlin_def def = make_def(rec, nullptr, nullptr);
    Argv args{"prog", "p"};
    EXPECT_EQ(parse(args, def), 0);
    ASSERT_NE(def.optstr, nullptr);
    ASSERT_NE(def.mandsw, nullptr);
    EXPECT_STREQ(def.optstr, "");
    EXPECT_STREQ(def.mandsw, "");
    EXPECT_EQ(rec.events, (std::vector<Event>{{P, 1, "p"}}));
}

struct Rejection {
    const char *optstr;
    const char *mandsw;
    int minparam, maxparam;
    std::vector<std::string> args;
    const char *message;
    size_t handler_calls;
};

TEST(Cmdlin, RejectionsAndTheirMessages) {
    const Rejection cases[] = {
        {"ab:", "", 0, -1, {"-x"}, "Illegal switch (on or after '-x')", 0},
        {"ab:", "", 0, -1, {"-a", "-b"}, "Illegal switch (on or after '-b')", 1},
        {"ab:", "", 0, -1, {"-ax"}, "Illegal switch (on or after '-ax')", 1},
        {"ab:", "", 0, -1, {"-a", "p", "-a"}, "Duplicate '-a' switch", 1},
        {"ab:", "", 0, -1, {"-aa"}, "Duplicate '-a' switch", 1},
        {"io", "io", 0, -1, {}, "Mandatory '-o' switch not supplied", 0},
        {"io", "io", 0, -1, {"-o"}, "Mandatory '-i' switch not supplied", 1},
        {"", "", 1, -1, {}, "Illegal number of parameters (0)", 0},
        {"", "", 0, 1, {"p", "q"}, "Illegal number of parameters (2)", 0},
        {"a", "", 2, 2, {"-a", "p"}, "Illegal number of parameters (1)", 1},
    };
    for (const Rejection &c : cases) {
        Recorder rec;
        gnl_cmdlin_def def = make_def(rec, c.optstr, c.mandsw, c.minparam, c.maxparam);
        std::vector<std::string> all{"prog"};
        all.insert(all.end(), c.args.begin(), c.args.end());
        Argv args(all);
        EXPECT_EQ(parse(args, def), 1) << c.message;
        EXPECT_STREQ(gnl_usrmsg, c.message);
        EXPECT_EQ(rec.events.size(), c.handler_calls) << c.message;
    }
}

TEST(Cmdlin, CountRejectionStillSetsParameters) {
    Recorder rec;
    gnl_cmdlin_def def = make_def(rec, "", "", 0, 1);
    Argv args{"prog", "p", "q", "r"};
    EXPECT_EQ(parse(args, def), 1);
    EXPECT_EQ(def.nparam, 3);
    EXPECT_EQ(def.params, args.argv() + 1);
}

TEST(Cmdlin, LeadingColonHandsMissingArgumentToHandler) {
    Recorder rec;
    gnl_cmdlin_def def = make_def(rec, ":b:");
    Argv args{"prog", "-b"};
    EXPECT_EQ(parse(args, def), 0) << gnl_usrmsg;
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0].kind, S);
    EXPECT_EQ(rec.events[0].code, ':');
}

TEST(Cmdlin, StopEndsParsingWithSuccess) {
    {  // already set on entry: nothing is read
        Recorder rec;
        gnl_cmdlin_def def = make_def(rec, "a");
        def.stop = 1;
        def.nparam = 77;
        Argv args{"/bin/prog", "-x"};
        optind = 1;
        EXPECT_EQ(gnl_cmdlin(args.argc(), args.argv(), &def), 0);
        EXPECT_EQ(optind, 1);
        EXPECT_EQ(def.nparam, 77);
        EXPECT_EQ(def.params, nullptr);
        EXPECT_STREQ(gnl_prognam, "prog");
        EXPECT_TRUE(rec.events.empty());
    }
    {  // set on a switch: later errors and the checks are skipped
        Recorder rec;
        rec.stop_at = 0;
        gnl_cmdlin_def def = make_def(rec, "a", "m", 5, 5);
        def.nparam = 77;
        Argv args{"prog", "-a", "-a", "-x"};
        EXPECT_EQ(parse(args, def), 0);
        EXPECT_EQ(rec.events.size(), 1u);
        EXPECT_EQ(def.nparam, 77);
    }
    {  // set on a parameter: the rest are not handed over
        Recorder rec;
        rec.stop_at = 1;
        gnl_cmdlin_def def = make_def(rec, "a");
        Argv args{"prog", "-a", "p1", "p2"};
        EXPECT_EQ(parse(args, def), 0);
        EXPECT_EQ(rec.events, (std::vector<Event>{{S, 'a', "(null)"}, {P, 1, "p1"}}));
        EXPECT_EQ(def.nparam, 2);
    }
}

TEST(Cmdlin, HandlerRejectionLeavesNoParserMessage) {
    for (size_t at : {size_t{0}, size_t{2}}) {
        Recorder rec;
        rec.reject_at = at;
        gnl_cmdlin_def def = make_def(rec, "a");
        Argv args{"prog", "-a", "p1", "p2"};
        set_sentinel_message();
        EXPECT_EQ(parse(args, def), 1);
        EXPECT_EQ(rec.events.size(), at + 1);
        EXPECT_STREQ(gnl_usrmsg, "untouched");
    }
}

TEST(Cmdlin, ShowerrSetsOpterr) {
    for (int showerr : {0, 7}) {
        Recorder rec;
        gnl_cmdlin_def def = make_def(rec, "");
        def.showerr = showerr;
        Argv args{"prog"};
        EXPECT_EQ(parse(args, def), 0);
        EXPECT_EQ(opterr, showerr != 0 ? 1 : 0);
    }
}

TEST(Cmdlin, SwitchCharactersAbove127AreRefused) {
    struct Case {
        const char *optstr, *mandsw;
        std::string arg;
        const char *message;
    } cases[] = {
        {"a\xe9", "", "-a", "Unsupported switch character (code 233) in optstr"},
        {"a", "a\xff", "-a", "Unsupported switch character (code 255) in mandsw"},
        // Not in the description: getopt's unknown switch, never its -1.
        {"a", "", "-\xff", "Illegal switch (on or after '-\xff')"},
        {"a", "", "-\x80", "Illegal switch (on or after '-\x80')"},
    };
    for (const Case &c : cases) {
        Recorder rec;
        gnl_cmdlin_def def = make_def(rec, c.optstr, c.mandsw);
        Argv args{"prog", c.arg, "p"};
        EXPECT_EQ(parse(args, def), 1);
        EXPECT_STREQ(gnl_usrmsg, c.message);
        EXPECT_TRUE(rec.events.empty());
    }
}

TEST(Cmdlin, OverlongArgumentIsCutToFitTheMessage) {
    Recorder rec;
    gnl_cmdlin_def def = make_def(rec, "a");
    // getopt stops inside "-xy" without moving on: the message names the
    // argument before it, here a 10,000-character program name.
    std::string huge = "/" + std::string(9999, 'z');
    Argv args{huge, "-xy"};
    EXPECT_EQ(parse(args, def), 1);
    EXPECT_EQ(std::strlen(gnl_usrmsg), sizeof gnl_usrmsg - 1);
    EXPECT_EQ(std::string(gnl_usrmsg).rfind("Illegal switch (on or after '/zzz", 0), 0u);
    EXPECT_EQ(std::strlen(gnl_prognam), 9999u);
}

TEST(Cmdlin, SecondCallContinuesWhereGetoptStands) {
    Recorder rec;
    gnl_cmdlin_def def = make_def(rec, "a");
    Argv args{"prog", "-a", "p"};
    ASSERT_EQ(parse(args, def), 0);
    // Without a reset getopt is past the switches: only the parameter remains.
    Recorder again;
    gnl_cmdlin_def def2 = make_def(again, "a");
    EXPECT_EQ(gnl_cmdlin(args.argc(), args.argv(), &def2), 0);
    EXPECT_EQ(again.events, (std::vector<Event>{{P, 1, "p"}}));
}

}  // namespace
