// IPv4 networking: a listening TCP socket, dotted quads and host names, the
// list of configured interfaces and the interface that carries an address.
#include "core/internal.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Makes the call again for as long as it leaves errno at EINTR, whatever it
// returned. errno is cleared first, so a stale EINTR never causes a retry.
template <typename Call>
auto retry_eintr(Call call) {
    decltype(call()) result;
    do {
        errno = 0;
        result = call();
    } while (errno == EINTR);
    return result;
}

// The interface list grows in steps of 400 bytes, counted as 10 interfaces.
constexpr int list_step_bytes = 400;
constexpr int list_step_ifs = 10;
constexpr int ifreq_size = static_cast<int>(sizeof(struct ifreq));

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};

// gethostbyname without its static result: the entry lives in host and its
// data in buf, which grows the way gethostbyname's own buffer does, and the
// lookup's h_errno is left where gethostbyname leaves it.
const struct hostent *lookup_host(const char *name, struct hostent &host,
                                  std::unique_ptr<char, FreeDeleter> &buf) {
    for (size_t size = 1024;; size *= 2) {
        char *grown = static_cast<char *>(std::realloc(buf.get(), size));
        if (grown == nullptr) {
            errno = ENOMEM;
            return nullptr;
        }
        (void)buf.release();
        buf.reset(grown);
        struct hostent *result = nullptr;
        int herr = 0;
        const int rc = gethostbyname_r(name, &host, grown, size, &result, &herr);
        if (rc == ERANGE && herr == NETDB_INTERNAL)
            continue;
        if (herr != 0)
            h_errno = herr;
        return result;
    }
}

}  // namespace

extern "C" {

// Opens a TCP socket listening on the low 16 bits of port on all local
// addresses. *sock receives the descriptor as soon as socket() has been
// called: -1 when that fails, else a descriptor the caller must close, also
// after a failure of setsockopt, bind or listen. Returns 0 or -1.
int ginet_getsrvsock(int *sock, int port) {
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);

    // Close-on-exec: a listening socket must not leak into child commands.
    *sock = retry_eintr([] { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
    if (*sock < 0) {
        kelp::set_usrmsg("ginet_getsrvsock: socket() failed (errno=%d)", errno);
        return -1;
    }
    const int fd = *sock;
    const int on = 1;
    if (retry_eintr([&] { return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on); }) !=
        0) {
        kelp::set_usrmsg("ginet_getsrvsock: setsockopt() failed (errno=%d)", errno);
        return -1;
    }
    const auto *sa = reinterpret_cast<const struct sockaddr *>(&addr);
    if (retry_eintr([&] { return bind(fd, sa, sizeof addr); }) != 0) {
        kelp::set_usrmsg("ginet_getsrvsock: bind() failed on port=%d (errno=%d)", port, errno);
        return -1;
    }
    if (retry_eintr([&] { return listen(fd, 5); }) != 0) {
        kelp::set_usrmsg("ginet_getsrvsock: listen() failed on port %d (errno=%d)", port, errno);
        return -1;
    }
    return 0;
}

// 1 when str is written as four dot-separated runs of digits (values are not
// checked: 999.1.1.1 passes), else 0.
int ginet_dotted_ip(const char *str) {
    if (chcount(str, '.') != 3)
        return 0;
    const size_t len = std::strlen(str);  // at least 3: it holds three dots
    if (str[0] == '.' || str[len - 1] == '.' || std::strstr(str, "..") != nullptr)
        return 0;
    return std::strspn(str, "01234567890.") == len ? 1 : 0;
}

// Stores the IPv4 address of name (a dotted quad, a host name, or null for
// this host's node name) in *addr, in network order. Returns 0, or -1 with a
// message; *addr is written only on success.
int ginet_str2ipaddr(const char *name, uint32_t *addr) {
    struct utsname uts;
    if (name == nullptr) {
        std::memset(&uts, 0, sizeof uts);
        if (uname(&uts) != 0) {
            kelp::set_usrmsg("ginet_str2ipaddr: uname() failed (errno=%d)", errno);
            return -1;
        }
        name = uts.nodename;
    } else if (ginet_dotted_ip(name)) {
        // Stored as it comes, all ones included (a part above 255).
        *addr = inet_addr(name);
        return 0;
    }
    struct hostent entry;
    std::unique_ptr<char, FreeDeleter> data;
    const struct hostent *host = retry_eintr([&] { return lookup_host(name, entry, data); });
    // An entry without an address is as good as none.
    if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        kelp::set_usrmsg("ginet_str2ipaddr: gethostbyname() failed on (%s) [errno=%d, h_errno=%d]",
                         name, errno, h_errno);
        return -1;
    }
    if (host->h_addrtype != AF_INET) {
        kelp::set_usrmsg("ginet_str2ipaddr: gethostbyname(%s) returned non-inet address (type %d)",
                         name, host->h_addrtype);
        return -1;
    }
    std::memcpy(addr, host->h_addr_list[0], sizeof *addr);
    return 0;
}

// Fills list with the configured IPv4 interfaces and returns their number.
// The buffer comes from malloc and is the caller's to free; a buffer already
// in list is freed first. With sock, *sock receives the open datagram socket
// (the caller closes it). On -1 no socket stays open, *sock is not written
// and the list holds no buffer, except the caller's own when socket() fails.
int sock_get_ipifs(struct ifconf *list, int *sock) {
    kelp::UniqueFd fd(retry_eintr([] { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }));
    if (!fd) {
        const int err = errno;
        kelp::set_usrmsg("socket() failed, errno=%d [%s]", err, kelp::errtext(err));
        return -1;
    }
    for (int size = list_step_bytes, room = list_step_ifs;;
         size += list_step_bytes, room += list_step_ifs) {
        std::free(list->ifc_buf);
        list->ifc_len = size;
        list->ifc_buf = static_cast<char *>(std::malloc(static_cast<size_t>(size)));
        if (list->ifc_buf == nullptr) {
            kelp::set_usrmsg("Failed to malloc %d bytes, for list of %d IP interfaces", size, room);
            return -1;
        }
        std::memset(list->ifc_buf, 0, static_cast<size_t>(size));
        const int rc = retry_eintr([&] {
            list->ifc_len = size;
            return ioctl(fd.get(), SIOCGIFCONF, list);
        });
        if (rc != 0) {
            const int err = errno;
            kelp::set_usrmsg("SIOCGIFCONF ioctl failed, errno=%d [%s]", err, kelp::errtext(err));
            std::free(list->ifc_buf);
            list->ifc_buf = nullptr;
            return -1;
        }
        // The kernel stops at the last entry that fits; only when it left
        // no room for another one may the list have been cut short.
        if (size - list->ifc_len >= ifreq_size) {
            if (sock != nullptr)
                *sock = fd.release();
            return list->ifc_len / ifreq_size;
        }
    }
}

// Copies into name (IFNAMSIZ bytes at least) the name of the first interface
// whose IPv4 address is *addr, and returns 0; else -1 with a message ("no
// such interface" for a plain miss), name untouched. Keeps nothing open.
int ginet_ipaddr_to_ifnam(const uint32_t *addr, char *name) {
    struct ifconf list;
    list.ifc_len = 0;
    list.ifc_buf = nullptr;
    int sock = -1;
    const int count = sock_get_ipifs(&list, &sock);
    if (count < 0)
        return -1;
    const kelp::UniqueFd fd(sock);
    const std::unique_ptr<char, FreeDeleter> owned(list.ifc_buf);

    for (int i = 0; i < count; ++i) {
        struct ifreq req;
        std::memset(&req, 0, sizeof req);
        std::memcpy(req.ifr_name, list.ifc_req[i].ifr_name, IFNAMSIZ - 1);
        if (retry_eintr([&] { return ioctl(fd.get(), SIOCGIFADDR, &req); }) != 0) {
            const int err = errno;
            kelp::set_usrmsg("SIOCGIFADDR ioctl failed on interface %s, errno=%d (%s)",
                             req.ifr_name, err, kelp::errtext(err));
            return -1;
        }
        struct sockaddr_in found;
        std::memcpy(&found, &req.ifr_addr, sizeof found);
        if (found.sin_family == AF_INET && found.sin_addr.s_addr == *addr) {
            std::memcpy(name, req.ifr_name, std::strlen(req.ifr_name) + 1);
            return 0;
        }
    }
    kelp::set_usrmsg("no such interface");
    return -1;
}

}  // extern "C"
