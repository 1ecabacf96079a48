/* libkelp: the trace (diagnostic log). */
#ifndef KELP_MSGLOG_H
#define KELP_MSGLOG_H

#include <stdio.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

#define TRC_VALIST      2
#define TRC_PREC_NONE   1
#define TRC_PREC_MILLI  2
#define TRC_PREC_MICRO  3
#define TRC_MODE_REOPEN 1
#define TRC_MODE_HELD   2

/* Current trace level; does not configure the trace (3 until it is). */
KELP_API int dbglvl(void);
/* "LOG".."DBG3" for 0..6, else "<n>" in a static 21-byte buffer. */
KELP_API const char *trc_lvl2sym(int lvl);
/* Level of a name, compared without case; -1 when none matches. */
KELP_API int trc_sym2lvl(const char *sym);
/* Writes one record of level lvl. With TRC_VALIST in flags the one argument
 * after fmt is a va_list * (a pointer to the caller's started list). */
KELP_API void dbgtrc(int lvl, int flags, const char *fmt, ...);
/* One record of level 3 (INFO). */
KELP_API void gnl_msglog(const char *fmt, ...) KELP_PRINTF(1, 2);
/* Names the trace destination: path, else stream, else fd. 0 or -1. */
KELP_API int dbginit(const char *path, FILE *stream, int fd);

KELP_END_DECLS

#endif
