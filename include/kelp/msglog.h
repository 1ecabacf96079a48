/**
 * @file kelp/msglog.h
 * @brief The trace: the library's diagnostic log.
 */
#ifndef KELP_MSGLOG_H
#define KELP_MSGLOG_H

#include <stdio.h>
#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_trace Trace
 * @brief Diagnostic log configured from the environment.
 *
 * One record per line:
 * `20261204-10:04:53.081 (DBG-4242): message` — the local time in the
 * zone that `TZ` names when the record is written (by default
 * "%04d%02d%02d-%02d:%02d:%02d", or `strftime` of `KELPTRC_TIMEFMT`), the
 * fraction of a second, the level name and the id of the process that
 * writes the record, then the message. A record is written when its level
 * is at most the current level (3, "INFO", until configured).
 *
 * The trace configures itself once, at the first record or the first
 * dbginit(), whichever comes first, from `KELPTRC_LEVEL` (a number of 1
 * and up or a level name), `KELPTRC_TIMEPREC` ("NONE", "MILLI" or
 * "MICRO"), `KELPTRC_TIMEFMT` and, at a first record only,
 * `KELPTRC_FILENAME` (a path, "STDOUT" or "STDERR"; default
 * `$HOME/KELP.LOG`). A bad level or precision is reported by the ERR
 * record "msglog: Invalid trace level ($%s=%s)" or
 * "msglog: Invalid timestamp precision ($%s=%s)".
 *
 * The trace never writes ::gnl_usrmsg, and every call of dbgtrc(),
 * gnl_msglog() and dbginit() leaves `errno` as it was, configuration
 * included. Records may come from any number of threads and processes:
 * configuration runs once even when the first records race, and each
 * record goes out whole, in one write of whole lines, one thread at a
 * time (a file is opened for appending, so the records of processes that
 * share it stay whole too; to a pipe or terminal a record of up to 4096
 * bytes is one piece). Each call returns with its record written. A record
 * that could not be written whole (full disk) leaves its remains on a line
 * of their own. A thread cancelled inside a call ends after its record,
 * with the trace free. A record written from a signal handler that
 * interrupted its own thread inside the trace is dropped, never waited
 * for; the interrupted call then writes the ERR record
 * "msglog: %d record(s) from a signal handler dropped". A child inherits
 * the configured trace, writes its own records with its own process id at
 * once, also one made without fork handlers (`vfork`, `clone`, `_Fork`)
 * while another thread was writing; `fork` waits until no record is being
 * written.
 * @{
 */

/** @brief dbgtrc() flag: the one argument after the format is a `va_list *`. */
#define TRC_VALIST      2
/** @brief Timestamp precision: whole seconds (`KELPTRC_TIMEPREC=NONE`). */
#define TRC_PREC_NONE   1
/** @brief Timestamp precision: milliseconds, ".%03ld" (the default). */
#define TRC_PREC_MILLI  2
/** @brief Timestamp precision: microseconds, ".%06ld". */
#define TRC_PREC_MICRO  3
/** @brief The trace's reopen mode (`KELPTRC_REOPEN=y`, see dbginit()): each record opens, appends to and closes the file. No function takes this value. */
#define TRC_MODE_REOPEN 1
/** @brief The trace's held mode, the default: records go to the stream that dbginit() names. No function takes this value. */
#define TRC_MODE_HELD   2

/**
 * @brief The current trace level.
 *
 * Does not configure the trace: before the first record or dbginit() it
 * returns 3 whatever `KELPTRC_LEVEL` says. No failure.
 *
 * @return the level; records of this level and below are written
 */
KELP_API int dbglvl(void);
/**
 * @brief Name of a trace level.
 *
 * @param lvl any level
 * @return "LOG", "ERR", "WARN", "INFO", "DBG", "DBG2" or "DBG3" for 0 to 6;
 *         for any other level the text "<%d>" in a static 21-byte buffer
 *         of the calling thread, overwritten by its next such call
 */
KELP_API const char *trc_lvl2sym(int lvl);
/**
 * @brief Level of a level name.
 *
 * Compares @p sym without regard to case with "LOG" to "DBG3". Digits are
 * not accepted. Reentrant.
 *
 * @param sym a NUL-terminated name
 * @return 0 to 6, or -1 when no name matches
 */
KELP_API int trc_sym2lvl(const char *sym);
/**
 * @brief Writes one trace record of level @p lvl.
 *
 * Configures the trace first if needed. A record above the current level
 * costs nothing more: no clock, no file. In reopen mode a file that cannot
 * be opened is replaced for good by "/tmp/KELP.LOG", after the line
 * "*** PID=%ld: Failed to open '%s', errno=%d ***"; if that fails too, the
 * record is lost. No failure is reported, and `errno` is left as it was.
 * Safe from any thread; a cancellation that comes while the record is
 * written acts as the call returns.
 *
 * @param lvl   the record's level; negative levels are always written
 * @param flags 0, or ::TRC_VALIST: then the one argument after @p fmt is a
 *              `va_list *`, a pointer to the caller's started list
 * @param fmt   printf-style format of the message (no newline needed)
 * @param ...   its arguments, or the `va_list *`
 */
KELP_API void dbgtrc(int lvl, int flags, const char *fmt, ...);
/**
 * @brief Writes one record of level 3 ("INFO"), printf-style.
 *
 * The library reports its internal trouble (allocation failures) this way.
 * No failure is reported, and `errno` is left as it was. Safe from any
 * thread.
 *
 * @param fmt printf-style format of the message
 * @param ... its arguments
 */
KELP_API void gnl_msglog(const char *fmt, ...) KELP_PRINTF(1, 2);
/**
 * @brief Names the trace destination.
 *
 * The first given counts: @p path, else @p stream, else @p fd. A stream
 * held so far is closed first, unless it is standard output or error, or
 * the @p stream named again without a path (then it stays held); the
 * trace then owns the new stream, made line-buffered on its 4096-byte
 * buffer. Records go past that buffer, straight to the stream's
 * descriptor (a stream without one, such as fmemopen()'s, takes them
 * through it); a stream of the caller's is flushed before each record, so
 * that what the caller wrote to it comes first.
 * With a path and `KELPTRC_REOPEN=y` (any case) the trace switches for
 * good to reopen mode: nothing is opened now, each record opens, appends
 * to and closes the file; a stream or descriptor named later becomes the
 * held stream, yet records keep going to the file for the life of the
 * process. Files are always opened for append.
 *
 * Failures are ERR records, never ::gnl_usrmsg: "dbginit: fopen(%s) failed
 * [errno=%d]", "dbginit: pthnam too long [%s]" (over 1024 characters in
 * reopen mode), "dbginit: fdopen() failed on fd=%d [errno=%d]". After a
 * failed open no stream is held; records then go to standard error.
 * `errno` is left as it was. Safe from any thread, also while others write
 * records: each record goes whole to the old destination or to the new
 * one. Called from a signal handler that interrupted its own thread inside
 * the trace, it does nothing and returns -1.
 *
 * @param path   file to append to, or NULL
 * @param stream stream to write to, or NULL
 * @param fd     descriptor to write to, used when both are NULL
 * @return 0 on success, -1 on failure (also when the configuration read
 *         from the environment was refused; the destination is then unchanged)
 */
KELP_API int dbginit(const char *path, FILE *stream, int fd);

/** @} */

KELP_END_DECLS

#endif
