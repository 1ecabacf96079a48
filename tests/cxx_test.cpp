// The C++ layer: owners release exactly once (the sanitizer build reports a
// double free or a leak), views need no terminator, failures carry the
// library's message, and gnl_usrmsg is left as the C interface leaves it.
#include "failalloc.h"
#include "testutil.h"

#include <kelp.hpp>

#include <gtest/gtest.h>

#include <termios.h>

#include <vector>

namespace {

// Reading the value of a failure ends the program with the error's text, in
// every build; value_or gives a fallback, error() of a success is empty.
TEST(CxxResult, ValueOfAFailureEndsTheProgramWithItsMessage) {
    const kelp::result<int> bad = kelp::error{7, "no luck"};
    EXPECT_EQ(bad.value_or(3), 3);
    EXPECT_EQ(kelp::result<int>(4).value_or(3), 4);
    EXPECT_TRUE(kelp::result<int>(4).error().message.empty());
    EXPECT_DEATH((void)bad.value(), "value of a failed result \\(7\\): no luck");
    const kelp::result<void> none = kelp::error{2, "nothing done"};
    EXPECT_DEATH(none.value(), "nothing done");
}

// The pieces of a text that are views into it.
template <class Range>
std::vector<std::string> pieces(const std::string &text, Range &&range) {
    std::vector<std::string> out;
    for (std::string_view p : range)
        if (p.data() >= text.data() && p.data() + p.size() <= text.data() + text.size())
            out.emplace_back(p);
    return out;
}

// Lines, fields on a byte and words are views into the text; the trimmed
// views agree with stript and stripl on every byte and flag.
TEST(CxxText, PiecesAreViewsAndTrimsAgreeWithTheCFunctions) {
    using V = std::vector<std::string>;
    const struct {
        const char *what;
        std::string text;
        V lines, commas, words;
    } cases[] = {
        {"empty", "", {}, {}, {}},
        {"a line end", "a\n", {"a"}, {"a\n"}, {"a"}},
        {"CR LF, no end", "a,b\r\n\r\n,", {"a,b", "", ","}, {"a", "b\r\n\r\n", ""}, {"a,b", ","}},
        {"blanks only", " \t\n", {" \t"}, {" \t\n"}, {}},
        {"a lone CR stays", "a\r", {"a\r"}, {"a\r"}, {"a"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(pieces(c.text, kelp::lines(c.text)), c.lines);
        EXPECT_EQ(pieces(c.text, kelp::fields(c.text, ',')), c.commas);
        EXPECT_EQ(pieces(c.text, kelp::words(c.text)), c.words);
    }
    // trim is trim_start after trim_end.
    for (int flags = 0; flags < 4; ++flags) {
        for (int b = 1; b < 256; ++b) {
            const std::string run(2, static_cast<char>(b)), text = run + "x" + run + "x" + run;
            std::string end = text, both = text;
            stript(end.data(), flags);
            stript(both.data(), flags);
            stripl(both.data(), flags);
            EXPECT_EQ(kelp::trim_end(text, flags), end.c_str()) << b << " " << flags;
            EXPECT_EQ(kelp::trim(text, flags), both.c_str()) << b << " " << flags;
        }
    }
    EXPECT_EQ(kelp::trim(std::string_view("\0a\0", 3)), "a");         // NUL counts as a control
    EXPECT_EQ(kelp::buf2hex(std::string(100, '\x11')).size(), 299u);  // beyond the C call's 85
}

// A view longer than a C length is summed whole, in pieces: bytes on both
// sides of INT_MAX count, and none past the end is read (a guard page).
// Untouched pages read as zeros without taking memory.
TEST(CxxChecksum, ViewsBeyondIntMaxAreSummedWhole) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "2 GiB of checked loads take seconds";
#endif
    if (std::getenv("KELP_UNDER_VALGRIND") != nullptr)
        GTEST_SKIP() << "2 GiB under valgrind";
    const size_t len = size_t{INT_MAX} + 4;
    kelp_test::GuardedBuffer g(len);
    unsigned char *p = g.tail(len);
    madvise(p - reinterpret_cast<uintptr_t>(p) % 4096, len, MADV_HUGEPAGE);  // fewer faults
    p[0] = 0x01, p[1] = 0x02, p[2] = 0x04, p[INT_MAX - 1] = 0x10, p[INT_MAX] = 0x20;
    p[len - 1] = 0x40;
    const std::string_view all(reinterpret_cast<char *>(p), len);
    EXPECT_EQ(kelp::chksum_xor(all), 0x77);
    EXPECT_EQ(kelp::chksum_s4xor(all), 0x77767470);  // byte k: the XOR from position k on
}

// communicate writes and reads at once: 16 MiB each way through cat, 16 MiB
// printed before the input is read, input that nobody reads (no SIGPIPE),
// and a few KiB through a raw terminal.
TEST(CxxCommand, CommunicateNeverDeadlocks) {
    std::string big(16 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 4096);
    auto done = kelp::command::run({"cat"})->communicate(big);
    EXPECT_TRUE(done.value().output == big);
    done = kelp::command::shell("head -c 16777216 /dev/zero; cat; exit 4")->communicate("tail");
    EXPECT_EQ(done.value().output.size(), (16u << 20) + 4);
    EXPECT_EQ(done->output.substr(16 << 20) + " " + std::to_string(done->status), "tail 4");
    EXPECT_EQ(kelp::command::shell("exit 5")->communicate(big).value().status, 5);
    struct termios raw {};
    cfmakeraw(&raw);
    const std::string few = big.substr(0, 3000);  // every byte value, passed as it is
    EXPECT_EQ(kelp::command::run({"head", "-c", "3000"}, RUN_PTY, &raw)->communicate(few)->output,
              few);
}

// close gives the exit status and leaves gnl_usrmsg alone; a command that
// does not end is killed after a second, error 4 with the library's
// message. The destructor closes the same way and leaves gnl_usrmsg as it was.
TEST(CxxCommand, CloseGivesTheStatusOrTheLibrarysMessage) {
    std::strcpy(gnl_usrmsg, "earlier failure");
    EXPECT_EQ(kelp::command::shell("exit 3")->close().value(), 3);
    EXPECT_STREQ(gnl_usrmsg, "earlier failure");
    (void)kelp::command::run({"sleep", "30"});  // its destructor waits a second, then kills
    EXPECT_STREQ(gnl_usrmsg, "earlier failure");
    auto rc = kelp::command::run({"sleep", "30"})->close();
    EXPECT_EQ(rc.error().code, 4);
    EXPECT_EQ(rc.error().message, "close_syscmd: wait() failed (errno=4)");
}

// Every owner releases once. A word may end right at an unreadable page:
// only its bytes are read, also by the refusal record, which prints it.
// Copies of text in a list carry their NUL, so that the string sort stops
// inside each payload; the current node may be erased in a range-for.
// Failures carry the library's message; a failed allocation is a result.
TEST(CxxOwners, ReleaseOnceAndCarryTheLibrarysMessages) {
    auto tree = kelp::word_tree::create("ABDE");
    EXPECT_EQ(tree->add("ABD", 9).value(), 0);  // B gets its next array
    kelp_test::GuardedBuffer g;
    unsigned char *w = g.tail(3);
    std::memcpy(w, "ABD", 3);
    const std::string_view word(reinterpret_cast<char *>(w), 3);
    EXPECT_EQ(tree->find(word), 9);
    kelp_test::TraceTap tap;
    std::memcpy(w, "AZB", 3);
    EXPECT_EQ(tree->add(word, 1).error().message, "APPLICATION ERROR");
    EXPECT_NE(tap.text().find("illegal char 1=(90) (AZB)"), std::string::npos) << tap.text();
    kelp::word_tree moved_tree = std::move(*tree);
    EXPECT_TRUE(moved_tree && !*tree);

    kelp_test::TempDir dir;
    kelp_test::write_file(dir.file("ten"), "0123456789");
    auto fb = kelp::file_buffer::load(dir.file("ten"), 4, 1);
    EXPECT_EQ(fb->buffer().size(), 15u);
    kelp::file_buffer moved_buffer = std::move(*fb);
    EXPECT_EQ(moved_buffer.view(), "0123456789");
    std::free(moved_buffer.release());
    EXPECT_EQ(kelp::file_buffer::load("/nonexistent/kelp-cxx").error().message,
              "open(/nonexistent/kelp-cxx) failed, errno=2 [No such file or directory]");

    kelp::list l, other;
    for (std::string k : {"pear", "Apple", "apple", "banana"})
        ASSERT_TRUE(l.push_back_copy(k));
    l.sort(0);
    std::string keys;
    for (llist_node &n : l)
        keys += static_cast<const char *>(n.data) + std::string(" ");
    EXPECT_EQ(keys, "Apple apple banana pear ");
    for (llist_node &n : l)
        if (static_cast<const char *>(n.data)[0] == 'a')
            l.erase(&n);
    ASSERT_TRUE(other.push_back(8));
    other.splice_back(l);
    kelp::list moved_list = std::move(other);
    EXPECT_EQ(moved_list.size(), 4);
    EXPECT_TRUE(l.empty() && other.empty());
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    kelp_test::AllocFailure fail(0);
    EXPECT_EQ(moved_list.push_front(16).error().code, ENOMEM);
}

}  // namespace
