// Networking on real sockets. Whatever needs interfaces or the resolver runs
// in a forked child inside network and mount namespaces of its own, so nothing
// leaves this machine; the child reports in text through a pipe.
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
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its headers need not be installed).
extern "C" int __lsan_do_recoverable_leak_check();
#endif

namespace {

constexpr int kAliases = 21;  // with lo 22 entries: the list grows twice

// Runs fn in a forked child in private namespaces, with each {target, file}
// of mounts bind-mounted, and expects it to produce want (and exit 0).
void expect_child(const std::string &want, const std::map<std::string, std::string> &mounts,
                  const std::function<std::string()> &fn) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int code = kelp_test::exit_code(kelp_test::run_in_child([&] {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            return 77;
        if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
            return 3;
        for (const auto &[target, file] : mounts)
            if (mount(file.c_str(), target.c_str(), "none", MS_BIND, nullptr) != 0)
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
    if (code == 77)
        GTEST_SKIP() << "the kernel refused unshare() of private namespaces";
    EXPECT_EQ(out + (code == 0 ? "" : "exit " + std::to_string(code) + "\n"), want);
}

int sockopt(int fd, int opt) {
    int v = -1;
    socklen_t len = sizeof v;
    return getsockopt(fd, SOL_SOCKET, opt, &v, &len) == 0 ? v : -1;
}

// "result address" of one lookup into an address seeded with 192.0.2.99, and
// gnl_usrmsg unless it is as expected: untouched on success, on failure
// naming the errno and h_errno the caller sees, cut to what it holds.
std::string resolve(const char *name) {
    uint32_t addr = inet_addr("192.0.2.99");
    std::strcpy(gnl_usrmsg, "untouched");
    const int rc = ginet_str2ipaddr(name, &addr);
    const int err = errno, herr = h_errno;
    std::string want = "untouched";
    if (rc != 0)
        want = "ginet_str2ipaddr: gethostbyname() failed on (" +
               std::string(name != nullptr ? name : "") + ") [errno=" + std::to_string(err) +
               ", h_errno=" + std::to_string(herr) + "]";
    want.resize(std::min(want.size(), sizeof gnl_usrmsg - 1));
    char text[INET_ADDRSTRLEN];
    return std::to_string(rc) + " " + inet_ntop(AF_INET, &addr, text, sizeof text) +
           (want == gnl_usrmsg ? "" : std::string(" message: ") + gnl_usrmsg) +
           (rc != 0 && herr == 0 ? " but h_errno 0\n" : "\n");
}

TEST(GinetDottedIp, IsPurelyLexicalAndStoredAsInetAddrGivesIt) {
    for (const char *s : {"10.0.0.1", "999.1.1.1", "0.0.0.0"})
        EXPECT_EQ(ginet_dotted_ip(s), 1) << s;
    for (const char *s : {"1.2.3", "1.2.3.4.5", ".1.2.3", "1.2.3.", "1..2.3", "1.2.3.a", "1.2.3.4 ",
                          "+1.2.3.4", "", "...", "1.2.3.4%"})
        EXPECT_EQ(ginet_dotted_ip(s), 0) << "'" << s << "'";
    // In network order; a part above 255 gives all ones.
    EXPECT_EQ(resolve("127.0.0.1") + resolve("999.1.1.1"), "0 127.0.0.1\n0 255.255.255.255\n");
}

// The resolver with our own hosts file and a name server nobody can reach.
TEST(GinetStr2ipaddr, ResolvesNamesAndTheNodeNameAndReportsFailures) {
    utsname uts{};
    ASSERT_EQ(uname(&uts), 0);
    const std::string node = uts.nodename, longname = std::string(4992, 'a') + ".invalid";
    kelp_test::TempDir dir;
    std::map<std::string, std::string> mounts;
    for (const auto &[name, text] : std::map<std::string, std::string>{
             {"hosts", "127.0.0.1 localhost\n10.9.8.7 " + node + "\n"},
             {"nsswitch.conf", "hosts: files dns\n"},
             {"resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"}}) {
        kelp_test::write_file(dir.file(name), text);
        mounts["/etc/" + name] = dir.file(name);
    }
    // "" is not this host: the resolver gets it as it is.
    const char *names[] = {"localhost",      node.c_str(), nullptr,         "nothing.invalid",
                           "%s%n%d.invalid", "",           longname.c_str()};
    std::string want = "0 127.0.0.1\n0 10.9.8.7\n0 10.9.8.7\n";
    for (int i = 0; i < 4; ++i)
        want += "-1 192.0.2.99\n";
    expect_child(want, mounts, [&] {
        std::string out;
        for (const char *name : names)
            out += resolve(name);
        return out;
    });
}

// The second socket wants the port of the first one: the low 16 bits count.
TEST(GinetGetsrvsock, ListensOnAllAddressesAndReportsAPortInUse) {
    int srv = -2, again = -2;
    ASSERT_EQ(ginet_getsrvsock(&srv, 0), 0) << gnl_usrmsg;  // any free port
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(srv, reinterpret_cast<sockaddr *>(&a), &len), 0);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(sockopt(srv, SO_ACCEPTCONN), 1);
    EXPECT_EQ(sockopt(srv, SO_REUSEADDR), 1);
    EXPECT_NE(fcntl(srv, F_GETFD) & FD_CLOEXEC, 0);
    const int port = ntohs(a.sin_port) + 3 * 65536;
    EXPECT_EQ(ginet_getsrvsock(&again, port), -1);
    EXPECT_EQ(std::string(gnl_usrmsg),
              "ginet_getsrvsock: bind() failed on port=" + std::to_string(port) + " (errno=98)");
    EXPECT_NE(fcntl(again, F_GETFD), -1) << "the new descriptor stays open for the caller";
    close(again);
    close(srv);
}

// Gives loopback its address 127.0.0.1 for i 0, else the alias lo:i, 10.77.0.i.
bool add_address(int i) {
    ifreq req{};
    std::strcpy(req.ifr_name, i == 0 ? "lo" : ("lo:" + std::to_string(i)).c_str());
    const std::string addr = i == 0 ? "127.0.0.1" : "10.77.0." + std::to_string(i);
    const sockaddr_in a{AF_INET, 0, {inet_addr(addr.c_str())}, {}};
    std::memcpy(&req.ifr_addr, &a, sizeof a);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const bool ok = ioctl(fd, SIOCSIFADDR, &req) == 0;
    close(fd);
    return ok;
}

// With addr a lookup of it, else a call of sock_get_ipifs on a fresh list:
// the result, descriptors left open, what was written, and the message.
std::string ifs(const char *addr) {
    ifconf list{};
    int sock = -2;
    char name[IFNAMSIZ + 1] = "untouched";
    const uint32_t a = inet_addr(addr != nullptr ? addr : "");
    gnl_usrmsg[0] = '\0';
    const int fds = kelp_test::count_open_fds();
    const int rc = addr != nullptr ? ginet_ipaddr_to_ifnam(&a, name) : sock_get_ipifs(&list, &sock);
    std::string out =
        std::to_string(rc) + " fds +" + std::to_string(kelp_test::count_open_fds() - fds);
    if (addr != nullptr)
        out += std::string(" ") + name;
    else if (sock >= 0)
        out += sockopt(sock, SO_TYPE) == SOCK_DGRAM ? " dgram" : " not dgram";
    else
        out += " " + std::to_string(sock);
    if (addr == nullptr)
        out += list.ifc_buf != nullptr ? " buffer" : " null";
    if (sock >= 0)
        close(sock);
    std::free(list.ifc_buf);
    return out + " [" + gnl_usrmsg + "]\n";
}

// Entries/allocations: a list that fills a step exactly must grow too.
TEST(SockGetIpifs, GrowsCountsExactlyAndFailuresLeaveNothingBehind) {
    const char *want = R"(-1 fds +0 untouched [no such interface]
1/1 2/1 3/1 4/1 5/1 6/1 7/1 8/1 9/1 10/2 11/2 12/2 13/2 14/2 15/2 16/2 17/2 18/2 19/2 20/3 21/3 22/3
22 fds +1 dgram buffer []
-1 fds +0 -2 null [Failed to malloc 400 bytes, for list of 10 IP interfaces]
-1 fds +0 -2 null [Failed to malloc 800 bytes, for list of 20 IP interfaces]
-1 fds +0 -2 null [Failed to malloc 1200 bytes, for list of 30 IP interfaces]
0 fds +0 lo []
0 fds +0 lo:7 []
0 fds +0 lo:21 []
-1 fds +0 untouched [no such interface]
-1 fds +0 untouched [no such interface]
-1 fds +0 untouched [Failed to malloc 800 bytes, for list of 20 IP interfaces]
-1 -1 ginet_getsrvsock: socket() failed (errno=24)
-1 fds +0 -2 null [socket() failed, errno=24 [Too many open files]]
-1 fds +0 untouched [socket() failed, errno=24 [Too many open files]]
)";
    expect_child(want, {}, [] {
        std::string out = ifs("127.0.0.1");  // no interface at all yet
        // Loopback alone, then one alias more each time. The list is reused:
        // each call frees the buffer of the one before.
        ifconf list{};
        for (int i = 0; i <= kAliases; ++i) {
            if (!add_address(i))
                return out + "no address\n";
            kelp_test::reset_alloc_count();
            const int n = sock_get_ipifs(&list, nullptr);
            out += std::to_string(n) + "/" + std::to_string(kelp_test::library_allocs()) +
                   (i < kAliases ? " " : "\n");
        }
        std::free(list.ifc_buf);
        out += ifs(nullptr);
        for (int n = 0; n < 3; ++n) {  // the allocation of each step failing in turn
            kelp_test::AllocFailure fail(n);
            out += ifs(nullptr);
        }
        for (const char *addr : {"127.0.0.1", "10.77.0.7", "10.77.0.21", "10.99.0.1", "127.0.0.2"})
            out += ifs(addr);
        kelp_test::fail_nth_alloc(1);
        out += ifs("127.0.0.1");
        kelp_test::stop_failing();

        rlimit old{};
        getrlimit(RLIMIT_NOFILE, &old);
        const rlimit none{0, old.rlim_max};
        setrlimit(RLIMIT_NOFILE, &none);  // no descriptor left to open
        int srv = -2;
        const int rc = ginet_getsrvsock(&srv, 1);
        out += std::to_string(rc) + " " + std::to_string(srv) + " " + gnl_usrmsg + "\n";
        out += ifs(nullptr);
        out += ifs("127.0.0.1");
        setrlimit(RLIMIT_NOFILE, &old);
        return out;
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
