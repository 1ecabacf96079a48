// Child commands: what run_syscmd and close_syscmd share inside the module.
#pragma once

#include "core/internal.h"

#include <sys/types.h>

struct termios;
struct winsize;

namespace kelp::proc {

// The steps of the child that can fail; each has its record (child.cpp).
enum class Step : int {
    none,
    setsid,
    grantpt,
    unlockpt,
    ptsname,
    open_slave,
    tcsetattr,
    winsize,
    dup2_pty,
    dup2_stdin,
    dup2_stdout,
    dup2_stderr,
    exec,
};

// What a child that failed sends back before it ends with err as its code.
// arg1 and arg2: the terminal's number for open_slave, the descriptors of
// dup2_pty.
struct Report {
    Step step = Step::none;
    int err = 0;
    int arg1 = 0;
    int arg2 = 0;
};

// Everything the child needs, prepared by the caller: between clone and exec
// the child shares the caller's memory and makes only system calls.
struct Plan {
    int flags = 0;
    bool pty = false;
    int in_fd = -1;   // pipe mode: becomes standard input
    int out_fd = -1;  // pipe mode: becomes standard output
    int master = -1;  // pseudo-terminal mode
    const struct termios *tios = nullptr;
    const struct winsize *ws = nullptr;

    const char *file = nullptr;  // searched in search_path unless shell
    char *const *argv = nullptr;
    char *const *envp = nullptr;
    bool shell = false;  // argv is {"sh", "-c", command}: exec /bin/sh itself
    const char *search_path = nullptr;
    char **script_argv = nullptr;  // room for argc + 2 pointers

    int report_fd = -1;
    volatile int ran = 0;  // set by a child that shares this memory
};

// fd moved above 2 if it sits on a standard descriptor (the old one closed):
// in a caller that closed 0, 1 or 2, the child's dup2 onto them must not
// overwrite a descriptor of the start-up. -1 with errno when that fails.
int lift_fd(int fd);
// pipe2 with O_CLOEXEC and flags, both ends above 2; false with errno.
bool make_pipe(int fds[2], int flags = 0);

// Starts the child described by plan. Returns its pid once it has exec'd or
// ended, with *report filled when a step failed; -1 with errno when no child
// could be made. The child is entered in the table before anyone can reap it.
pid_t spawn(Plan &plan, Report *report, bool command_line);

// The record of a failed step, written as the child would have written it.
void trace_failure(pid_t pid, const Report &r, const char *file);

// The table of command children (children.cpp).
enum class Kind : unsigned char { program, pipe_shell, pty_shell, ended };

void spawn_begin();
void spawn_end(pid_t pid, Kind kind);
// close_syscmd's wait() reaped pid while waiting for waited_for: writes a
// command line's end record, and keeps the status for the child's own
// close_syscmd when another thread started it.
void reaped(pid_t pid, int status, pid_t waited_for);
// The status that another thread's wait() kept for pid.
bool take_kept(pid_t pid, int *status);
// close_syscmd is done with pid, whatever became of it.
void forget(pid_t pid);

}  // namespace kelp::proc
