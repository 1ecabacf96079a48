// Library core: exported globals, process initialisation, version.
#include "core/internal.h"
#include <kelp/version.h>

#include <unistd.h>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern "C" {
__thread char gnl_usrmsg[1025];
int gnl_errno;
const char *gnl_prognam;
}

namespace kelp {

void set_usrmsg(const char *fmt, ...) {
    // Format aside first: an argument may point into gnl_usrmsg itself.
    char text[sizeof gnl_usrmsg];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0)
        text[0] = '\0';
    std::memcpy(gnl_usrmsg, text, sizeof text);
}

const char *errtext(int err) {
    const char *text = std::strerror(err);
    return text != nullptr ? text : "UNKNOWN";
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        SavedErrno keep;
        ::close(fd_);
    }
    fd_ = fd;
}

namespace {

// Ignore sig the way sigset(sig, SIG_IGN) does: set the action, then take
// the signal out of the blocked mask.
void ignore_signal(int sig) {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace
}  // namespace kelp

extern "C" {

int gnl_init(const gnl_initopts *opts) {
    if (opts != nullptr && (opts->flags & GNL_INIT_KEEPSIGS) != 0)
        return 0;
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD})
        kelp::ignore_signal(sig);
    return 0;
}

const char *gnl_kelpdir(void) {
    const char *dir = std::getenv("KELPDIR");
    return dir != nullptr ? dir : "/opt/morvane/etc";
}

const char *gnl_verstr(void) {
    return KELP_VERSION_STRING;
}

}  // extern "C"
