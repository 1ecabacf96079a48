#include "demo.h"

#include <kelp.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

const char *text_of(uint32_t addr, char *buf, socklen_t size) {
    return inet_ntop(AF_INET, &addr, buf, size);
}

void resolve(const char *label, const char *name) {
    uint32_t addr = 0;
    char text[INET_ADDRSTRLEN];
    if (ginet_str2ipaddr(name, &addr) != 0) {
        std::printf("  %-12s %s\n", label, gnl_usrmsg);
        return;
    }
    char ifname[IFNAMSIZ];
    const bool local = ginet_ipaddr_to_ifnam(&addr, ifname) == 0;
    std::printf("  %-12s %-15s %s%s\n", label, text_of(addr, text, sizeof text), local ? "on " : "",
                local ? ifname : "on no interface here");
}

}  // namespace

int demo::net(int, char **) {
    struct ifconf list;
    list.ifc_len = 0;
    list.ifc_buf = nullptr;
    const int count = sock_get_ipifs(&list, nullptr);
    if (count < 0) {
        std::printf("interface list: %s\n", gnl_usrmsg);
    } else {
        std::printf("IPv4 interfaces (%d):\n", count);
        for (int i = 0; i < count; ++i) {
            struct sockaddr_in sin;
            std::memcpy(&sin, &list.ifc_req[i].ifr_addr, sizeof sin);
            char text[INET_ADDRSTRLEN];
            std::printf("  %-12s %s\n", list.ifc_req[i].ifr_name,
                        text_of(sin.sin_addr.s_addr, text, sizeof text));
        }
        std::free(list.ifc_buf);
    }

    std::printf("resolved:\n");
    resolve("localhost", "localhost");
    resolve("this host", nullptr);
    resolve("10.0.0.1", "10.0.0.1");
    std::printf("dotted quads:\n");
    for (const char *s : {"192.168.1.20", "999.1.1.1", "1.2.3", "host.example"})
        std::printf("  %-12s %s a dotted quad\n", s, ginet_dotted_ip(s) ? "is" : "is not");

    std::printf("medium codes:\n");
    for (int code : {0, 4, 8, 129, 42})
        std::printf("  %3d  %s\n", code, dlp_proto2nam(code));
    return 0;
}
