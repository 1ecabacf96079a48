/**
 * @file kelp/command.hpp
 * @brief C++20 layer: the owner of a running command.
 */
#ifndef KELP_COMMAND_HPP
#define KELP_COMMAND_HPP

#include <kelp/detail/pump.hpp>
#include <kelp/result.hpp>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct termios;
struct winsize;

namespace kelp {

/** @addtogroup kelp_cxx
 *  @{ */

/**
 * @brief Owner of a command started by ::run_syscmd: its descriptors and
 * its child, ended with ::close_syscmd.
 *
 * close() gives the command's exit status. The destructor of an owner not
 * closed closes the command the same way: it may wait up to a second (then
 * kills the command's process group), and leaves ::gnl_usrmsg as it was.
 *
 * Costs beyond the C calls: run() copies the argument pointers into a
 * `std::vector` (an allocation); close() and the destructor copy
 * ::gnl_usrmsg twice to tell a failure from an exit code; write() and
 * communicate() block `SIGPIPE` in the calling thread while they write (two
 * or three system calls), so that a command that is gone gives `EPIPE`
 * instead of ending the program; communicate() makes both descriptors
 * non-blocking, then takes one `poll` a round and reads and writes up to
 * 64 KiB at a time (a buffer on the stack), grows a `std::string` and
 * waits for the command to end (that loop, and what it keeps, is in
 * kelp/detail/pump.hpp). One thread at a time per command; any
 * number of commands in parallel, closes included.
 *
 * @code
 * auto sort = kelp::command::run({"sort"});
 * auto done = sort->communicate("pear\napple\n");
 * if (done)
 *     std::printf("%s(exit %d)\n", done->output.c_str(), done->status);
 * @endcode
 */
class command {
  public:
    /** @brief No command. */
    command() noexcept = default;
    /** @brief Closes the command if close() was not called: may wait up to a second. */
    ~command() {
        if (!running())
            return;
        char saved[sizeof gnl_usrmsg];
        std::memcpy(saved, gnl_usrmsg, sizeof saved);
        (void)finish();
        std::memcpy(gnl_usrmsg, saved, sizeof saved);
    }
    /** @brief Takes the other's command; the other is left empty. */
    command(command &&other) noexcept
        : rfd_(std::exchange(other.rfd_, -1)),
          wfd_(std::exchange(other.wfd_, -1)),
          pid_(std::exchange(other.pid_, -1)),
          pty_(other.pty_) {}
    /** @brief Closes this command, then takes the other's. */
    command &operator=(command &&other) noexcept {
        if (this != &other) {
            if (running())
                (void)close();
            rfd_ = std::exchange(other.rfd_, -1);
            wfd_ = std::exchange(other.wfd_, -1);
            pid_ = std::exchange(other.pid_, -1);
            pty_ = other.pty_;
        }
        return *this;
    }
    command(const command &) = delete;
    command &operator=(const command &) = delete;

    /**
     * @brief Starts `argv[0]` with the arguments @p argv (execvp), on pipes
     * or, with ::RUN_PTY in @p flags, on a pseudo-terminal.
     * @return the command, or the error with the message of ::run_syscmd
     */
    static result<command> run(std::span<const char *const> argv, int flags = 0,
                               const struct termios *tios = nullptr,
                               const struct winsize *ws = nullptr) {
        if (argv.empty())
            return kelp::error{EINVAL, "run_syscmd: empty argument vector"};
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (const char *a : argv)
            args.push_back(const_cast<char *>(a));
        args.push_back(nullptr);
        return start(nullptr, args.data(), flags, tios, ws);
    }
    /** @brief As run(std::span<const char *const>, int, const termios *, const winsize *). */
    static result<command> run(std::initializer_list<const char *> argv, int flags = 0,
                               const struct termios *tios = nullptr,
                               const struct winsize *ws = nullptr) {
        return run(std::span<const char *const>(argv.begin(), argv.size()), flags, tios, ws);
    }
    /** @brief Starts the shell command line @p cmdline (system). */
    static result<command> shell(const char *cmdline, int flags = 0,
                                 const struct termios *tios = nullptr,
                                 const struct winsize *ws = nullptr) {
        return start(cmdline, nullptr, flags, tios, ws);
    }

    /** @brief Descriptor to read the command's output from. */
    int read_fd() const noexcept { return rfd_; }
    /** @brief Descriptor to write the command's input to (the same as read_fd() on a pty). */
    int write_fd() const noexcept { return wfd_; }
    /** @brief The child's process id. */
    int pid() const noexcept { return pid_; }
    /** @brief True until close(). */
    bool running() const noexcept { return pid_ != -1 || rfd_ != -1; }

    /**
     * @brief Writes all of @p bytes to the command's input. On pipes, a
     * command that writes more than the pipe holds before it reads must be
     * read meanwhile: communicate() does both.
     */
    result<void> write(std::string_view bytes) noexcept {
        detail::sigpipe_guard guard;
        while (!bytes.empty()) {
            ssize_t n = ::write(wfd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return guard.failed("write");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return {};
    }

    /** @brief What communicate() gives back. */
    struct outcome {
        std::string output;  ///< all the command wrote (on a terminal: with the terminal's echo)
        int status = 0;      ///< the exit status, as close() gives it
    };

    /**
     * @brief Writes @p input and reads all output at once, then closes the
     * command. On pipes the input is closed once written, so the command
     * sees end of file; neither side can block the other at any size. On a
     * pseudo-terminal the input is written and the output read until the
     * command ends (the terminal gives no end of file: the command ends by
     * itself).
     * @return the output and the exit status, or the error of a failed read
     * or write (the command is then closed) or of close()
     */
    result<outcome> communicate(std::string_view input) {
        if (!running())
            return kelp::error{EBADF, "communicate: no command"};
        outcome done;
        if (auto pumped = detail::pump(rfd_, wfd_, pty_, input, done.output); !pumped) {
            (void)finish();
            return pumped.error();
        }
        auto status = close();
        if (!status)
            return status.error();
        done.status = *status;
        return done;
    }

    /**
     * @brief Closes the command's input, so it sees end of file (pipes only;
     * on a pseudo-terminal input and output are one descriptor).
     */
    void close_input() noexcept {
        if (!pty_ && wfd_ >= 0)
            ::close(std::exchange(wfd_, -1));
    }

    /**
     * @brief Reads the command's output until end of file (on a
     * pseudo-terminal: until the slave side is gone), waiting on a
     * non-blocking descriptor.
     */
    result<std::string> read_all() {
        std::string out;
        char chunk[4096];
        for (;;) {
            ssize_t n = ::read(rfd_, chunk, sizeof chunk);
            if (n > 0) {
                out.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || (pty_ && errno == EIO)) {
                return out;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd p{rfd_, POLLIN, 0};
                ::poll(&p, 1, -1);
            } else if (errno != EINTR) {
                return sys_error("read");
            }
        }
    }

    /**
     * @brief ::close_syscmd: closes the descriptors and reaps the child.
     * @return the exit status, or the error (its code the errno of the failed
     * wait, 4 when the child was killed after a second)
     */
    result<int> close() noexcept {
        int status = 0;
        if (detail::usrmsg_written_by([&] { status = finish(); }))
            return kelp::error::from_usrmsg(status);
        return status;
    }

  private:
    static result<command> start(const char *cmdline, char *const *argv, int flags,
                                 const struct termios *tios, const struct winsize *ws) {
        command c;
        if (::run_syscmd(cmdline, argv, &c.rfd_, &c.wfd_, &c.pid_, tios, ws, flags) != 0) {
            // run_syscmd closed what it had opened and killed what it had forked.
            c.rfd_ = c.wfd_ = c.pid_ = -1;
            return kelp::error::from_usrmsg(-1);
        }
        c.pty_ = (flags & RUN_PTY) != 0;
        return c;
    }

    int finish() noexcept {
        int rfd = std::exchange(rfd_, -1);
        int wfd = std::exchange(wfd_, -1);
        int pid = std::exchange(pid_, -1);
        // On a pty both are the master; close it once.
        return ::close_syscmd(rfd, pty_ ? -1 : wfd, pid);
    }

    static kelp::error sys_error(const char *what) { return detail::sys_error(what, errno); }

    int rfd_ = -1;
    int wfd_ = -1;
    int pid_ = -1;
    bool pty_ = false;
};

/** @} */

}  // namespace kelp

#endif
