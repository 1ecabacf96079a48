// Networking on real sockets. Everything that needs interfaces or the
// resolver runs in a forked child inside a network namespace of its own, so
// nothing reaches past this machine; the child reports back through a pipe
// and the parent checks.
#include <gtest/gtest.h>
#include <kelp.h>

#include "failalloc.h"
#include "testutil.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its headers need not be installed).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" int __lsan_do_recoverable_leak_check();
#endif

namespace {

using Report = std::map<std::string, std::string>;
constexpr int kRefused = 77;

// Bytes in use on the heap. Only the sanitizer runtime counts them exactly
// (the C library's statistics count its per-thread cache as in use), so the
// plain build leaves this check to the sanitizer build.
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return 0;
#endif
}

// Runs fill in a forked child after unshare(flags) there and returns the
// report it filled; nullopt when the kernel refuses the namespaces. Each
// {path, file} of over is bind-mounted on path in the child's own mount
// namespace.
std::optional<Report> in_child(int flags, const std::function<void(Report &)> &fill,
                               const std::map<std::string, std::string> &over = {}) {
    int fds[2];
    if (pipe(fds) != 0)
        return Report{{"error", "pipe"}};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (flags != 0 && unshare(flags) != 0)
            _exit(kRefused);
        if (!over.empty() && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(3);
        for (const auto &[path, file] : over)
            if (mount(file.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
                _exit(3);
        Report r;
        fill(r);
#if defined(__SANITIZE_ADDRESS__)
        if (__lsan_do_recoverable_leak_check() != 0)
            _exit(5);  // a forked child never reaches the leak check at exit
#endif
        std::string out;
        for (const auto &[k, v] : r)
            out += k + '\t' + v + '\n';
        ssize_t n = write(fds[1], out.data(), out.size());
        _exit(n == static_cast<ssize_t>(out.size()) ? 0 : 4);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;)
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (kelp_test::exit_code(status) == kRefused)
        return std::nullopt;
    Report r{{"exit", std::to_string(kelp_test::exit_code(status))}};
    for (size_t pos = 0, nl; (nl = out.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        size_t tab = out.find('\t', pos);
        r[out.substr(pos, tab - pos)] = out.substr(tab + 1, nl - tab - 1);
    }
    return r;
}

#define IN_CHILD_OR_SKIP(r, ...)                                                              \
    auto r##_opt = in_child(__VA_ARGS__);                                                     \
    if (!r##_opt)                                                                             \
        GTEST_SKIP() << "the kernel refused unshare() of a private namespace here";           \
    Report &r = *r##_opt;                                                                     \
    ASSERT_EQ(r["exit"], "0")

std::string dotted(uint32_t addr) {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &addr, text, sizeof text);
}

uint32_t ip(const char *text) { return inet_addr(text); }

int so_int(int fd, int level, int opt) {
    int v = -1;
    socklen_t len = sizeof v;
    return getsockopt(fd, level, opt, &v, &len) == 0 ? v : -1;
}

// ---------------------------------------------------------------------------
// Dotted quads

TEST(GinetDottedIp, IsPurelyLexical) {
    const struct {
        const char *str;
        int want;
    } cases[] = {
        {"10.0.0.1", 1}, {"999.1.1.1", 1}, {"0.0.0.0", 1},   {"1.2.3", 0},
        {"1.2.3.4.5", 0}, {".1.2.3", 0},   {"1.2.3.", 0},    {"1..2.3", 0},
        {"1.2.3.a", 0},  {"1.2.3.4 ", 0},  {"+1.2.3.4", 0},  {"", 0},
        {"...", 0},      {"....", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ginet_dotted_ip(c.str), c.want) << "'" << c.str << "'";
}

TEST(GinetStr2ipaddr, DottedQuadIsStoredAsInetAddrGivesIt) {
    std::strcpy(gnl_usrmsg, "untouched");
    uint32_t addr = 0;
    ASSERT_EQ(ginet_str2ipaddr("127.0.0.1", &addr), 0);
    const unsigned char want[] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&addr, want, 4), 0);
    // A part above 255: inet_addr's all-ones answer, still a success.
    ASSERT_EQ(ginet_str2ipaddr("999.1.1.1", &addr), 0);
    EXPECT_EQ(addr, 0xFFFFFFFFu);
    EXPECT_STREQ(gnl_usrmsg, "untouched");
}

// ---------------------------------------------------------------------------
// Resolver, inside a namespace with no reachable name server and our own
// hosts file

class Resolver : public ::testing::Test {
  protected:
    void SetUp() override {
        utsname uts{};
        ASSERT_EQ(uname(&uts), 0);
        node_ = uts.nodename;
        kelp_test::write_file(dir_.file("hosts"), "127.0.0.1 localhost\n10.9.8.7 " + node_ + "\n");
        kelp_test::write_file(dir_.file("nsswitch.conf"), "hosts: files dns\n");
        kelp_test::write_file(dir_.file("resolv.conf"),
                              "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
        for (const char *f : {"hosts", "nsswitch.conf", "resolv.conf"})
            over_[std::string("/etc/") + f] = dir_.file(f);
    }

    // Result, address variable (seeded with 192.0.2.99), message, errno and
    // h_errno of one lookup, as the caller sees them.
    static void resolve(Report &r, const std::string &key, const char *name) {
        uint32_t addr = ip("192.0.2.99");
        int rc = ginet_str2ipaddr(name, &addr);
        int err = errno, herr = h_errno;
        r[key] = std::to_string(rc) + " " + dotted(addr);
        if (rc != 0)
            r[key + ".msg"] = gnl_usrmsg;
        r[key + ".want"] = "ginet_str2ipaddr: gethostbyname() failed on (" +
                           (name != nullptr ? std::string(name) : "") + ") [errno=" +
                           std::to_string(err) + ", h_errno=" + std::to_string(herr) + "]";
        r[key + ".h_errno"] = std::to_string(herr);
    }

    kelp_test::TempDir dir_;
    std::string node_;
    std::map<std::string, std::string> over_;
};

TEST_F(Resolver, NamesAndTheNodeNameGoThroughTheResolver) {
    const std::string node = node_;
    IN_CHILD_OR_SKIP(r, CLONE_NEWNET | CLONE_NEWNS, [&](Report &r) {
        resolve(r, "localhost", "localhost");
        resolve(r, "node", node.c_str());
        resolve(r, "null", nullptr);
    }, over_);
    EXPECT_EQ(r["localhost"], "0 127.0.0.1");
    EXPECT_EQ(r["node"], "0 10.9.8.7");
    EXPECT_EQ(r["null"], "0 10.9.8.7");
}

TEST_F(Resolver, UnresolvableNamesFailWithErrnoAndHErrno) {
    const std::string longname = std::string(4992, 'a') + ".invalid";
    IN_CHILD_OR_SKIP(r, CLONE_NEWNET | CLONE_NEWNS, [&](Report &r) {
        resolve(r, "invalid", "nothing.invalid");
        resolve(r, "format", "%s%n%d.invalid");
        resolve(r, "empty", "");  // not this host: the resolver gets it as it is
        resolve(r, "long", longname.c_str());
    }, over_);
    for (const char *key : {"invalid", "format", "empty"}) {
        EXPECT_EQ(r[key], "-1 192.0.2.99") << key;
        EXPECT_EQ(r[std::string(key) + ".msg"], r[std::string(key) + ".want"]) << key;
    }
    EXPECT_NE(r["invalid.h_errno"], "0");
    // Cut to the 1024 characters gnl_usrmsg holds.
    EXPECT_EQ(r["long"], "-1 192.0.2.99");
    EXPECT_EQ(r["long.msg"], r["long.want"].substr(0, 1024));
}

// ---------------------------------------------------------------------------
// Server socket on the loopback of this machine

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

TEST(GinetGetsrvsock, ListensOnLow16BitsAndReportsAPortInUse) {
    const int port = free_port();
    int srv = -2;
    ASSERT_EQ(ginet_getsrvsock(&srv, port + 2 * 65536), 0) << gnl_usrmsg;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(srv, reinterpret_cast<sockaddr *>(&a), &len), 0);
    EXPECT_EQ(ntohs(a.sin_port), port);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(so_int(srv, SOL_SOCKET, SO_ACCEPTCONN), 1);
    EXPECT_EQ(so_int(srv, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(so_int(srv, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    EXPECT_NE(fcntl(srv, F_GETFD) & FD_CLOEXEC, 0);

    int cli = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(cli, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    int conn = accept(srv, nullptr, nullptr);
    EXPECT_GE(conn, 0);

    int again = -2;
    EXPECT_EQ(ginet_getsrvsock(&again, port + 65536), -1);
    EXPECT_EQ(std::string(gnl_usrmsg), "ginet_getsrvsock: bind() failed on port=" +
                                           std::to_string(port + 65536) + " (errno=" +
                                           std::to_string(EADDRINUSE) + ")");
    EXPECT_GE(again, 0);
    EXPECT_NE(again, srv);
    EXPECT_NE(fcntl(again, F_GETFD), -1) << "left open for the caller";
    for (int fd : {again, conn, cli, srv})
        close(fd);
}

// With no descriptor to spare, socket() fails in every function that opens
// one; nothing else is written.
TEST(Net, SocketFailureMessages) {
    auto r = in_child(0, [](Report &r) {
        rlimit old{}, none{};
        getrlimit(RLIMIT_NOFILE, &old);
        none.rlim_max = old.rlim_max;
        setrlimit(RLIMIT_NOFILE, &none);
        int srv = -2, sock = -2;
        int rc = ginet_getsrvsock(&srv, 1);
        r["srv"] = std::to_string(rc) + " " + std::to_string(srv);
        r["srv.msg"] = gnl_usrmsg;
        ifconf list{};
        rc = sock_get_ipifs(&list, &sock);
        r["ifs"] = std::to_string(rc) + " " + std::to_string(sock) +
                   (list.ifc_buf == nullptr ? " null" : " buffer");
        r["ifs.msg"] = gnl_usrmsg;
        char name[IFNAMSIZ] = "kept";
        uint32_t lo = ip("127.0.0.1");
        rc = ginet_ipaddr_to_ifnam(&lo, name);
        r["ifnam"] = std::to_string(rc) + " " + name;
        setrlimit(RLIMIT_NOFILE, &old);
    });
    Report &rep = *r;
    ASSERT_EQ(rep["exit"], "0");
    EXPECT_EQ(rep["srv"], "-1 -1");
    EXPECT_EQ(rep["srv.msg"], "ginet_getsrvsock: socket() failed (errno=" + std::to_string(EMFILE) + ")");
    EXPECT_EQ(rep["ifs"], "-1 -2 null");
    EXPECT_EQ(rep["ifs.msg"], "socket() failed, errno=" + std::to_string(EMFILE) + " [" +
                                  std::strerror(EMFILE) + "]");
    EXPECT_EQ(rep["ifnam"], "-1 kept");
}

// ---------------------------------------------------------------------------
// Interfaces, in a namespace where loopback carries labelled aliases

constexpr int kAliases = 21;  // with lo: 22 entries, past two growth steps

bool set_ifaddr(int fd, const std::string &ifname, const char *addr) {
    ifreq req{};
    std::strncpy(req.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip(addr);
    std::memcpy(&req.ifr_addr, &a, sizeof a);
    return ioctl(fd, SIOCSIFADDR, &req) == 0;
}

bool loopback_up(int fd) {
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    if (ioctl(fd, SIOCGIFFLAGS, &req) != 0)
        return false;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    return ioctl(fd, SIOCSIFFLAGS, &req) == 0;
}

std::string alias_addr(int i) { return "10.77.0." + std::to_string(i); }

// Splits a report value of blank-separated words and sorts them.
std::vector<std::string> sorted_words(const std::string &text) {
    std::vector<std::string> words;
    for (size_t pos = 0, sp; (sp = text.find(' ', pos)) != std::string::npos; pos = sp + 1)
        words.push_back(text.substr(pos, sp - pos));
    std::sort(words.begin(), words.end());
    return words;
}

TEST(SockGetIpifs, GrowsUntilTheListFitsAndCountsExactly) {
    IN_CHILD_OR_SKIP(r, CLONE_NEWNET, [](Report &r) {
        ifconf list{};
        r["down"] = std::to_string(sock_get_ipifs(&list, nullptr));
        int cfg = socket(AF_INET, SOCK_DGRAM, 0);
        if (!loopback_up(cfg))
            return;
        // Count and allocations with 1 to 22 entries: full steps of 10
        // entries must grow the buffer once more.
        for (int i = 0; i <= kAliases; ++i) {
            if (i > 0 && !set_ifaddr(cfg, "lo:" + std::to_string(i), alias_addr(i).c_str()))
                return;
            kelp_test::reset_alloc_count();
            int count = sock_get_ipifs(&list, nullptr);
            r["counts"] += std::to_string(count) + "/" +
                           std::to_string(kelp_test::library_allocs()) + " ";
        }
        for (int i = 0; i < list.ifc_len / static_cast<int>(sizeof(ifreq)); ++i)
            r["names"] += std::string(list.ifc_req[i].ifr_name) + " ";
        // The list's previous buffer is freed by the next call.
        const size_t heap = heap_in_use();
        sock_get_ipifs(&list, nullptr);
        r["reuse.heap"] = std::to_string(heap_in_use() - heap);
        std::free(list.ifc_buf);

        int fds = kelp_test::count_open_fds(), sock = -1;
        list = ifconf{};
        const int count = sock_get_ipifs(&list, &sock);
        r["sock"] = std::to_string(count) + " type " +
                    std::to_string(so_int(sock, SOL_SOCKET, SO_TYPE)) + " fds +" +
                    std::to_string(kelp_test::count_open_fds() - fds);
        close(sock);
        std::free(list.ifc_buf);

        // The allocation of each growth step failing in turn.
        for (int n = 0; n < 3; ++n) {
            list = ifconf{};
            sock = -2;
            fds = kelp_test::count_open_fds();
            int rc;
            {
                kelp_test::AllocFailure fail(n);
                rc = sock_get_ipifs(&list, &sock);
            }
            r["fail" + std::to_string(n)] =
                std::to_string(rc) + " " + std::to_string(sock) +
                (list.ifc_buf == nullptr ? " null" : " buffer") + " fds +" +
                std::to_string(kelp_test::count_open_fds() - fds) + " " + gnl_usrmsg;
        }
    });
    EXPECT_EQ(r["down"], "0");
    std::string counts, names = "lo ";
    for (int i = 0; i <= kAliases; ++i)
        counts += std::to_string(i + 1) + "/" + std::to_string((i + 1) / 10 + 1) + " ";
    for (int i = 1; i <= kAliases; ++i)
        names += "lo:" + std::to_string(i) + " ";
    EXPECT_EQ(r["counts"], counts);
    EXPECT_EQ(sorted_words(r["names"]), sorted_words(names));
    EXPECT_EQ(r["reuse.heap"], "0");
    EXPECT_EQ(r["sock"], std::to_string(kAliases + 1) + " type " + std::to_string(SOCK_DGRAM) + " fds +1");
    EXPECT_EQ(r["fail0"], "-1 -2 null fds +0 Failed to malloc 400 bytes, for list of 10 IP interfaces");
    EXPECT_EQ(r["fail1"], "-1 -2 null fds +0 Failed to malloc 800 bytes, for list of 20 IP interfaces");
    EXPECT_EQ(r["fail2"], "-1 -2 null fds +0 Failed to malloc 1200 bytes, for list of 30 IP interfaces");
}

TEST(GinetIpaddrToIfnam, FindsTheAliasAndLeavesNothingOpen) {
    IN_CHILD_OR_SKIP(r, CLONE_NEWNET, [](Report &r) {
        // Result, name buffer, message, and what the call left allocated and open.
        auto lookup = [](const std::string &addr) {
            char name[IFNAMSIZ + 1] = "untouched";
            const uint32_t a = ip(addr.c_str());
            const int fds = kelp_test::count_open_fds();
            const size_t heap = heap_in_use();
            const int rc = ginet_ipaddr_to_ifnam(&a, name);
            const size_t grown = heap_in_use() - heap;
            return std::to_string(rc) + " " + name + (rc != 0 ? std::string(" ") + gnl_usrmsg : "") +
                   " heap +" + std::to_string(grown) + " fds +" +
                   std::to_string(kelp_test::count_open_fds() - fds);
        };
        r["empty"] = lookup("127.0.0.1");  // loopback still down: no interface at all
        int cfg = socket(AF_INET, SOCK_DGRAM, 0);
        if (!loopback_up(cfg))
            return;
        for (int i = 1; i <= kAliases; ++i)
            if (!set_ifaddr(cfg, "lo:" + std::to_string(i), alias_addr(i).c_str()))
                return;
        lookup("127.0.0.1");  // the allocator settles on these buffer sizes
        for (const auto &[key, addr] : std::map<std::string, std::string>{
                 {"lo", "127.0.0.1"}, {"alias7", alias_addr(7)}, {"alias21", alias_addr(21)},
                 {"none", "10.99.0.1"}, {"none2", "127.0.0.2"}})
            r[key] = lookup(addr);
        kelp_test::AllocFailure fail(1);
        r["nomem"] = lookup("127.0.0.1");
    });
    EXPECT_EQ(r["empty"], "-1 untouched no such interface heap +0 fds +0");
    EXPECT_EQ(r["lo"], "0 lo heap +0 fds +0");
    EXPECT_EQ(r["alias7"], "0 lo:7 heap +0 fds +0");
    EXPECT_EQ(r["alias21"], "0 lo:21 heap +0 fds +0");
    EXPECT_EQ(r["none"], "-1 untouched no such interface heap +0 fds +0");
    EXPECT_EQ(r["none2"], "-1 untouched no such interface heap +0 fds +0");
    EXPECT_EQ(r["nomem"],
              "-1 untouched Failed to malloc 800 bytes, for list of 20 IP interfaces heap +0 fds +0");
}

// ---------------------------------------------------------------------------
// Medium names

TEST(DlpProto2nam, ListedCodesAndUnlistedInTheStaticBuffer) {
    const char *want[] = {"802.3 Ethernet", "Token Bus", "Token Ring", "802.6 MAN",
                          "Ethernet", "HDLC", "Character-Synchronous",
                          "IBM Channel-to-Channel", "FDDI", "Other"};
    for (int code = 0; code < 10; ++code)
        EXPECT_STREQ(dlp_proto2nam(code), want[code]) << code;
    EXPECT_STREQ(dlp_proto2nam(129), "Raw IP");

    const char *ten = dlp_proto2nam(10);
    EXPECT_STREQ(ten, "<10>");
    EXPECT_STREQ(dlp_proto2nam(128), "<128>");
    const char *minus = dlp_proto2nam(-1);
    EXPECT_EQ(minus, ten) << "one static buffer";
    EXPECT_STREQ(minus, "<4294967295>");
    EXPECT_STREQ(dlp_proto2nam(INT32_MIN), "<2147483648>");
}

}  // namespace
