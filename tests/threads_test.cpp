// The library from eight threads at once. Each thread checks its own results,
// and its own failures against its own gnl_usrmsg; trace files are read back
// line by line: every line a whole record, none lost, none twice.
#include "testutil.h"

#include <kelp.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using kelp_test::read_file;
using kelp_test::TempDir;

namespace {

constexpr int kThreads = 8;

// Runs fn(t) on eight threads started together; returns what they reported,
// "" when every thread found everything as it expected.
std::string on_threads(const std::function<std::string(int)> &fn) {
    std::atomic<int> ready{0};
    std::vector<std::string> said(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads)
                std::this_thread::yield();
            said[t] = fn(t);
        });
    std::string all;
    for (int t = 0; t < kThreads; ++t) {
        threads[t].join();
        if (!said[t].empty())
            all += "thread " + std::to_string(t) + ": " + said[t] + "\n";
    }
    return all;
}

// Writes records "t<T> n<I>" for I from 0 up.
std::string write_records(int t, long n, int lvl = 2) {
    for (long i = 0; i < n; ++i)
        dbgtrc(lvl, 0, "t%d n%ld", t, i);
    return "";
}

// The records of trace text: per thread the numbers of its "t<T> n<I>"
// records in the order met, the other whole records, and the lines that
// are no whole record.
struct Records {
    std::vector<std::vector<long>> seen = std::vector<std::vector<long>>(kThreads);
    long others = 0;
    std::string torn;

    explicit Records(const std::string &text) {
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            int at = 0, end = 0, t = -1;
            long i = -1;
            // "YYYYMMDD-hh:mm:ss.mmm (LEVEL-pid): message"
            std::sscanf(line.c_str(),
                        "%*8[0-9]-%*2[0-9]:%*2[0-9]:%*2[0-9].%*3[0-9] (%*[^-]-%*d): %n", &at);
            if (at == 0)
                torn += line + "\n";
            else if (std::sscanf(line.c_str() + at, "t%d n%ld%n", &t, &i, &end) == 2 &&
                     line[static_cast<size_t>(at + end)] == '\0' && t >= 0 && t < kThreads)
                seen[static_cast<size_t>(t)].push_back(i);
            else
                ++others;
        }
        if (!text.empty() && text.back() != '\n')
            torn += "(no newline at the end)\n";
    }

    // Thread t's records 0 to n-1, each once, in order.
    bool in_order(int t, long n) const { return seen[static_cast<size_t>(t)] == upto(n); }
    // The same for every thread, and nothing torn.
    bool all(long n) const {
        return torn.empty() &&
               std::all_of(seen.begin(), seen.end(), [&](const auto &s) { return s == upto(n); });
    }
    static std::vector<long> upto(long n) {
        std::vector<long> v(static_cast<size_t>(n));
        std::iota(v.begin(), v.end(), 0);
        return v;
    }
};

// Runs fn in a forked child under env (nullptr unsets; the trace's own
// variables start unset, HOME is dir), its standard output and error in
// dir's files "out" and "err". Returns what fn returned.
std::string in_child(const TempDir &dir, std::map<std::string, const char *> env,
                     const std::function<std::string()> &fn) {
    for (const char *name : {"KELPTRC_LEVEL", "KELPTRC_TIMEPREC", "KELPTRC_TIMEFMT",
                             "KELPTRC_FILENAME", "KELPTRC_REOPEN"})
        env.emplace(name, nullptr);
    env.emplace("HOME", dir.path().c_str());
    const int code = kelp_test::exit_code(kelp_test::run_in_child(env, [&] {
        dup2(open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        kelp_test::write_file(dir.file("said"), fn());
        return 0;
    }));
    return read_file(dir.file("said")) + (code == 0 ? "" : "exit " + std::to_string(code));
}

}  // namespace

// ---- The trace ---------------------------------------------------------------

// Whatever the first records race, the environment is read once and every
// record goes where it says, at the level it says.
TEST(Threads, FirstRecordsConfigureTheTraceOnce) {
    TempDir dir;
    const std::string file = dir.file("trace.log");
    EXPECT_EQ(in_child(dir, {{"KELPTRC_LEVEL", "DBG2"}, {"KELPTRC_FILENAME", file.c_str()}},
                       [] { return on_threads([](int t) { return write_records(t, 200, 5); }); }),
              "");
    EXPECT_TRUE(Records(read_file(file)).all(200));
    EXPECT_EQ(read_file(dir.file("err")) + read_file(dir.file("out")), "");
    // A refused level is reported once.
    EXPECT_EQ(in_child(dir, {{"KELPTRC_LEVEL", "bogus"}},
                       [] { return on_threads([](int t) { return write_records(t, 200, 1); }); }),
              "");
    const Records err(read_file(dir.file("err")));
    EXPECT_TRUE(err.all(200)) << err.torn;
    EXPECT_EQ(err.others, 1);
}

TEST(Threads, RecordsStayWholeInEveryDestination) {
    TempDir dir;
    const std::string held = dir.file("held.log"), reopen = dir.file("reopen.log"),
                      bad = dir.file("no-such-dir/x.log"), tmp_log = "/tmp/KELP.LOG";
    const struct {
        const char *what, *filename, *reopen;  // reopen: the file dbginit names
        std::string file;                      // where the records land
    } cases[] = {
        {"held file", held.c_str(), nullptr, held},
        {"standard output", "stdout", nullptr, dir.file("out")},
        {"standard error", "stderr", nullptr, dir.file("err")},
        {"reopen", nullptr, reopen.c_str(), reopen},
        {"fallback", nullptr, bad.c_str(), tmp_log},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = read_file(c.file).size();
        const char *mode = c.reopen != nullptr ? "y" : nullptr;
        EXPECT_EQ(in_child(dir, {{"KELPTRC_FILENAME", c.filename}, {"KELPTRC_REOPEN", mode}},
                           [&] {
                               if (c.reopen != nullptr && dbginit(c.reopen, nullptr, -1) != 0)
                                   return std::string("dbginit failed");
                               return on_threads([](int t) { return write_records(t, 200); });
                           }),
                  "");
        std::string text = read_file(c.file).substr(before);
        if (c.file == tmp_log) {
            // Others may write there too: this child's lines only, which
            // follow the one notice that names this test's file.
            const std::string notice = "Failed to open '" + bad + "'";
            const size_t at = text.find(notice), pid = text.rfind("PID=", at);
            ASSERT_NE(at, std::string::npos);
            const std::string tag = "-" + text.substr(pid + 4, at - pid - 6) + "): ";
            std::istringstream in(text.substr(text.find('\n', at) + 1));
            text.clear();
            for (std::string line; std::getline(in, line);)
                text += line.find(tag) != std::string::npos ? line + "\n" : "";
        }
        const Records r(text);
        EXPECT_TRUE(r.all(200)) << r.torn;
        EXPECT_EQ(r.others, 0);
    }
}

// dbginit moves the trace back and forth while eight threads write: each
// record lands whole in one of the two files, in its thread's order there.
TEST(Threads, DbginitMovesTheTraceWhileOthersWrite) {
    TempDir dir;
    const std::string a = dir.file("a.log"), b = dir.file("b.log");
    auto move_while_writing = [&] {
        dbginit(a.c_str(), nullptr, -1);
        std::atomic<bool> done{false};
        std::atomic<long> moves{0};
        std::thread mover([&] {
            for (int n = 1; !done.load(); ++n, ++moves) {
                dbginit((n % 2 != 0 ? b : a).c_str(), nullptr, -1);
                std::this_thread::yield();
            }
        });
        // Every 100 records a thread waits for a move, however the
        // threads are scheduled.
        const std::string said = on_threads([&](int t) {
            for (long i = 0; i < 2000; ++i) {
                for (long seen = moves.load(); i % 100 == 0 && moves.load() == seen;)
                    std::this_thread::yield();
                dbgtrc(2, 0, "t%d n%ld", t, i);
            }
            return "";
        });
        done = true;
        mover.join();
        return said;
    };
    EXPECT_EQ(in_child(dir, {}, move_while_writing), "");
    const Records ra(read_file(a)), rb(read_file(b));
    EXPECT_EQ(ra.torn + rb.torn, "");
    bool moved = false;
    for (size_t t = 0; t < kThreads; ++t) {
        const auto &in_a = ra.seen[t], &in_b = rb.seen[t];
        EXPECT_TRUE(std::is_sorted(in_a.begin(), in_a.end()) &&
                    std::is_sorted(in_b.begin(), in_b.end()));
        std::vector<long> both = in_a;
        both.insert(both.end(), in_b.begin(), in_b.end());
        std::sort(both.begin(), both.end());
        EXPECT_EQ(both, Records::upto(2000)) << "thread " << t;
        moved |= !in_a.empty() && !in_b.empty();
    }
    EXPECT_TRUE(moved) << "no thread wrote to both files";
}

// ---- The command line ------------------------------------------------------

// getopt stopped inside a word of one thread's arguments (a duplicate
// switch); the next parse, on another thread, starts at its own argv[1].
TEST(Threads, ParseAfterAnotherThreadsStartsAfresh) {
    gnl_cmdlin_def def{};
    std::thread([&] {
        std::vector<std::string> words = {"first", "-xxy"};
        std::vector<char *> argv = {words[0].data(), words[1].data(), nullptr};
        def.optstr = "xy";
        EXPECT_EQ(gnl_cmdlin(2, argv.data(), &def), 1);
        EXPECT_STREQ(gnl_usrmsg, "Duplicate '-x' switch");
    }).join();
    std::thread([] {
        std::vector<std::string> words = {"second", "-z", "param"};
        std::vector<char *> argv = {words[0].data(), words[1].data(), words[2].data(), nullptr};
        gnl_cmdlin_def def{};
        def.optstr = "z";
        def.maxparam = -1;
        EXPECT_EQ(gnl_cmdlin(3, argv.data(), &def), 0) << gnl_usrmsg;
        EXPECT_EQ(def.nparam, 1);
    }).join();
}

// ---- Every module at once ------------------------------------------------------

namespace {

// What one thread keeps from round to round.
struct Own {
    int t;
    std::string file, content, missing, expect_arg;
    wtree *tree;
    long traced = 0;  // records the library wrote on this thread's behalf
};

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond))                                                         \
            return std::string(#cond) + " [gnl_usrmsg: " + gnl_usrmsg + "]"; \
    } while (0)

int expect_arg(gnl_cmdlin_def *def, int kind, int, char *arg) {
    const Own &own = *static_cast<const Own *>(def->appdata);
    if (kind == CMDLIN_PARAM)
        optind = 1;  // inside the parse: ready for this thread's next one
    return kind == CMDLIN_SWITCH && own.expect_arg != arg;
}

// One round of every module, from thread own.t.
std::string round_of_modules(Own &own, long i) {
    const int t = own.t;
    char mine[300];
    // Core and trace.
    const int lvl = 1000 * (t + 1) + static_cast<int>(i % 1000);
    CHECK(trc_lvl2sym(lvl) == "<" + std::to_string(lvl) + ">");
    dbgtrc(2, 0, "t%d n%ld", t, i);
    // Text: the static results against the caller-buffer ones.
    const int v = t * 1000000 + static_cast<int>(i % 1000000);
    CHECK(std::string(comma_number(v, nullptr, 1)) == comma_number(v, mine, 1));
    CHECK(std::string(buf2hex(&v, sizeof v, nullptr, 0)) == buf2hex(&v, sizeof v, mine, 257));
    std::snprintf(mine, sizeof mine, "thread%d", t);
    str2ucs(mine);
    CHECK(mine == "THREAD" + std::to_string(t));
    // Numbers.
    unsigned char bcd[8] = {};
    int digits = 0;
    bin_to_bcd(v, bcd, 0, &digits);
    CHECK(bcd_to_bin(bcd, 0, digits) == v);
    CHECK(mth_intlog(1, v) == -1);  // traced
    ++own.traced;
    // Buffers and files.
    int len = 0;
    unsigned char *b = file2buf(-1, own.file.c_str(), nullptr, -1, &len, 1, 1);
    CHECK(b != nullptr && std::string(reinterpret_cast<char *>(b) + 1, len) == own.content);
    std::free(b);
    CHECK(file2buf(-1, own.missing.c_str(), nullptr, -1, &len, 0, 0) == nullptr);
    CHECK(gnl_usrmsg == "open(" + own.missing + ") failed, errno=2 [No such file or directory]");
    // Lists.
    llist list{};
    for (const char *key : {"pear", "apple", "fig"})
        std::strcpy(static_cast<char *>(llist_insert_b(&list, nullptr, nullptr, 8)->data), key);
    llist_strsort(&list, 0, 0);
    CHECK(std::string(static_cast<char *>(list.head->data)) == "apple" && list.count == 3);
    llist_clear(&list);
    // Word trees.
    const std::string word = std::string(1, static_cast<char>('a' + t)) + "ord";
    CHECK(wtree_add_word(own.tree, word.c_str(), 4, t + 1) >= 0);
    CHECK(wtree_find_word(own.tree, word.c_str(), 4) == t + 1);
    CHECK(wtree_del_word(own.tree, word.c_str(), 4) == 0);
    CHECK(wtree_add_word(own.tree, "x", 1, NOTOK) == -1);  // traced
    ++own.traced;
    CHECK(std::strcmp(gnl_usrmsg, "APPLICATION ERROR") == 0);
    // The command line (serialised).
    own.expect_arg = std::to_string(t) + "-" + std::to_string(i);
    std::string words[] = {"prog", "-a", own.expect_arg, "param"};
    char *argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), nullptr};
    gnl_cmdlin_def def{};
    def.optstr = "a:";
    def.mandsw = "a";
    def.handler = expect_arg;
    def.appdata = &own;
    def.minparam = def.maxparam = 1;
    CHECK(gnl_cmdlin(4, argv, &def) == 0);
    // Networking, in a network namespace of the test's own.
    uint32_t addr = 0;
    const std::string quad = "10.0." + std::to_string(t) + "." + std::to_string(i % 256);
    CHECK(ginet_dotted_ip(quad.c_str()) == 1 && ginet_str2ipaddr(quad.c_str(), &addr) == 0);
    CHECK(addr == inet_addr(quad.c_str()));
    const std::string host = "thread" + std::to_string(t);
    CHECK(ginet_str2ipaddr(host.c_str(), &addr) == 0 && addr == htonl(0x0A010000u + t));
    const std::string unknown = "nothing" + std::to_string(t) + ".invalid";
    CHECK(ginet_str2ipaddr(unknown.c_str(), &addr) == -1);
    CHECK(std::string(gnl_usrmsg)
              .rfind("ginet_str2ipaddr: gethostbyname() failed on (" + unknown + ") [errno=", 0) ==
          0);
    int srv = -1, again = -1;
    CHECK(ginet_getsrvsock(&srv, 0) == 0);
    struct sockaddr_in sa {};
    socklen_t salen = sizeof sa;
    getsockname(srv, reinterpret_cast<struct sockaddr *>(&sa), &salen);
    const int port = ntohs(sa.sin_port);
    const int rc = ginet_getsrvsock(&again, port);
    close(srv);
    close(again);
    CHECK(rc == -1 && gnl_usrmsg == "ginet_getsrvsock: bind() failed on port=" +
                                        std::to_string(port) + " (errno=98)");
    CHECK(dlp_proto2nam(lvl) == "<" + std::to_string(lvl) + ">");
    struct ifconf ifs {};
    CHECK(sock_get_ipifs(&ifs, nullptr) >= 0);
    std::free(ifs.ifc_buf);
    // Commands: started side by side, their closes serialised. Their child
    // shares the caller's memory until exec, which ThreadSanitizer cannot
    // follow: under it they are left out.
#ifndef __SANITIZE_THREAD__
    std::string said = "cmd" + std::to_string(t), out;
    char echo[] = "echo";
    char *argv_echo[] = {echo, said.data(), nullptr};
    int rfd = -1, wfd = -1, pid = -1;
    CHECK(run_syscmd(nullptr, argv_echo, &rfd, &wfd, &pid, nullptr, nullptr, 0) == 0);
    char got[64];
    for (ssize_t n; (n = read(rfd, got, sizeof got)) > 0;)
        out.append(got, static_cast<size_t>(n));
    CHECK(close_syscmd(rfd, wfd, pid) == 0 && out == said + "\n");
#endif
    // Time, in UTC.
    struct tm tm {};
    tm.tm_year = 101, tm.tm_mon = 1, tm.tm_mday = 3, tm.tm_hour = 4, tm.tm_min = 5 + t;
    tm.tm_sec = 6;
    CHECK(port_mktime(&tm) == 981173106 + 60 * t);
    tm.tm_sec = -1;
    CHECK(port_mktime(&tm) == -1);
    CHECK(std::strcmp(gnl_usrmsg, "invalid time/date spec (negative numbers)") == 0);
    CHECK(yy_to_ccyy(99) % 100 == 99);
    return "";
}

#undef CHECK

// The namespaces of a round: a network of the child's own (no traffic
// leaves it) and a resolver that knows the threads' names from a hosts file.
std::string private_network(const TempDir &dir) {
    std::string hosts;
    for (int t = 0; t < kThreads; ++t)
        hosts += "10.1.0." + std::to_string(t) + " thread" + std::to_string(t) + "\n";
    kelp_test::write_file(dir.file("hosts"), hosts);
    kelp_test::write_file(dir.file("nsswitch.conf"), "hosts: files\n");
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return "skip";
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(dir.file("hosts").c_str(), "/etc/hosts", "none", MS_BIND, nullptr) != 0 ||
        mount(dir.file("nsswitch.conf").c_str(), "/etc/nsswitch.conf", "none", MS_BIND, nullptr) !=
            0)
        return "mount failed";
    return "";
}

}  // namespace

TEST(Threads, EveryModuleAtOnce) {
    TempDir dir;
    const std::string trace = dir.file("trace.log");
    const auto length =
        std::chrono::milliseconds(std::getenv("KELP_UNDER_VALGRIND") != nullptr ? 1000 : 2500);
    auto all_modules = [&] {
        if (std::string net = private_network(dir); !net.empty())
            return net;
        std::atomic<long> rounds[kThreads] = {}, traced{0};
        std::string said = on_threads([&](int t) {
            const std::string n = std::to_string(t);
            Own own{t,           dir.file("data" + n),
                    "data-" + n, dir.file("missing" + n),
                    "",          wtree_create("abcdefghijklmnopqrstuvwxyz", 26, 0)};
            kelp_test::write_file(own.file, own.content);
            const auto end = std::chrono::steady_clock::now() + length;
            std::string wrong;
            long i = 0;
            for (; wrong.empty() && std::chrono::steady_clock::now() < end; ++i)
                wrong = round_of_modules(own, i);
            wtree_destroy(own.tree);
            rounds[t] = i;
            traced += own.traced;
            return wrong;
        });
        // One record of each round's own, and the library's, all whole.
        const Records r(read_file(trace));
        for (int t = 0; t < kThreads; ++t)
            if (!r.in_order(t, rounds[t]))
                said += "records of thread " + std::to_string(t) + " missing or out of order\n";
        if (r.others != traced)
            said += "library records: " + std::to_string(r.others) + " of " +
                    std::to_string(traced.load()) + "\n";
        return said + r.torn.substr(0, 2000);
    };
    const std::string said =
        in_child(dir, {{"KELPTRC_FILENAME", trace.c_str()}, {"TZ", "UTC0"}}, all_modules);
    if (said == "skip")
        GTEST_SKIP() << "the kernel refused unshare() of private namespaces";
    EXPECT_EQ(said, "");
}
