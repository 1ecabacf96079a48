/**
 * @file kelp/detail/pump.hpp
 * @brief Inside of the C++ layer: the loop that feeds a command and reads it.
 *
 * Not an interface of its own: kelp/command.hpp includes it.
 */
#ifndef KELP_DETAIL_PUMP_HPP
#define KELP_DETAIL_PUMP_HPP

#include <kelp/result.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

/// @cond detail
namespace kelp::detail {

inline kelp::error sys_error(const char *what, int err) {
    return kelp::error{err, std::string(what) + "() failed (errno=" + std::to_string(err) + ")"};
}

// While it lives, SIGPIPE is blocked in this thread, so that a write to a
// command that is gone fails with EPIPE; the signal such a write raised is
// taken back before the mask returns.
class sigpipe_guard {
  public:
    sigpipe_guard() noexcept {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~sigpipe_guard() {
        int err = errno;
        const timespec now = {0, 0};
        if (sigismember(&old_, SIGPIPE) == 0)
            (void)sigtimedwait(&pipe_, nullptr, &now);
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = err;
    }
    sigpipe_guard(const sigpipe_guard &) = delete;
    sigpipe_guard &operator=(const sigpipe_guard &) = delete;

    kelp::error failed(const char *what) const { return sys_error(what, errno); }

  private:
    sigset_t pipe_{};
    sigset_t old_{};
};

// Writes input to a command and reads all it writes, at once. What it keeps:
// - Neither side waits for the other: both descriptors are made (and left)
//   non-blocking, and a round reads or writes only what poll found ready,
//   so a command that writes more than a pipe holds before it reads cannot
//   deadlock with us.
// - On pipes the input is closed (wfd becomes -1) as soon as it is all
//   written or the command stops reading (EPIPE), so the command sees end
//   of file; the loop ends once the output has ended and the input is
//   closed.
// - On a pseudo-terminal rfd and wfd are the one master, polled once and
//   never closed here: the output ends when the slave side is gone (EIO),
//   and input the command no longer reads is dropped.
// - SIGPIPE stays blocked in the calling thread meanwhile (sigpipe_guard).
// - A failed fcntl, poll, read or write ends the loop with its errno; what
//   was read so far stays in out, and the descriptors are the caller's to
//   close.
// Costs: two fcntl calls, then one poll a round and at most one read and one
// write of up to 64 KiB (a buffer on the stack); out grows as a std::string.
inline result<void> pump(int rfd, int &wfd, bool pty, std::string_view input, std::string &out) {
    sigpipe_guard guard;
    for (int fd : {rfd, wfd})
        if (fd >= 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
            return guard.failed("fcntl");
    auto close_input = [&] {
        if (!pty && wfd >= 0)
            ::close(std::exchange(wfd, -1));
    };
    if (input.empty())
        close_input();
    char chunk[65536];
    bool output_open = true;
    while (output_open || (!pty && wfd >= 0)) {
        const bool writing = !input.empty() && wfd >= 0;
        pollfd p[2] = {{output_open ? rfd : -1, POLLIN, 0},
                       {writing && !pty ? wfd : -1, POLLOUT, 0}};
        if (pty && writing)
            p[0].events |= POLLOUT;
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return guard.failed("poll");
        }
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ssize_t n = ::read(rfd, chunk, sizeof chunk);
            if (n > 0)
                out.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || (pty && errno == EIO))
                output_open = false;
            else if (errno != EAGAIN && errno != EINTR)
                return guard.failed("read");
        }
        const short ready = pty ? p[0].revents : p[1].revents;
        if (writing && (ready & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            ssize_t n =
                ::write(wfd, input.data(), std::min<std::size_t>(input.size(), sizeof chunk));
            if (n > 0)
                input.remove_prefix(static_cast<std::size_t>(n));
            else if (n < 0 && (errno == EPIPE || (pty && errno == EIO)))
                input = {};  // the command reads no more
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return guard.failed("write");
        }
        if (input.empty())
            close_input();
    }
    return {};
}

}  // namespace kelp::detail
/// @endcond

#endif
