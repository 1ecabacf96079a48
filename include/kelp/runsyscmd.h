/* libkelp: child commands over pipes or a pseudo-terminal. */
#ifndef KELP_RUNSYSCMD_H
#define KELP_RUNSYSCMD_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/* Callers that pass these include <termios.h> and <sys/ioctl.h>. */
struct termios;
struct winsize;

#define RUN_STDERR   1
#define RUN_PTY      2
#define RUN_NONBLOCK 4

KELP_API int run_syscmd(const char *command, char *const argv[], int *rfd, int *wfd, int *pid,
                        const struct termios *tios, const struct winsize *ws, int flags);
KELP_API int close_syscmd(int rfd, int wfd, int pid);

KELP_END_DECLS

#endif
