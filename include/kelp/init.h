/* libkelp: library core (globals, process initialisation, version). */
#ifndef KELP_INIT_H
#define KELP_INIT_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/* Text of the most recent failure; written on failure only, never cleared. */
extern KELP_API char gnl_usrmsg[1025];
/* For the application's own use; the library never reads or writes it. */
extern KELP_API int gnl_errno;
/* Program name without its directory, set by gnl_cmdlin from argv[0]. */
extern KELP_API const char *gnl_prognam;

typedef struct gnl_initopts {
    int reserved;          /* not interpreted; keep zero */
    unsigned char flags;   /* GNL_INIT_KEEPSIGS */
} gnl_initopts;

#define GNL_INIT_KEEPSIGS 1

/* Ignores SIGPIPE, SIGUSR1, SIGUSR2 and SIGCHLD unless opts->flags has
 * GNL_INIT_KEEPSIGS. opts may be NULL. Always returns 0. */
KELP_API int gnl_init(const gnl_initopts *opts);
/* $KELPDIR when set (even empty), else "/opt/morvane/etc". */
KELP_API const char *gnl_kelpdir(void);
/* The constant version string "1.2.3". */
KELP_API const char *gnl_verstr(void);

KELP_END_DECLS

#endif
