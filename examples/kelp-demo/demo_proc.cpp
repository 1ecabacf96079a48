#include "demo.h"

#include <kelp.h>
#include <kelp.hpp>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// Everything the command writes, up to end of file (EIO on a terminal).
std::string drain(int fd) {
    std::string out;
    char buf[512];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    return out;
}

void show(const char *title, const std::string &out, int code) {
    std::printf("%s\n", title);
    std::string text;
    for (char c : out)
        if (c != '\r')  // a terminal ends its lines with CR LF
            text += c;
    std::printf("  came back: %s", text.empty() ? "(nothing)\n" : "");
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? nl : nl - at);
        std::printf("%s%s\n", at == 0 ? "" : "             ", line.c_str());
        at = nl == std::string::npos ? text.size() : nl + 1;
    }
    std::printf("  exit code: %d\n", code);
}

void through_pipes() {
    char *cat[] = {const_cast<char *>("tr"), const_cast<char *>("a-z"), const_cast<char *>("A-Z"),
                   nullptr};
    int rfd, wfd, pid;
    if (run_syscmd(nullptr, cat, &rfd, &wfd, &pid, nullptr, nullptr, 0) != 0) {
        std::printf("run_syscmd failed: %s\n", gnl_usrmsg);
        return;
    }
    const char text[] = "hello through two pipes\n";
    if (write(wfd, text, sizeof text - 1) < 0)
        std::printf("write failed: %s\n", std::strerror(errno));
    close(wfd);  // tr sees end of file
    std::string out = drain(rfd);
    show("pipes, tr a-z A-Z:", out, close_syscmd(rfd, -1, pid));

    if (run_syscmd("echo from a shell; echo to stderr >&2; exit 3", nullptr, &rfd, &wfd, &pid,
                   nullptr, nullptr, RUN_STDERR) != 0)
        return;
    out = drain(rfd);
    show("pipes, a shell command line with RUN_STDERR:", out, close_syscmd(rfd, wfd, pid));
}

void through_a_terminal() {
    struct winsize ws {};
    ws.ws_row = 24;
    ws.ws_col = 100;
    char *sh[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                  const_cast<char *>("echo \"terminal: $(tty)\"; echo \"rows and columns: "
                                     "$(stty size)\"; exit 5"),
                  nullptr};
    int rfd, wfd, pid;
    if (run_syscmd(nullptr, sh, &rfd, &wfd, &pid, nullptr, &ws, RUN_PTY) != 0) {
        std::printf("run_syscmd failed: %s\n", gnl_usrmsg);
        return;
    }
    std::string out = drain(rfd);
    show("pseudo-terminal, 24 x 100:", out, close_syscmd(rfd, wfd, pid));

    char *missing[] = {const_cast<char *>("no-such-program"), nullptr};
    if (run_syscmd(nullptr, missing, &rfd, &wfd, &pid, nullptr, nullptr, RUN_PTY) != 0)
        return;
    out = drain(rfd);
    show("pseudo-terminal, a program that does not exist (errno 2, ENOENT):", out,
         close_syscmd(rfd, wfd, pid));
}

// The same conversation through the C++ layer: communicate writes the input
// and reads the output at once, so no size of either can block, then closes
// the command; the text views split the output without copying it.
void through_the_cxx_layer() {
    auto cmd = kelp::command::run({"tr", "a-z", "A-Z"});
    if (!cmd) {
        std::printf("kelp::command::run failed: %s\n", cmd.error().message.c_str());
        return;
    }
    auto done = cmd->communicate("hello through kelp.hpp\n  and communicate  \n");
    if (!done) {
        std::printf("communicate failed: %s\n", done.error().message.c_str());
        return;
    }
    show("kelp::command (C++), tr a-z A-Z, communicate:", done->output, done->status);
    std::printf("  its words:");
    for (std::string_view line : kelp::lines(done->output))
        for (std::string_view word : kelp::words(line))
            std::printf(" [%.*s]", static_cast<int>(word.size()), word.data());
    std::printf("\n");
}

// gnl_init(NULL), as main() calls it, makes the process ignore SIGCHLD, and
// then the system reaps every child as it ends: close_syscmd finds none.
void exit_codes_and_sigchld() {
    int rfd, wfd, pid;
    if (run_syscmd("exit 3", nullptr, &rfd, &wfd, &pid, nullptr, nullptr, 0) != 0)
        return;
    int rc = close_syscmd(rfd, wfd, pid);
    std::printf("after gnl_init(NULL), SIGCHLD ignored: close_syscmd gives %d\n  [%s]\n", rc,
                gnl_usrmsg);
}

}  // namespace

int demo::proc(int, char **) {
    std::fflush(stdout);
    exit_codes_and_sigchld();
    // A program that wants its commands' exit codes starts with
    // gnl_init(&keep) instead, which leaves SIGCHLD at its default. This
    // program called gnl_init(NULL) already: put back what it would have kept.
    struct sigaction dfl {};
    struct sigaction saved {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &dfl, &saved);
    const gnl_initopts keep = {0, GNL_INIT_KEEPSIGS};
    gnl_init(&keep);
    std::printf("with gnl_init(&keep), GNL_INIT_KEEPSIGS, the exit codes come back:\n");
    through_pipes();
    through_a_terminal();
    through_the_cxx_layer();
    sigaction(SIGCHLD, &saved, nullptr);
    return 0;
}
