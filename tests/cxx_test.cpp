// The C++ layer: owners release exactly once, views need no terminator,
// failures carry the library's message, and gnl_usrmsg is left as the C
// interface would leave it.
#include "failalloc.h"
#include "testutil.h"

#include <kelp.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <ranges>
#include <string>
#include <vector>

using kelp_test::AllocFailure;
using kelp_test::GuardedBuffer;
using kelp_test::TempDir;
using kelp_test::TraceTap;

namespace {

std::vector<std::string> keys_of(const kelp::list &l) {
    std::vector<std::string> keys;
    for (llist_node &n : l)
        keys.emplace_back(static_cast<const char *>(n.data));
    return keys;
}

void set_usrmsg_marker() {
    std::strcpy(gnl_usrmsg, "earlier failure");
}

}  // namespace

TEST(CxxWordTree, WordsAreViewsAndNeedNoTerminator) {
    auto tree = kelp::word_tree::create("ABDE");
    ASSERT_TRUE(tree) << tree.error().message;
    ASSERT_TRUE(tree->add("AB", 7));
    EXPECT_EQ(*tree->add("ABD", 9), 0);  // B gets its next array

    // The word ends right at an unreadable page: only len bytes are read.
    GuardedBuffer g;
    unsigned char *w = g.tail(3);
    std::memcpy(w, "ABD", 3);
    std::string_view word(reinterpret_cast<char *>(w), 3);
    EXPECT_EQ(tree->find(word), 9);
    EXPECT_EQ(tree->find(word.substr(0, 2)), 7);
    EXPECT_EQ(tree->find("ABE"), NOTOK);

    // The refusal message prints the word: the layer hands over a terminated copy.
    TraceTap tap;
    std::memcpy(w, "AZB", 3);
    auto bad = tree->add(word, 1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message, "APPLICATION ERROR");
    EXPECT_NE(tap.text().find("illegal char 1=(90) (AZB)"), std::string::npos) << tap.text();

    EXPECT_TRUE(tree->erase("ABD"));
    EXPECT_FALSE(tree->erase("ABD"));
    wtree_counts c = tree->stats();
    EXPECT_EQ(c.word_cnt, 1);
    EXPECT_EQ(c.node_cnt, 3);
}

TEST(CxxWordTree, CreateFailureCarriesTheMessageAndOwnershipMovesOnce) {
    TraceTap tap;
    auto refused = kelp::word_tree::create("ABCA");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "APPLICATION ERROR");

    auto nocase = kelp::word_tree::create(std::string_view("ab\0c", 4), true);
    ASSERT_TRUE(nocase);
    ASSERT_TRUE(nocase->add(std::string_view("a\0", 2), 5));
    EXPECT_EQ(nocase->find(std::string_view("A\0", 2)), 5);

    // Moves leave one owner; ASan reports a double destroy or a leak.
    kelp::word_tree a = std::move(*nocase);
    EXPECT_FALSE(*nocase);
    kelp::word_tree b;
    b = std::move(a);
    EXPECT_EQ(b.find(std::string_view("a\0", 2)), 5);
    b = kelp::word_tree(::wtree_create("X", 1, 0));
    EXPECT_EQ(b.stats().node_cnt, 1);
    wtree *raw = b.release();
    EXPECT_FALSE(b);
    ::wtree_destroy(raw);
}

// Copies of text carry their NUL: the string sort reads each payload as a C
// string, and the sanitizer build sees any read past one.
TEST(CxxList, RangeForWalksInOrderAndMayDeleteTheCurrentNode) {
    kelp::list l;
    for (std::string k : {"pear", "Apple", "apple", "banana"})
        ASSERT_TRUE(l.push_back_copy(k));
    EXPECT_EQ(l.front()->size, 5);
    EXPECT_EQ(keys_of(l), (std::vector<std::string>{"pear", "Apple", "apple", "banana"}));

    l.sort(0);
    EXPECT_EQ(keys_of(l), (std::vector<std::string>{"Apple", "apple", "banana", "pear"}));
    l.sort(0, LLIST_SORT_DESCEND);

    for (llist_node &n : l)
        if (static_cast<const char *>(n.data)[0] != 'p')
            l.erase(&n);
    EXPECT_EQ(keys_of(l), std::vector<std::string>{"pear"});
    EXPECT_EQ(l.size(), 1);
    EXPECT_EQ(l.front(), l.back());
}

TEST(CxxList, CloneSpliceAndMoveKeepOneOwnerPerNode) {
    kelp::list src;
    ASSERT_TRUE(src.push_back_copy("one"));
    static char shared[] = "two";
    ASSERT_TRUE(src.push_back_ref(shared));

    kelp::list copy, share;
    ASSERT_TRUE(src.clone_into(copy));
    ASSERT_TRUE(src.clone_into(share, true));
    EXPECT_NE(copy.front()->data, src.front()->data);
    EXPECT_EQ(copy.back()->data, nullptr);  // a reference is not carried by a copy
    EXPECT_EQ(share.front()->data, src.front()->data);
    EXPECT_EQ(share.front()->size, 0);

    copy.splice_back(share);
    EXPECT_TRUE(share.empty());
    EXPECT_EQ(share.front(), nullptr);
    EXPECT_EQ(copy.size(), 4);
    copy.splice_back(copy);
    EXPECT_EQ(copy.size(), 4);

    kelp::list moved = std::move(copy);
    EXPECT_TRUE(copy.empty());
    moved = kelp::list();  // frees the copies, never the shared payloads
    EXPECT_TRUE(moved.empty());

    // Nodes of a plain C header, by range.
    int n = 0;
    for (llist_node &node : kelp::node_range(*src.get()))
        n += node.size;
    EXPECT_EQ(n, 4);
}

TEST(CxxList, AllocationFailureIsAResultAndLeavesTheList) {
    kelp::list l;
    ASSERT_TRUE(l.push_back(8));
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    TraceTap tap;
    for (long nth : {0L, 1L}) {  // the node record, then the payload
        AllocFailure fail(nth);
        auto r = l.push_front(16);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().code, ENOMEM);
        EXPECT_FALSE(r.error().message.empty());
    }
    EXPECT_EQ(l.size(), 1);
    kelp::list dst;
    {
        AllocFailure fail(0);
        EXPECT_FALSE(l.clone_into(dst));
    }
    EXPECT_TRUE(dst.empty());
}

TEST(CxxFileBuffer, LoadsWithZeroedReservesAndFreesOnce) {
    TempDir dir;
    kelp_test::write_file(dir.file("ten"), "0123456789");
    auto fb = kelp::file_buffer::load(dir.file("ten"), 4, 1);
    ASSERT_TRUE(fb) << fb.error().message;
    EXPECT_EQ(fb->view(), "0123456789");
    EXPECT_EQ(fb->size(), 10);
    auto all = fb->buffer();
    ASSERT_EQ(all.size(), 15u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(all.data()), 15), std::string("\0\0\0\0"
                                                                                 "0123456789"
                                                                                 "\0",
                                                                                 15));

    kelp::file_buffer other = std::move(*fb);
    EXPECT_EQ(fb->data(), nullptr);
    EXPECT_EQ(other.view(), "0123456789");
    std::free(other.release());
    EXPECT_TRUE(other.view().empty());

    int fd = open(dir.file("ten").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    auto byfd = kelp::file_buffer::load_fd(fd);
    ASSERT_TRUE(byfd);
    EXPECT_EQ(byfd->view(), "0123456789");
    EXPECT_EQ(fcntl(fd, F_GETFD), 0);  // still open
    close(fd);
}

TEST(CxxFileBuffer, FailuresCarryTheLibraryMessage) {
    auto missing = kelp::file_buffer::load("/nonexistent/kelp-cxx");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message,
              "open(/nonexistent/kelp-cxx) failed, errno=2 [No such file or directory]");

    TempDir dir;
    kelp_test::write_file(dir.file("f"), "abc");
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    AllocFailure fail(0);
    auto nomem = kelp::file_buffer::load(dir.file("f"), 2, 2);
    ASSERT_FALSE(nomem);
    EXPECT_NE(nomem.error().message.find("Failed to malloc 7 bytes for file="), std::string::npos);
}

TEST(CxxCommand, PipesCarryInputToOutputAndCloseGivesTheExitCode) {
    TraceTap tap;  // records about the commands: the trace's file is open before counting
    int before = kelp_test::count_open_fds();
    {
        auto cat = kelp::command::run({"cat"});
        ASSERT_TRUE(cat) << cat.error().message;
        ASSERT_TRUE(cat->write("through the pipes\n"));
        cat->close_input();
        auto out = cat->read_all();
        ASSERT_TRUE(out);
        EXPECT_EQ(*out, "through the pipes\n");
        set_usrmsg_marker();
        auto rc = cat->close();
        ASSERT_TRUE(rc) << rc.error().message;
        EXPECT_EQ(*rc, 0);
        EXPECT_STREQ(gnl_usrmsg, "earlier failure");  // success leaves it alone
        EXPECT_FALSE(cat->running());
    }
    auto sh = kelp::command::shell("echo err >&2; exit 3", RUN_STDERR | RUN_NONBLOCK);
    ASSERT_TRUE(sh);
    auto out = sh->read_all();  // waits on the non-blocking descriptor
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "err\n");
    EXPECT_EQ(*sh->close(), 3);
    EXPECT_EQ(kelp_test::count_open_fds(), before);
}

TEST(CxxCommand, PseudoTerminalAndTimeOut) {
    auto tty = kelp::command::shell("test -t 0 && test -t 1 && echo tty", RUN_PTY);
    ASSERT_TRUE(tty);
    EXPECT_EQ(tty->read_fd(), tty->write_fd());
    auto out = tty->read_all();
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "tty\r\n");
    EXPECT_EQ(*tty->close(), 0);

    // Ignores end of file: killed after a second, reported as error 4.
    auto stuck = kelp::command::run({"sleep", "30"});
    ASSERT_TRUE(stuck);
    auto rc = stuck->close();
    ASSERT_FALSE(rc);
    EXPECT_EQ(rc.error().code, 4);
    EXPECT_EQ(rc.error().message, "close_syscmd: wait() failed (errno=4)");
}

// communicate writes and reads at once: 16 MiB each way through cat, 16 MiB
// printed before the input is read, input that nobody reads (no SIGPIPE),
// and a few KiB through a raw terminal.
TEST(CxxCommand, CommunicateNeverDeadlocks) {
    std::string big(16 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 4096);
    auto cat = kelp::command::run({"cat"});
    ASSERT_TRUE(cat);
    auto done = cat->communicate(big);
    ASSERT_TRUE(done) << done.error().message;
    EXPECT_TRUE(done->output == big);
    EXPECT_EQ(done->status, 0);
    EXPECT_FALSE(cat->running());

    auto first = kelp::command::shell("head -c 16777216 /dev/zero; cat; exit 4");
    ASSERT_TRUE(first);
    done = first->communicate("tail");
    ASSERT_TRUE(done) << done.error().message;
    EXPECT_EQ(done->output.size(), (16u << 20) + 4);
    EXPECT_EQ(done->output.substr(16 << 20), "tail");
    EXPECT_EQ(done->status, 4);

    auto deaf = kelp::command::shell("exit 5");
    ASSERT_TRUE(deaf);
    done = deaf->communicate(big);
    ASSERT_TRUE(done) << done.error().message;
    EXPECT_EQ(done->status, 5);

    struct termios raw {};
    cfmakeraw(&raw);
    std::string text(3000, 'k');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('!' + i % 90);
    auto tty = kelp::command::run({"head", "-c", "3000"}, RUN_PTY, &raw);
    ASSERT_TRUE(tty);
    done = tty->communicate(text);
    ASSERT_TRUE(done) << done.error().message;
    EXPECT_EQ(done->output, text);
    EXPECT_EQ(done->status, 0);
}

TEST(CxxCommand, DestructorClosesQuietly) {
    int before = kelp_test::count_open_fds();
    set_usrmsg_marker();
    {
        auto stuck = kelp::command::run({"sleep", "30"});
        ASSERT_TRUE(stuck);
        kelp::command moved = std::move(*stuck);
        EXPECT_FALSE(stuck->running());
    }  // killed after a second; the wait failure is not left behind
    EXPECT_STREQ(gnl_usrmsg, "earlier failure");
    EXPECT_EQ(kelp_test::count_open_fds(), before);
}

TEST(CxxBytes, ViewFormsMatchTheCCalls) {
    const std::string bytes("\x00\xAB\x7F\x01", 4);
    EXPECT_EQ(kelp::buf2hex(bytes), "00:AB:7F:01");
    char small[8];
    EXPECT_EQ(kelp::buf2hex(bytes, small), "00:AB");  // whole bytes only
    EXPECT_EQ(kelp::buf2hex(bytes, std::span<char>()), "");
    EXPECT_EQ(kelp::buf2hex(""), "");
    // Not cut at the 85 bytes of the static buffer.
    EXPECT_EQ(kelp::buf2hex(std::string(100, '\x11')).size(), 299u);

    EXPECT_EQ(kelp::chksum_xor("abc"), 0x60);
    EXPECT_EQ(kelp::chksum_s4xor("abc"), 0x60016300);
    EXPECT_EQ(kelp::chksum_s4xor(""), 0);
    EXPECT_EQ(kelp::comma_number(-1234), "-1,234");
    EXPECT_EQ(kelp::comma_number(-1, false), "4,294,967,295");
    EXPECT_EQ(kelp::version(), "1.2.3");

    TraceTap tap;
    kelp::trace(1, "100% %s sure");  // taken literally
    EXPECT_NE(tap.text().find("(ERR-" + std::to_string(getpid()) + "): 100% %s sure\n"),
              std::string::npos);
}

// Reading the value of a failure ends the program with the error's text, in
// every build; value_or gives a fallback, error() of a success is empty.
TEST(CxxResult, ValueOfAFailureEndsTheProgramWithItsMessage) {
    const kelp::result<int> bad = kelp::error{7, "no luck"};
    EXPECT_EQ(bad.value_or(3), 3);
    EXPECT_EQ(kelp::result<int>(4).value_or(3), 4);
    EXPECT_TRUE(kelp::result<int>(4).error().message.empty());
    EXPECT_DEATH((void)bad.value(), "value of a failed result \\(7\\): no luck");
    EXPECT_DEATH((void)*bad, "no luck");
    const kelp::result<std::string> text = kelp::error{1, "no text"};
    EXPECT_DEATH((void)text->size(), "no text");
    const kelp::result<void> none = kelp::error{2, "nothing done"};
    EXPECT_DEATH(none.value(), "nothing done");
}

// The pieces of a text, each a view into it.
template <class Range>
std::vector<std::string> pieces(const std::string &text, Range &&range) {
    std::vector<std::string> out;
    for (std::string_view p : range) {
        EXPECT_TRUE(p.data() >= text.data() && p.data() + p.size() <= text.data() + text.size());
        out.emplace_back(p);
    }
    return out;
}

static_assert(std::ranges::forward_range<decltype(kelp::lines(""))>);
static_assert(std::ranges::forward_range<decltype(kelp::words(""))>);

TEST(CxxText, LinesFieldsAndWordsAreViewsIntoTheText) {
    using V = std::vector<std::string>;
    const struct {
        const char *what;
        std::string text;
        V lines, commas, words;
    } cases[] = {
        {"empty", "", {}, {}, {}},
        {"no line end", "a b", {"a b"}, {"a b"}, {"a", "b"}},
        {"a line end", "a\n", {"a"}, {"a\n"}, {"a"}},
        {"CR LF, an empty line, no end",
         "a,b\r\n\r\n,",
         {"a,b", "", ","},
         {"a", "b\r\n\r\n", ""},
         {"a,b", ","}},
        {"blanks only", " \t\n", {" \t"}, {" \t\n"}, {}},
        {"a lone CR stays", "a\r", {"a\r"}, {"a\r"}, {"a"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(pieces(c.text, kelp::lines(c.text)), c.lines);
        EXPECT_EQ(pieces(c.text, kelp::fields(c.text, ',')), c.commas);
        EXPECT_EQ(pieces(c.text, kelp::words(c.text)), c.words);
    }
}

// The trimmed views agree with stript and stripl on every byte and flag.
TEST(CxxText, TrimmingAgreesWithTheCFunctions) {
    for (int flags = 0; flags < 4; ++flags) {
        for (int b = 1; b < 256; ++b) {
            const std::string run(2, static_cast<char>(b));
            const std::string text = run + "x" + run + "x" + run;
            std::string end = text, start = text, both = text;
            stript(end.data(), flags);
            stripl(start.data(), flags);
            stript(both.data(), flags);
            stripl(both.data(), flags);
            EXPECT_EQ(kelp::trim_end(text, flags), end.c_str()) << b << " " << flags;
            EXPECT_EQ(kelp::trim_start(text, flags), start.c_str()) << b << " " << flags;
            EXPECT_EQ(kelp::trim(text, flags), both.c_str()) << b << " " << flags;
        }
    }
    EXPECT_EQ(kelp::trim(std::string_view("\0a\0", 3)), "a");  // NUL counts as a control
}
