/**
 * @file kelp/ginet.h
 * @brief IPv4 networking and data-link medium names.
 */
#ifndef KELP_GINET_H
#define KELP_GINET_H

#include <stdint.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_net Networking
 * @brief Listening socket, dotted quads, name resolution, interfaces, medium names.
 *
 * IPv4 addresses are 32-bit values in network byte order, as `inet_addr`
 * gives them. Interrupted system calls are retried while `errno` is
 * `EINTR`. Failures return -1 with a message in ::gnl_usrmsg; nothing is
 * traced. Safe from any thread: the resolver is asked through
 * `gethostbyname_r`, and ::gnl_usrmsg is per thread.
 * @{
 */

/* Strict C99 hides struct ifconf; callers that use it include <net/if.h>. */
struct ifconf;

/**
 * @brief Opens a TCP socket listening on @p port of all local addresses.
 *
 * `SO_REUSEADDR` is set; the backlog is 5. Messages: "ginet_getsrvsock:
 * socket() failed (errno=%d)", "ginet_getsrvsock: setsockopt() failed
 * (errno=%d)", "ginet_getsrvsock: bind() failed on port=%d (errno=%d)",
 * "ginet_getsrvsock: listen() failed on port %d (errno=%d)". After a
 * failure past socket() the descriptor stays open in @p sock: closing it
 * is the caller's business.
 *
 * @param sock receives the descriptor (-1 when socket() failed)
 * @param port the port; its low 16 bits are used, messages show it whole
 * @return 0 on success, -1 on failure
 */
KELP_API int ginet_getsrvsock(int *sock, int port);
/**
 * @brief Tests that @p str is written as a dotted quad.
 *
 * Exactly three dots, none first, last or doubled, and only digits
 * otherwise. Lexical only: 999.1.1.1 passes. Reentrant.
 *
 * @param str the string
 * @return 1 if so, else 0
 */
KELP_API int ginet_dotted_ip(const char *str);
/**
 * @brief Resolves a host name or dotted quad to an IPv4 address.
 *
 * A dotted quad is converted with `inet_addr` without the resolver (a part
 * above 255 gives the all-ones value, stored as it is). Messages:
 * "ginet_str2ipaddr: uname() failed (errno=%d)", "ginet_str2ipaddr:
 * gethostbyname() failed on (%s) [errno=%d, h_errno=%d]",
 * "ginet_str2ipaddr: gethostbyname(%s) returned non-inet address (type %d)".
 * The lookup's `h_errno` is left where `gethostbyname` leaves it.
 * Reentrant (`gethostbyname_r`).
 *
 * @param name host name or dotted quad, or NULL for the local host's name
 * @param addr receives the address, network order, only on success
 * @return 0 on success, -1 on failure
 */
KELP_API int ginet_str2ipaddr(const char *name, uint32_t *addr);   /* network order */
/**
 * @brief Lists the IPv4 interfaces (`SIOCGIFCONF`), growing the buffer until they fit.
 *
 * Messages: "socket() failed, errno=%d [%s]", "Failed to malloc %d bytes,
 * for list of %d IP interfaces", "SIOCGIFCONF ioctl failed, errno=%d [%s]".
 * After a failure no socket is open and @p sock is unwritten; when socket()
 * failed @p list is untouched, else its buffer is freed and the pointer NULL.
 *
 * @param list the list: set its buffer pointer to NULL before the first
 *             call; once the socket is open, a previous buffer is freed;
 *             free the new one with `free`
 * @param sock receives the open datagram socket (the caller closes it), or
 *             NULL to have it closed
 * @return the number of `struct ifreq` entries, or -1 on failure
 */
KELP_API int sock_get_ipifs(struct ifconf *list, int *sock);
/**
 * @brief Name of the first interface that carries the address @p addr.
 *
 * Messages: those of sock_get_ipifs(), "SIOCGIFADDR ioctl failed on
 * interface %s, errno=%d (%s)", "no such interface".
 *
 * @param addr the IPv4 address, network order
 * @param name receives the name (at least `IFNAMSIZ` bytes), only on success
 * @return 0 when found, -1 otherwise
 */
KELP_API int ginet_ipaddr_to_ifnam(const uint32_t *addr, char *name);
/**
 * @brief Name of a data-link medium code: "802.3 Ethernet" for 0 up to
 *        "Other" for 9, "Raw IP" for 129.
 * @param code the medium code
 * @return a constant name, or for any other code "<%u>" in a static
 *         51-byte buffer of the calling thread, overwritten by its next
 *         such call; never fails
 */
KELP_API const char *dlp_proto2nam(int code);

/** @} */

KELP_END_DECLS

#endif
