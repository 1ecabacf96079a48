// Networking on real sockets. Whatever needs interfaces or the resolver runs
// in a forked child inside a network namespace of its own, so nothing leaves
// this machine; the child reports in text through a pipe, the parent checks.
#include <gtest/gtest.h>
#include <kelp.h>

#include "failalloc.h"
#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its headers need not be installed).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" int __lsan_do_recoverable_leak_check();
#endif

namespace {

constexpr int kRefused = 77;
constexpr int kAliases = 21;  // with lo 22 entries: the list grows twice

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

// Runs fn in a forked child, after unshare(flags) and bind-mounting each
// {target, file} of mounts there, and returns the text fn produced (with the
// exit status when not 0); nullopt when the kernel refuses the namespaces.
std::optional<std::string> in_child(int flags, const std::function<std::string()> &fn,
                                    const std::map<std::string, std::string> &mounts = {}) {
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const int code = kelp_test::exit_code(kelp_test::run_in_child([&] {
        if (flags != 0 && unshare(flags) != 0)
            return kRefused;
        if (!mounts.empty() && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 3;
        for (const auto &[target, file] : mounts)
            if (mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                return 3;
        std::string out = fn();
#if defined(__SANITIZE_ADDRESS__)
        if (__lsan_do_recoverable_leak_check() != 0)  // _exit skips the one at exit
            out += "leaks\n";
#endif
        return write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 4;
    }));
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    if (code == kRefused)
        return std::nullopt;
    return code == 0 ? out : out + "exit " + std::to_string(code) + "\n";
}

#define EXPECT_CHILD(want, ...)                                                    \
    do {                                                                           \
        auto out = in_child(__VA_ARGS__);                                          \
        if (!out)                                                                  \
            GTEST_SKIP() << "the kernel refused unshare() of a private namespace"; \
        EXPECT_EQ(*out, want);                                                     \
    } while (0)

std::string dotted(uint32_t addr) {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &addr, text, sizeof text);
}

uint32_t ip(const std::string &text) {
    return inet_addr(text.c_str());
}

int sockopt(int fd, int opt) {
    int v = -1;
    socklen_t len = sizeof v;
    return getsockopt(fd, SOL_SOCKET, opt, &v, &len) == 0 ? v : -1;
}

// Result of call, then what it left allocated and open.
std::string leftover(const std::function<int()> &call) {
    const int fds = kelp_test::count_open_fds();
    const size_t heap = heap_in_use();
    const int rc = call();
    const size_t grown = heap_in_use() - heap;
    return std::to_string(rc) + " heap +" + std::to_string(grown) + " fds +" +
           std::to_string(kelp_test::count_open_fds() - fds);
}

TEST(GinetDottedIp, IsPurelyLexical) {
    const struct {
        const char *str;
        int want;
    } cases[] = {
        {"10.0.0.1", 1}, {"999.1.1.1", 1}, {"0.0.0.0", 1}, {"1.2.3", 0},    {"1.2.3.4.5", 0},
        {".1.2.3", 0},   {"1.2.3.", 0},    {"1..2.3", 0},  {"1.2.3.a", 0},  {"1.2.3.4 ", 0},
        {"+1.2.3.4", 0}, {"", 0},          {"...", 0},     {"1.2.3.4%", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ginet_dotted_ip(c.str), c.want) << "'" << c.str << "'";
}

TEST(GinetStr2ipaddr, StoresADottedQuadAsInetAddrGivesIt) {
    std::strcpy(gnl_usrmsg, "untouched");
    uint32_t addr = 0;
    ASSERT_EQ(ginet_str2ipaddr("127.0.0.1", &addr), 0);
    const unsigned char loopback[] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&addr, loopback, 4), 0);
    ASSERT_EQ(ginet_str2ipaddr("999.1.1.1", &addr), 0);  // a part above 255: all ones
    EXPECT_EQ(addr, 0xFFFFFFFFu);
    EXPECT_STREQ(gnl_usrmsg, "untouched");
}

// The resolver with our own hosts file and a name server nobody can reach.
class Resolver : public ::testing::Test {
  protected:
    void SetUp() override {
        utsname uts{};
        ASSERT_EQ(uname(&uts), 0);
        node_ = uts.nodename;
        const std::pair<const char *, std::string> files[] = {
            {"hosts", "127.0.0.1 localhost\n10.9.8.7 " + node_ + "\n"},
            {"nsswitch.conf", "hosts: files dns\n"},
            {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"}};
        for (const auto &[name, text] : files) {
            kelp_test::write_file(dir_.file(name), text);
            mounts_[std::string("/etc/") + name] = dir_.file(name);
        }
    }

    // "result address" of one lookup (the address seeded with 192.0.2.99);
    // a failure must leave the message naming the errno and h_errno that the
    // caller sees, cut to what gnl_usrmsg holds.
    static std::string resolve(const char *name) {
        uint32_t addr = ip("192.0.2.99");
        const int rc = ginet_str2ipaddr(name, &addr);
        const int err = errno, herr = h_errno;
        std::string out = std::to_string(rc) + " " + dotted(addr);
        if (rc != 0) {
            std::string want = "ginet_str2ipaddr: gethostbyname() failed on (" +
                               std::string(name != nullptr ? name : "") +
                               ") [errno=" + std::to_string(err) +
                               ", h_errno=" + std::to_string(herr) + "]";
            want.resize(std::min<size_t>(want.size(), sizeof gnl_usrmsg - 1));
            out += want == gnl_usrmsg ? " as expected" : std::string(" message: ") + gnl_usrmsg;
            out += herr != 0 ? "" : " but h_errno 0";
        }
        return out + "\n";
    }

    kelp_test::TempDir dir_;
    std::string node_;
    std::map<std::string, std::string> mounts_;
};

TEST_F(Resolver, NamesAndTheNodeNameGoThroughTheResolver) {
    EXPECT_CHILD(
        "0 127.0.0.1\n0 10.9.8.7\n0 10.9.8.7\n", CLONE_NEWNET | CLONE_NEWNS,
        [this] {
            std::string out = resolve("localhost");
            out += resolve(node_.c_str());
            return out + resolve(nullptr);
        },
        mounts_);
}

TEST_F(Resolver, UnresolvableNamesNameErrnoAndHErrno) {
    const std::string longname = std::string(4992, 'a') + ".invalid";
    std::string want;
    for (int i = 0; i < 4; ++i)
        want += "-1 192.0.2.99 as expected\n";
    EXPECT_CHILD(
        want, CLONE_NEWNET | CLONE_NEWNS,
        [&] {
            std::string out = resolve("nothing.invalid");
            out += resolve("%s%n%d.invalid");
            out += resolve("");  // not this host: the resolver gets it as it is
            return out + resolve(longname.c_str());
        },
        mounts_);
}

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

TEST(GinetGetsrvsock, ListensOnTheLow16BitsAndReportsAPortInUse) {
    const int port = free_port();
    int srv = -2;
    ASSERT_EQ(ginet_getsrvsock(&srv, port + 2 * 65536), 0) << gnl_usrmsg;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(srv, reinterpret_cast<sockaddr *>(&a), &len), 0);
    EXPECT_EQ(ntohs(a.sin_port), port);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(sockopt(srv, SO_ACCEPTCONN), 1);
    EXPECT_EQ(sockopt(srv, SO_REUSEADDR), 1);
    EXPECT_NE(fcntl(srv, F_GETFD) & FD_CLOEXEC, 0);

    const int cli = socket(AF_INET, SOCK_STREAM, 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(cli, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    const int conn = accept(srv, nullptr, nullptr);
    EXPECT_GE(conn, 0);

    int again = -2;
    EXPECT_EQ(ginet_getsrvsock(&again, port + 65536), -1);
    EXPECT_EQ(std::string(gnl_usrmsg),
              "ginet_getsrvsock: bind() failed on port=" + std::to_string(port + 65536) +
                  " (errno=" + std::to_string(EADDRINUSE) + ")");
    EXPECT_NE(fcntl(again, F_GETFD), -1) << "the new descriptor stays open for the caller";
    for (int fd : {again, conn, cli, srv})
        close(fd);
}

TEST(Net, SocketFailuresAreReportedAndWriteNoResult) {
    const std::string emfile = std::to_string(EMFILE);
    EXPECT_CHILD("-1 -1 ginet_getsrvsock: socket() failed (errno=" + emfile + ")\n" +
                     "-1 -2 null socket() failed, errno=" + emfile + " [" + std::strerror(EMFILE) +
                     "]\n-1 kept\n",
                 0, [] {
                     rlimit old{}, none{};
                     getrlimit(RLIMIT_NOFILE, &old);
                     none.rlim_max = old.rlim_max;
                     setrlimit(RLIMIT_NOFILE, &none);  // no descriptor left to open
                     int srv = -2, sock = -2;
                     std::string out = std::to_string(ginet_getsrvsock(&srv, 1));
                     out += " " + std::to_string(srv) + " " + gnl_usrmsg + "\n";
                     ifconf list{};
                     out += std::to_string(sock_get_ipifs(&list, &sock));
                     out += " " + std::to_string(sock) + (list.ifc_buf ? " buffer " : " null ") +
                            gnl_usrmsg;
                     char name[IFNAMSIZ] = "kept";
                     const uint32_t lo = ip("127.0.0.1");
                     out += "\n" + std::to_string(ginet_ipaddr_to_ifnam(&lo, name));
                     setrlimit(RLIMIT_NOFILE, &old);
                     return out + " " + name + "\n";
                 });
}

std::string alias_addr(int i) {
    return "10.77.0." + std::to_string(i);
}

// Brings loopback up when from is 0, then labels the aliases lo:from to lo:to.
bool add_aliases(int from, int to) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq req{};
    bool ok = fd >= 0;
    if (from == 0) {
        std::strcpy(req.ifr_name, "lo");
        ok = ok && ioctl(fd, SIOCGIFFLAGS, &req) == 0;
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
        ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
        from = 1;
    }
    for (int i = from; ok && i <= to; ++i) {
        req = ifreq{};
        std::snprintf(req.ifr_name, IFNAMSIZ, "lo:%d", i);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = ip(alias_addr(i));
        std::memcpy(&req.ifr_addr, &a, sizeof a);
        ok = ioctl(fd, SIOCSIFADDR, &req) == 0;
    }
    close(fd);
    return ok;
}

TEST(SockGetIpifs, GrowsUntilTheListFitsAndCountsExactly) {
    std::string want;
    for (int n = 1; n <= kAliases + 1; ++n)  // entries/allocations: a full step must grow
        want += std::to_string(n) + "/" + std::to_string(n / 10 + 1) + " ";
    want += "\n" + std::to_string(kAliases + 1) + " datagram fds +1\n";
    for (const char *step :
         {"400 bytes, for list of 10", "800 bytes, for list of 20", "1200 bytes, for list of 30"})
        want +=
            "-1 heap +0 fds +0 -2 null Failed to malloc " + std::string(step) + " IP interfaces\n";

    EXPECT_CHILD(want, CLONE_NEWNET, [] {
        std::string out;
        ifconf list{};
        // Loopback alone, then one alias more each time. The list is reused:
        // each call frees the buffer of the one before.
        for (int i = 0; i <= kAliases; ++i) {
            if (!add_aliases(i, i))
                return out + "no aliases\n";
            kelp_test::reset_alloc_count();
            out += std::to_string(sock_get_ipifs(&list, nullptr));
            out += "/" + std::to_string(kelp_test::library_allocs()) + " ";
        }
        std::free(list.ifc_buf);

        list = ifconf{};
        int sock = -1;
        const int fds = kelp_test::count_open_fds();
        out += "\n" + std::to_string(sock_get_ipifs(&list, &sock));
        out += sockopt(sock, SO_TYPE) == SOCK_DGRAM ? " datagram" : " not datagram";
        out += " fds +" + std::to_string(kelp_test::count_open_fds() - fds) + "\n";
        close(sock);
        std::free(list.ifc_buf);

        for (int n = 0; n < 3; ++n) {  // the allocation of each step failing in turn
            list = ifconf{};
            sock = -2;
            kelp_test::AllocFailure fail(n);
            out += leftover([&] { return sock_get_ipifs(&list, &sock); });
            out += " " + std::to_string(sock) + (list.ifc_buf ? " buffer " : " null ");
            out += std::string(gnl_usrmsg) + "\n";
        }
        return out;
    });
}

TEST(GinetIpaddrToIfnam, FindsTheAliasAndLeavesNothingBehind) {
    const std::string none = " untouched [no such interface]\n";
    EXPECT_CHILD(
        "-1 heap +0 fds +0" + none + "0 heap +0 fds +0 lo []\n" +
            "0 heap +0 fds +0 lo:7 []\n0 heap +0 fds +0 lo:21 []\n-1 heap +0 fds +0" + none +
            "-1 heap +0 fds +0" + none +
            "-1 heap +0 fds +0 untouched [Failed to malloc 800 bytes, for list of 20 IP "
            "interfaces]\n",
        CLONE_NEWNET, [] {
            auto lookup = [](const std::string &addr) {
                char name[IFNAMSIZ + 1] = "untouched";
                const uint32_t a = ip(addr);
                gnl_usrmsg[0] = '\0';
                const std::string rc = leftover([&] { return ginet_ipaddr_to_ifnam(&a, name); });
                return rc + " " + name + " [" + gnl_usrmsg + "]\n";
            };
            std::string out = lookup("127.0.0.1");  // loopback down: no interface at all
            if (!add_aliases(0, kAliases))
                return out + "no aliases\n";
            for (const std::string &addr : {std::string("127.0.0.1"), alias_addr(7), alias_addr(21),
                                            std::string("10.99.0.1"), std::string("127.0.0.2")})
                out += lookup(addr);
            kelp_test::AllocFailure fail(1);
            return out + lookup("127.0.0.1");
        });
}

TEST(DlpProto2nam, ListedCodesAndUnlistedOnesInOneStaticBuffer) {
    // clang-format off
    const std::pair<int, const char *> cases[] = {
        {0, "802.3 Ethernet"}, {1, "Token Bus"}, {2, "Token Ring"}, {3, "802.6 MAN"},
        {4, "Ethernet"}, {5, "HDLC"}, {6, "Character-Synchronous"},
        {7, "IBM Channel-to-Channel"}, {8, "FDDI"}, {9, "Other"}, {129, "Raw IP"},
        {10, "<10>"}, {128, "<128>"}, {-1, "<4294967295>"}, {INT32_MIN, "<2147483648>"}};
    // clang-format on
    for (const auto &[code, name] : cases)
        EXPECT_STREQ(dlp_proto2nam(code), name) << code;
    const char *ten = dlp_proto2nam(10);
    EXPECT_EQ(dlp_proto2nam(-1), ten);
    EXPECT_STREQ(ten, "<4294967295>");
}

}  // namespace
