// Caller text far longer than any buffer, full of format characters and with
// bytes of 128 and above. Messages that quote it stay within gnl_usrmsg and
// show it as given; trace records carry it whole. The sanitizer build checks
// that nothing is written or read past a buffer on the way.
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include <cstring>
#include <functional>
#include <string>

namespace {

// 64 KiB, high bytes first; no slash, so that it stays one file name.
const std::string hostile = [] {
    std::string s;
    while (s.size() < 65536)
        s += "\xff\x80%s%n%x%99999d\xe9";
    return s.substr(0, 65536);
}();
const char *const text = hostile.c_str();
// A command line whose first argument is the text; getopt stops inside the
// second, on a switch that no option string here names.
char *args[] = {const_cast<char *>(text), const_cast<char *>("-%x"), nullptr};

// gnl_usrmsg is terminated and holds prefix and the text as given, cut to
// the 1024 characters that fit.
bool quotes(const std::string &prefix) {
    return std::memchr(gnl_usrmsg, '\0', sizeof gnl_usrmsg) != nullptr &&
           (prefix + hostile).compare(0, sizeof gnl_usrmsg - 1, gnl_usrmsg) == 0;
}

}  // namespace

TEST(Hostile, MessagesQuoteCallerTextBoundedAndLiterally) {
    int len = 0;
    gnl_cmdlin_def def{};
    def.optstr = "a";
    const std::pair<std::string, std::function<bool()>> cases[] = {
        {"open(", [&] { return file2buf(-1, text, nullptr, -1, &len, 0, 0) == nullptr; }},
        // The message names the argument before the one getopt stopped in.
        {"Illegal switch (on or after '", [&] { return gnl_cmdlin(2, args, &def) == 1; }},
    };
    for (const auto &[prefix, call] : cases) {
        std::memset(gnl_usrmsg, 'x', sizeof gnl_usrmsg);  // no terminator to find by chance
        EXPECT_TRUE(call() && quotes(prefix)) << prefix;
    }
}

TEST(Hostile, HostNameInAPrivateNetworkNamespace) {
    // Nothing the resolver tries can leave a network namespace of our own.
    int code = kelp_test::exit_code(kelp_test::run_in_child([] {
        uint32_t addr = 0;
        if (unshare(CLONE_NEWNET) != 0)
            return 77;
        int rc = ginet_str2ipaddr(text, &addr);
        return rc == -1 && quotes("ginet_str2ipaddr: gethostbyname() failed on (") ? 0 : 1;
    }));
    if (code == 77)
        GTEST_SKIP() << "the kernel refused unshare() of a network namespace";
    EXPECT_EQ(code, 0);
}

TEST(Hostile, RecordsCarryCallerTextWholeAndLiterally) {
    wtree *tree = wtree_create("abc", 3, 0);
    int rfd, wfd, pid;
    // dbginit changes the destination: in a child, whose stderr gets the
    // reports, first in held mode, then in reopen mode.
    kelp_test::TempDir dir;
    kelp_test::run_in_child([&] {
        dup2(open(dir.file("err").c_str(), O_WRONLY | O_CREAT, 0600), 2);
        dbginit(text, nullptr, -1);
        setenv("KELPTRC_REOPEN", "y", 1);
        return dbginit("/dev/stderr", nullptr, -1) | dbginit(text, nullptr, -1);
    });
    const std::string child = kelp_test::read_file(dir.file("err"));
    // Each call leaves a record in this process's trace, or gives the child's.
    const std::pair<std::string, std::function<std::string()>> cases[] = {
        {"): <" + hostile + ">\n", [] { return gnl_msglog("<%s>", text), ""; }},
        {"): [" + hostile + "]\n", [] { return dbgtrc(1, 0, "[%s]", text), ""; }},
        {"): wtree_add_word: illegal char 0=(255) (" + hostile + ")\n",
         [&] { return wtree_add_word(tree, text, static_cast<int>(hostile.size()), 1), ""; }},
        {"): issue_cmd: execvp(" + hostile + ") failed (errno=36)\n",
         [&] {
             run_syscmd(nullptr, args, &rfd, &wfd, &pid, nullptr, nullptr, 0);
             return close_syscmd(rfd, wfd, pid), "";
         }},
        {"): dbginit: fopen(" + hostile + ") failed [errno=36]\n", [&] { return child; }},
        {"): dbginit: pthnam too long [" + hostile + "]\n", [&] { return child; }},
    };
    for (const auto &[want, call] : cases) {
        kelp_test::TraceTap tap;
        std::string got = call();
        got += tap.text();
        EXPECT_NE(got.find(want), std::string::npos) << want.substr(0, want.find('\xff'));
    }
    wtree_destroy(tree);
}
