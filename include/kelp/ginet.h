/* libkelp: IPv4 networking and data-link medium names. */
#ifndef KELP_GINET_H
#define KELP_GINET_H

#include <stdint.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

/* Strict C99 hides struct ifconf; callers that use it include <net/if.h>. */
struct ifconf;

KELP_API int ginet_getsrvsock(int *sock, int port);
KELP_API int ginet_dotted_ip(const char *str);
KELP_API int ginet_str2ipaddr(const char *name, uint32_t *addr);   /* network order */
KELP_API int sock_get_ipifs(struct ifconf *list, int *sock);
KELP_API int ginet_ipaddr_to_ifnam(const uint32_t *addr, char *name);
KELP_API const char *dlp_proto2nam(int code);

KELP_END_DECLS

#endif
