/**
 * @file kelp/init.h
 * @brief Library core: error globals, process initialisation, version.
 */
#ifndef KELP_INIT_H
#define KELP_INIT_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_core Library core
 * @brief Error globals, process initialisation, configuration directory, version.
 *
 * A function that fails returns its failure value (as a rule -1 or NULL)
 * and leaves a message in ::gnl_usrmsg. Internal trouble that no caller
 * could act on, and failures inside a child process, go to the trace
 * instead (see @ref kelp_trace).
 *
 * Threads: every function may be called from any thread. ::gnl_usrmsg is
 * one per thread, and so are the static results of trc_lvl2sym(),
 * buf2hex(), comma_number() and dlp_proto2nam(). The trace and gnl_cmdlin()
 * (the platform's `getopt` state) are serialised inside the library.
 * Lists, word trees and buffers are the caller's objects: one thread at a
 * time per object, any number of objects in parallel. ::gnl_errno and ::gnl_prognam are process-wide, and
 * gnl_init() belongs before threads start.
 * @{
 */

/**
 * @brief Text of the most recent failure (1024 characters and a NUL).
 *
 * A failing function replaces the whole text; nothing clears it on
 * success, so it means something only right after a call reported failure.
 * Longer messages are cut at 1024 characters. One per thread: each thread
 * reads the message of its own last failure, whatever other threads do.
 */
extern KELP_API __thread char gnl_usrmsg[1025];
/** @brief For the application's own use; the library never reads or writes it. */
extern KELP_API int gnl_errno;
/**
 * @brief Program name without its directory.
 *
 * NULL until gnl_cmdlin() sets it; it then points into the caller's
 * `argv[0]` (it is not a copy). Process-wide.
 */
extern KELP_API const char *gnl_prognam;

/** @brief Options of gnl_init(). */
typedef struct gnl_initopts {
    int reserved;          /**< not interpreted; keep zero */
    unsigned char flags;   /**< option bits: ::GNL_INIT_KEEPSIGS */
} gnl_initopts;

/** @brief gnl_initopts::flags bit: leave the signal dispositions as they are. */
#define GNL_INIT_KEEPSIGS 1

/**
 * @brief Process initialisation, called once at start.
 *
 * Makes the process ignore `SIGPIPE`, `SIGUSR1`, `SIGUSR2` and `SIGCHLD`
 * (in that order), unless @p opts has ::GNL_INIT_KEEPSIGS in its flags.
 * With `SIGCHLD` ignored the system reaps children itself, which
 * close_syscmd() then reports as a failed wait. Changes process-wide
 * dispositions: call it before starting threads or children.
 *
 * @param opts options, or NULL for the defaults
 * @return 0, always; there is no failure
 */
KELP_API int gnl_init(const gnl_initopts *opts);
/**
 * @brief The configuration directory.
 *
 * The value of `KELPDIR`, read at every call, when it is set (an empty
 * value counts as set), else "/opt/morvane/etc". No failure, no message.
 * Thread safety: as safe as `getenv`.
 *
 * @return text in the environment or a constant; neither change nor free it
 */
KELP_API const char *gnl_kelpdir(void);
/**
 * @brief The library's version.
 * @return the constant string "1.2.3"; safe from any thread
 */
KELP_API const char *gnl_verstr(void);

/** @} */

KELP_END_DECLS

#endif
