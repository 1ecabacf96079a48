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
 * the master. A command line runs as `system` runs it (`/bin/sh -c`), the
 * shell being the child itself.
 *
 * The child shares the caller's memory until it execs, like `posix_spawn`:
 * starting a command costs the same in a small and a large program, and the
 * child runs no library code and takes no lock (safe beside threads that
 * allocate or print). It returns once the child has exec'd (so with
 * ::RUN_PTY the command holds the terminal). The command starts with
 * `SIGPIPE`, `SIGUSR1`, `SIGUSR2` and `SIGCHLD` at their default action and
 * nothing blocked, whatever the caller has; other ignored signals stay
 * ignored. Nothing of the start-up lands on descriptors 0, 1 or 2, also in a
 * caller that closed them. Safe to call from several threads at once.
 *
 * Failures in the caller: "run_pipe_cmd: pipe(R) failed (errno=%d)",
 * "run_pipe_cmd: pipe(W) failed (errno=%d)", "run_pipe_cmd: pipe() failed
 * (errno=%d)" (the pipe on which the child reports a failed step),
 * "run_pipe_cmd: fork() failed (errno=%d)", "run_pty_app: open(%s) failed
 * (errno=%d)", "run_pty_app: pipe() failed (errno=%d)", "run_pty_app:
 * fork() failed (errno=%d)", "run_syscmd: fcntl(GETFL) failed (errno=%d)",
 * "run_syscmd: fcntl(SETFL) failed (errno=%d)". After a failure every
 * descriptor that was opened is closed again and a started child's process
 * group is killed, but @p rfd, @p wfd and @p pid keep the values they had
 * reached: numbers of descriptors already closed (which the caller must not
 * close) and of a child already gone. A step that fails inside the child (2
 * for a program that does not exist) becomes its exit code, and its ERR
 * record is written to the caller's trace, with the child's process id,
 * before the call returns. The DBG record of a command line's end is written
 * when close_syscmd() gives its status.
 *
 * @param command shell command line, run when @p argv is NULL
 * @param argv    NULL-terminated argument vector, searched along `PATH` as
 *                `execvp` does, or NULL
 * @param rfd     receives the read descriptor: -1 first, then the
 *                descriptor once made (after a failure, already closed)
 * @param wfd     receives the write descriptor, as @p rfd
 * @param pid     receives the child's process id: -1 first, then the
 *                child's once made (after a failure, killed and reaped)
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
 * Waits for any child, as `wait` does: another child that ends meanwhile
 * is reaped and grants a new second, and so does a signal whose handler
 * breaks off a `wait` (one without `SA_RESTART`). A child still running
 * after its second is killed with its process group. The second is kept by
 * a clock and the child's pidfd of the library's own: the caller's alarm,
 * signal actions and signal mask are never touched, whatever the caller does
 * with `SIGALRM` (blocked, pending, ignored or handled). Another child's end
 * is noticed within 10 ms. Failures: "close_syscmd: wait() failed
 * (errno=%d)", replaced by "close_syscmd: kill(-%ld) failed (errno=%d)"
 * when the kill fails too. With `SIGCHLD` ignored (gnl_init() default) the
 * system reaps children itself and the wait fails with `ECHILD`: a program
 * that wants exit codes calls gnl_init() with ::GNL_INIT_KEEPSIGS.
 *
 * Threads: calls run side by side in any number of threads. The exit status
 * of a command that another thread's close_syscmd() reaped is kept for this
 * command's own call, however many commands are open. A process forked at
 * any moment starts and closes commands of its own.
 *
 * @param rfd the read descriptor from run_syscmd()
 * @param wfd the write descriptor from run_syscmd()
 * @param pid the process id from run_syscmd(); -1 reaps every child that
 *            ends until the wait fails (no child left, a second with none
 *            ending, or a signal that breaks it off), and gives the raw
 *            status of the last one (-1 when none was reaped), without a
 *            message
 * @return the child's exit status (0 when a signal ended it), or on failure
 *         the `errno` of the wait (4 for a time-out). Both are small
 *         positive numbers: to tell them apart, empty ::gnl_usrmsg before
 *         the call and look at it after, since a failure writes it and a
 *         success leaves it as it was
 */
KELP_API int close_syscmd(int rfd, int wfd, int pid);

/** @} */

KELP_END_DECLS

#endif
