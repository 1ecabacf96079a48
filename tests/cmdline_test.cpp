// gnl_cmdlin against the platform's getopt, on real argument vectors.
#include <kelp.h>

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstring>
#include <iterator>
#include <sstream>

// What the handler is given, as " a b=val 1=first"; at call stop_at it stops
// the parse (-1: stopped before any), at call reject_at it says no.
struct Seen {
    std::string text;
    int calls = 0, stop_at = 99, reject_at = 99;
};

static int note(gnl_cmdlin_def *def, int kind, int code, char *arg) {
    Seen &s = *static_cast<Seen *>(def->appdata);
    s.text +=
        " " + (kind == CMDLIN_SWITCH ? std::string{static_cast<char>(code)} : std::to_string(code));
    s.text += arg != nullptr ? "=" + std::string(arg) : "";
    def->stop = s.calls == s.stop_at;
    return s.calls++ == s.reject_at;
}

TEST(Cmdlin, AcceptsAndRejectsLikeGetopt) {
    const std::string big(10000, 'z'), cut = "Illegal switch (on or after '" + big.substr(0, 995);
    const struct {
        std::string words, seen, message;  // message "": gnl_usrmsg untouched
        const char *optstr, *mandsw;
        int minp, maxp, rc, nparam = -1, stop_at = 99, reject_at = 99;  // nparam -1: not set
    } cases[] = {
        // Words (getopt puts parameters last), what the handler sees, the message.
        {"/bin/p one -a -b v two -c", " a b=v c 1=one 2=two", "", "ab:c", "b", 1, 3, 0, 2},
        // getopt stops inside "-ax" (after it, once at its end): the message
        // names the word before, here a 10,000-character one, cut to 1024.
        {"p -ax", " a", "Illegal switch (on or after '-ax')", "ab:", "", 0, -1, 1},
        {"p " + big + " -xy", "", cut, "a", "", 0, -1, 1},
        {"p -a q -a", " a", "Duplicate '-a' switch", "a", "", 0, -1, 1},
        {"p", "", "Mandatory '-o' switch not supplied", "io", "io", 0, -1, 1},  // the last one
        // The count is stored before it is checked.
        {"p q -a r", " a", "Illegal number of parameters (2)", "a", "", 0, 1, 1, 2},
        // Bytes above 127 never index the table of counters; a null
        // description reads as empty.
        {"p -a", "", "Unsupported switch character (code 128) in optstr", "a\x80", "", 0, -1, 1},
        {"p -a", "", "Unsupported switch character (code 255) in mandsw", "a", "a\xff", 0, -1, 1},
        {"p -a", "", "Illegal switch (on or after '-a')", nullptr, nullptr, 0, -1, 1},
        // Stopped on entry, or by the handler: no duplicate, mandatory or
        // count check; refused by it, which keeps the message to itself.
        {"p -a", "", "", "a", "a", 1, 1, 0, -1, -1},
        {"p -a -a -x", " a", "", "a", "m", 5, 5, 0, -1, 0},
        {"p -a q r", " a 1=q", "", "a", "", 0, -1, 0, 2, 1},
        {"p -a q r", " a 1=q 2=r", "", "a", "", 0, -1, 1, 2, 99, 2},
    };
    for (const auto &c : cases) {
        std::istringstream in(c.words);
        std::vector<std::string> words(std::istream_iterator<std::string>(in), {});
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        Seen seen{"", 0, c.stop_at, c.reject_at};
        gnl_cmdlin_def def = {c.optstr, c.mandsw, 0,  note,    &seen,
                              c.minp,   c.maxp,   -1, nullptr, c.stop_at < 0};
        std::strcpy(gnl_usrmsg, "untouched");
        optind = 0;  // a full restart of getopt
        EXPECT_EQ(gnl_cmdlin(static_cast<int>(argv.size()), argv.data(), &def), c.rc) << c.seen;
        EXPECT_EQ(seen.text, c.seen);
        EXPECT_EQ(gnl_usrmsg, c.message.empty() ? "untouched" : c.message);
        EXPECT_EQ(def.nparam, c.nparam);
        EXPECT_STREQ(gnl_prognam, "p");
    }
}
