// Caller text far longer than any buffer, full of format characters and with
// bytes of 128 and above. Messages that quote it stay within gnl_usrmsg and
// show it as given; trace records carry it whole. The sanitizer build checks
// that nothing is written or read past a buffer on the way.
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

// 64 KiB of 16-byte pieces, high bytes first.
const std::string hostile = [] {
    std::string s;
    for (int i = 0; i < 4096; ++i)
        s += "\xff\x80%s%n%x%99999d\xe9";
    return s;
}();
const char *const text = hostile.c_str();

TEST(Hostile, MessagesAndRecordsQuoteCallerTextLiterally) {
    int len = 0, rfd = -1, wfd = -1, pid = -1;
    wtree *tree = wtree_create("abc", 3, 0);
    gnl_cmdlin_def def = {"a", "", 0, nullptr, nullptr, 0, -1, -1, nullptr, 0};
    // getopt stops inside the second argument, and the message names the
    // first: the text.
    char *args[] = {const_cast<char *>(text), const_cast<char *>("-%x"), nullptr};
    // A message, in brackets, is its prefix and the text as given, cut to
    // the 1024 characters that fit (gnl_usrmsg is filled first, so that no
    // terminator is found by chance); a record carries the text whole.
    const std::pair<std::string, std::function<void()>> cases[] = {
        {"[" + ("open(" + hostile).substr(0, 1024) + "]",
         [&] { file2buf(-1, text, nullptr, -1, &len, 0, 0); }},
        {"[" + ("Illegal switch (on or after '" + hostile).substr(0, 1024) + "]",
         [&] { gnl_cmdlin(2, args, &def); }},
        {"): [" + hostile + "]\n", [] { dbgtrc(1, 0, "[%s]", text); }},
        {"): wtree_add_word: illegal char 0=(255) (" + hostile + ")\n",
         [&] { wtree_add_word(tree, text, static_cast<int>(hostile.size()), 1); }},
        {"): issue_cmd: execvp(" + hostile + ") failed (errno=36)\n",
         [&] {
             run_syscmd(nullptr, args, &rfd, &wfd, &pid, nullptr, nullptr, 0);
             close_syscmd(rfd, wfd, pid);
         }},
    };
    for (const auto &[want, call] : cases) {
        kelp_test::TraceTap tap;
        std::memset(gnl_usrmsg, 'x', sizeof gnl_usrmsg);
        call();
        const std::string message(gnl_usrmsg, strnlen(gnl_usrmsg, sizeof gnl_usrmsg));
        EXPECT_NE(("[" + message + "]" + tap.text()).find(want), std::string::npos)
            << want.substr(0, want.find('\xff'));
    }
    wtree_destroy(tree);
}
