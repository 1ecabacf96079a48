// Child commands: what run_syscmd and close_syscmd share inside the module.
#pragma once

#include "core/internal.h"

#include <sys/types.h>

struct termios;
struct winsize;

namespace kelp::proc {

// What the caller asks of the child, prepared before it is made.
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
};

// What a child whose step failed sends back before it ends with that
// step's errno. The record is the step's own (child.cpp), printed with the
// step's numbers, the errno last, or with the program's name and the errno.
struct Report {
    const char *record = nullptr;  // none: no step failed
    bool names_program = false;
    int count = 0;
    int numbers[3] = {};
    int err() const { return numbers[count - 1]; }
};

// fd moved above 2 if it sits on a standard descriptor (the old one closed):
// in a caller that closed 0, 1 or 2, the child's dup2 onto them must not
// overwrite a descriptor of the start-up. -1 with errno when that fails.
int lift_fd(int fd);
// pipe2 with O_CLOEXEC and flags, both ends above 2; false with errno.
bool make_pipe(int fds[2], int flags = 0);

// Starts the child of plan and returns its pid once it has exec'd or
// ended, with *report filled when one of its steps failed. -1 when no child
// was made, with errno and the call that failed ("pipe" for the pipe that
// carries the report, "fork" for the child) in *failed_call.
pid_t spawn(const Plan &plan, Report *report, const char **failed_call);

// Writes the failed step's record as the child would have, with its pid.
void trace_failure(pid_t pid, const Report &r, const char *program);

// The table of command children that close_syscmd has not taken back yet
// (children.cpp).

// Room for one more child before it is made; false with errno ENOMEM.
bool spawn_begin();
// The child that the clone made (-1: none): whether it runs in a pty and
// whether its end gets a record (a command line that started).
void spawn_end(pid_t pid, bool pty, bool records_end);
// A command line's end, with its exit code (also that of a failed step).
void trace_end(pid_t pid, bool pty, int code);
// One look of close_syscmd's wait for pid: the status that another thread's
// look kept for pid, else the next child that has ended, reaped, its status
// kept for its owner when another thread started it. 0 when children are
// left and none has ended; -1 with errno when there is none.
pid_t reap(pid_t pid, int *status);
// close_syscmd or run_syscmd's clean-up is done with pid, whatever became of
// it: true when it had been reaped already.
bool forget(pid_t pid);

}  // namespace kelp::proc
