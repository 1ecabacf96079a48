/**
 * @file kelp/runsyscmd.h
 * @brief Child commands over pipes or a pseudo-terminal.
 */
#ifndef KELP_RUNSYSCMD_H
#define KELP_RUNSYSCMD_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_proc Child commands
 * @brief Start a command on pipes or a pseudo-terminal; close it with a time limit.
 * @{
 */

/* Callers that pass these include <termios.h> and <sys/ioctl.h>. */
struct termios;
struct winsize;

/** @brief run_syscmd() flag: the command's standard error goes with its output. */
#define RUN_STDERR   1
/** @brief run_syscmd() flag: a pseudo-terminal instead of two pipes. */
#define RUN_PTY      2
/** @brief run_syscmd() flag: make the caller's read descriptor non-blocking. */
#define RUN_NONBLOCK 4

/**
 * @brief Starts a command with its standard streams on pipes or a pseudo-terminal.
 *
 * In pipe mode the caller writes the command's input on @p wfd and reads
 * its output on @p rfd. With ::RUN_PTY the child gets a new session whose
 * controlling terminal is the slave side, and @p rfd and @p wfd are both
 * the master. The parent does not wait; close_syscmd() ends the command.
 *
 * Failures in the caller: "run_pipe_cmd: pipe(R) failed (errno=%d)",
 * "run_pipe_cmd: pipe(W) failed (errno=%d)", "run_pipe_cmd: fork() failed
 * (errno=%d)", "run_pty_app: open(%s) failed (errno=%d)", "run_pty_app:
 * fork() failed (errno=%d)", "run_syscmd: fcntl(GETFL) failed (errno=%d)",
 * "run_syscmd: fcntl(SETFL) failed (errno=%d)"; what was opened is closed
 * and a forked child's process group killed. Failures inside the child are
 * ERR trace records, and its exit code is the failing call's `errno` (2
 * for a program that does not exist).
 *
 * @param command shell command line run with `system` when @p argv is NULL
 * @param argv    NULL-terminated argument vector run with `execvp`, or NULL
 * @param rfd     receives the read descriptor (-1 first)
 * @param wfd     receives the write descriptor (-1 first)
 * @param pid     receives the child's process id (-1 first)
 * @param tios    terminal settings for the pseudo-terminal, or NULL
 * @param ws      window size for the pseudo-terminal, or NULL
 * @param flags   ::RUN_STDERR, ::RUN_PTY, ::RUN_NONBLOCK, combined
 * @return 0 when the child was started, -1 on failure
 */
KELP_API int run_syscmd(const char *command, char *const argv[], int *rfd, int *wfd, int *pid,
                        const struct termios *tios, const struct winsize *ws, int flags);
/**
 * @brief Closes a command's descriptors and waits up to a second for it.
 *
 * A child still running after the second is killed with its process
 * group. Borrows the `SIGALRM` action and the alarm timer for the call and
 * restores both (a pending alarm keeps the seconds it had at the start).
 * Failures: "close_syscmd: wait() failed (errno=%d)", replaced by
 * "close_syscmd: kill(-%ld) failed (errno=%d)" when the kill fails too.
 * With `SIGCHLD` ignored (gnl_init() default) the wait fails with
 * `ECHILD`. Nothing else may use `SIGALRM` or `alarm` meanwhile.
 *
 * @param rfd the read descriptor from run_syscmd()
 * @param wfd the write descriptor from run_syscmd()
 * @param pid the process id from run_syscmd(); -1 reaps every child that
 *            ends until the wait fails, and gives the raw status of the
 *            last one (-1 when none was reaped), without a message
 * @return the child's exit status (0 when a signal ended it), or on failure
 *         the `errno` of the wait (4 for a time-out); tell them apart by
 *         ::gnl_usrmsg, which is written only on failure
 */
KELP_API int close_syscmd(int rfd, int wfd, int pid);

/** @} */

KELP_END_DECLS

#endif
