// Networking on real sockets. What needs interfaces, ports or the resolver
// runs in a forked child inside network and mount namespaces of its own, so
// nothing leaves this machine; the child reports in text through a file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstddef>

#include "failalloc.h"
#include "testutil.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __lsan_do_recoverable_leak_check();  // from the sanitizer runtime
#endif

TEST(GinetNames, DottedQuadsAreLexicalAndMediumCodesNamed) {
    std::string got;
    for (const char *s : {"10.0.0.1", "999.1.1.1", "0.0.0.0", "1.2.3", "1.2.3.4.5", ".1.2.3",
                          "1.2.3.", "1..2.3", "1.2.3.a", "1.2.3.4 ", "+1.2.3.4", "", "..."})
        got += std::to_string(ginet_dotted_ip(s));
    for (int code : {0, 8, 9, 10, 128, 129, -1})
        got += std::string("|") + dlp_proto2nam(code);
    EXPECT_EQ(got, "1110000000000|802.3 Ethernet|FDDI|Other|<10>|<128>|Raw IP|<4294967295>");
    EXPECT_EQ(dlp_proto2nam(10), dlp_proto2nam(-1));  // one buffer for unlisted codes
}

// "result address" of a lookup into an address seeded with 192.0.2.99, on
// failure errno/h_errno, and the message unless it is as expected: naming
// the errno and h_errno the caller sees, cut to what gnl_usrmsg holds.
static std::string resolve(const char *name) {
    uint32_t addr = inet_addr("192.0.2.99");
    const int rc = ginet_str2ipaddr(name, &addr), err = errno, herr = h_errno;
    const std::string why = rc != 0 ? " " + std::to_string(err) + "/" + std::to_string(herr) : "";
    std::string want = "ginet_str2ipaddr: gethostbyname() failed on (" +
                       std::string(name ? name : "") + ") [errno=" + std::to_string(err) +
                       ", h_errno=" + std::to_string(herr) + "]";
    want.resize(std::min(want.size(), sizeof gnl_usrmsg - 1));
    char text[INET_ADDRSTRLEN];
    return std::to_string(rc) + " " + inet_ntop(AF_INET, &addr, text, sizeof text) + why +
           (rc == 0 || want == gnl_usrmsg ? "; " : std::string(" message: ") + gnl_usrmsg + "; ");
}

// With addr the result of a lookup of it and the bytes of the name (NULs as
// |, dots untouched), else of sock_get_ipifs on a list holding a buffer of
// ours and what it gave (*sock, and its buffer or ours); then the message.
static std::string ifs(const char *addr) {
    char *mine = static_cast<char *>(std::malloc(1));
    ifconf list{1, {mine}};
    int sock = -2;
    char name[IFNAMSIZ + 1] = "................";
    const uint32_t a = inet_addr(addr != nullptr ? addr : "");
    gnl_usrmsg[0] = '\0';
    const int rc = addr != nullptr ? ginet_ipaddr_to_ifnam(&a, name) : sock_get_ipifs(&list, &sock);
    std::string out = addr != nullptr ? std::string(name, IFNAMSIZ)
                      : sock < 0      ? std::to_string(sock)
                                      : "sock";
    if (addr == nullptr && list.ifc_buf != nullptr)
        out += list.ifc_buf == mine ? " ours" : " buffer";
    std::replace(out.begin(), out.end(), '\0', '|');
    close(sock);
    std::free(list.ifc_buf);
    return std::to_string(rc) + " " + out + " [" + gnl_usrmsg + "]; ";
}

// From now on the kernel refuses system call nr (an ioctl only with the
// request given) with EPERM in this process; then what calls gives.
template <class Calls>
static std::string refusing(long nr, long request, Calls calls) {
    sock_filter f[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(request), 0, request >= 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog prog{static_cast<unsigned short>(std::size(f)), f};
    const bool refused = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
    return refused ? calls() : "not refused; ";
}

// A listening socket on port, closed again: the result, whether *sock got
// a descriptor, and the message.
static std::string serve(int port) {
    int sock = -2;
    gnl_usrmsg[0] = '\0';
    const int rc = ginet_getsrvsock(&sock, port);
    close(sock);
    return std::to_string(rc) + (sock < 0 ? " -" : " s") + " [" + gnl_usrmsg + "]; ";
}

// The lookups: names from our own hosts file, this host's node name for null,
// and a name server nobody can reach; "" is not this host, a dotted quad is
// stored as inet_addr gives it, and a hosts file that cannot be read fails
// at once. A listening socket on all addresses (on descriptor 0), and the
// port of one in use: the low 16 bits count. The interfaces: loopback alone,
// then one alias more each time on a list that is reused, as
// entries/allocations (a list that fills a step of ten exactly grows too);
// a name of the longest kind. Each call the kernel refuses fails with its
// message; a refused socket() leaves the caller's list as it was. Failures
// leave no descriptor behind.
TEST(Ginet, ResolvesListensAndListsInterfaces) {
    utsname uts{};
    ASSERT_EQ(uname(&uts), 0);
    const std::string node = uts.nodename, longname = std::string(4992, 'a') + ".invalid";
    kelp_test::TempDir dir;  // the child's report
    const int code = kelp_test::exit_code(kelp_test::run_in_child([&] {
        // /etc of our own, on a mount the host never sees
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            return 77;
        if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("etc", "/etc", "tmpfs", 0, nullptr) != 0)
            return 3;
        std::string big = "10.1.2.3 big";  // more aliases than a first buffer of 1 KiB holds
        for (int i = 0; i < 40; ++i)
            big += " alias" + std::to_string(i) + std::string(30, 'x');
        kelp_test::write_file("/etc/hosts", "127.0.0.1 localhost\n10.9.8.7 " + node + "\n" + big);
        kelp_test::write_file("/etc/nsswitch.conf", "hosts: files dns\n");
        std::string out;
        for (const char *name :
             {"localhost", node.c_str(), "big", static_cast<const char *>(nullptr),
              "nothing.invalid", "%s%n%d.invalid", "", longname.c_str(), "127.0.0.1", "999.1.1.1"})
            out += resolve(name);
        std::filesystem::remove("/etc/hosts");  // a hosts file that cannot be read
        std::filesystem::create_directory("/etc/hosts");
        kelp_test::write_file("/etc/nsswitch.conf", "hosts: files\n");
        out += resolve("localhost");
        close(0);  // the listening socket gets descriptor 0
        int srv = -2;
        const int rc = ginet_getsrvsock(&srv, 7777);  // in use below: the low 16 bits count
        out += std::to_string(rc) + " " + std::to_string(srv) + " " +
               std::to_string(fcntl(srv, F_GETFD)) + "; " + serve(7777 + 3 * 65536);
        const int open = kelp_test::count_open_fds();
        out += ifs("127.0.0.1");  // no interface at all yet
        ifconf list{};
        for (int i = 0; i <= 21; ++i) {
            ifreq req{};  // loopback gets 127.0.0.1, the alias lo:i 10.77.0.i
            const std::string label = std::to_string(i) + (i == 21 ? "abcdefghij" : "");
            std::strcpy(req.ifr_name, i == 0 ? "lo" : ("lo:" + label).c_str());
            reinterpret_cast<sockaddr_in &>(req.ifr_addr) = {
                AF_INET, 0, {htonl(i == 0 ? INADDR_LOOPBACK : 0x0A4D0000u + i)}, {}};
            kelp_test::reset_alloc_count();
            const int n = ioctl(srv, SIOCSIFADDR, &req) == 0 ? sock_get_ipifs(&list, nullptr) : -9;
            out += std::to_string(n) + "/" + std::to_string(kelp_test::library_allocs()) + " ";
        }
        std::free(list.ifc_buf);
        out += ifs(nullptr);
        kelp_test::fail_nth_alloc(1);  // once: the list's second step
        out += ifs(nullptr);
        for (const char *addr : {"127.0.0.1", "10.77.0.21", "10.99.0.1"})
            out += ifs(addr);
        // The kernel refuses one call more each time, for good.
        out += refusing(SYS_ioctl, SIOCGIFADDR, [] { return ifs("127.0.0.1"); });
        out += refusing(SYS_ioctl, SIOCGIFCONF, [] { return ifs(nullptr) + ifs("127.0.0.1"); });
        out += refusing(SYS_listen, -1, [] { return serve(7778); });
        out += refusing(SYS_setsockopt, -1, [] { return serve(7778); });
        out += refusing(SYS_uname, -1, [] { return resolve(nullptr); });
        out += refusing(SYS_socket, -1, [] { return serve(7778) + ifs(nullptr); });
        out += "fds +" + std::to_string(kelp_test::count_open_fds() - open);
#if defined(__SANITIZE_ADDRESS__)
        if (__lsan_do_recoverable_leak_check() != 0)  // _exit skips the one at exit
            out += " leaks";
#endif
        kelp_test::write_file(dir.file("report"), out);
        return 0;
    }));
    const std::string out = kelp_test::read_file(dir.file("report"));
    if (code == 77)
        GTEST_SKIP() << "the kernel refused unshare() of private namespaces";
    EXPECT_EQ(
        out + (code == 0 ? "" : " exit " + std::to_string(code)),
        "0 127.0.0.1; 0 10.9.8.7; 0 10.1.2.3; 0 10.9.8.7; -1 192.0.2.99 11/2; "
        "-1 192.0.2.99 0/1; -1 192.0.2.99 0/3; -1 192.0.2.99 0/1; 0 127.0.0.1; "
        "0 255.255.255.255; -1 192.0.2.99 21/-1; "
        "0 0 1; -1 s [ginet_getsrvsock: bind() failed on port=204385 (errno=98)]; "
        "-1 ................ [no such interface]; "
        "1/1 2/1 3/1 4/1 5/1 6/1 7/1 8/1 9/1 10/2 11/2 12/2 13/2 14/2 15/2 16/2 17/2 18/2 19/2 "
        "20/3 21/3 22/3 22 sock buffer []; "
        "-1 -2 [Failed to malloc 800 bytes, for list of 20 IP interfaces]; "
        "0 lo|............. []; 0 lo:21abcdefghij| []; -1 ................ [no such interface]; "
        "-1 ................ [SIOCGIFADDR ioctl failed on interface lo, errno=1 (Operation not "
        "permitted)]; -1 -2 [SIOCGIFCONF ioctl failed, errno=1 [Operation not permitted]]; "
        "-1 ................ [SIOCGIFCONF ioctl failed, errno=1 [Operation not permitted]]; "
        "-1 s [ginet_getsrvsock: listen() failed on port 7778 (errno=1)]; "
        "-1 s [ginet_getsrvsock: setsockopt() failed (errno=1)]; "
        "-1 192.0.2.99 1/-1 message: ginet_str2ipaddr: uname() failed (errno=1); "
        "-1 - [ginet_getsrvsock: socket() failed (errno=1)]; "
        "-1 -2 ours [socket() failed, errno=1 [Operation not permitted]]; fds +0");
}
