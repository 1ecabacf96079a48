// Internal services of the library core, shared by every module.
// Nothing declared here is exported.
#pragma once

#include <kelp.h>

#include <cerrno>
#include <cstddef>

namespace kelp {

// Writes a failure message into gnl_usrmsg, printf-style and bounded: an
// overlong message is cut at 1024 characters. The only writer of gnl_usrmsg.
void set_usrmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// strerror text of err, or "UNKNOWN" when the platform has none.
const char *errtext(int err);

// Keeps errno across cleanup calls that might change it.
class SavedErrno {
  public:
    SavedErrno() : saved_(errno) {}
    ~SavedErrno() { errno = saved_; }
    SavedErrno(const SavedErrno &) = delete;
    SavedErrno &operator=(const SavedErrno &) = delete;
    int value() const { return saved_; }

  private:
    int saved_;
};

// Owns a descriptor; closes it on scope exit unless released.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A record that another process (a child that cannot write it itself) would have
// written: as dbgtrc(lvl, 0, fmt, ...), with pid in the level piece.
void trace_as(long pid, int lvl, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

}  // namespace kelp
