// Internal services of the library core, shared by every module.
// Nothing declared here is exported.
#pragma once

#include <kelp.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kelp {

// Trace levels the library writes its own records at (the names are in
// trc_lvl2sym's table).
constexpr int lvl_err = 1;
constexpr int lvl_info = 3;
constexpr int lvl_dbg = 4;

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

// The current locale's toupper and tolower, read from its tables once per
// call of the user rather than through a library call per byte. Valid while
// the calling thread's locale stays as it was when this was made.
class CaseTables {
  public:
#ifdef __GLIBC__
    CaseTables() : upper_(*__ctype_toupper_loc()), lower_(*__ctype_tolower_loc()) {}
    int upper(unsigned char c) const { return upper_[c]; }
    int lower(unsigned char c) const { return lower_[c]; }
    const int32_t *upper_table() const { return upper_; }

  private:
    const int32_t *upper_;
    const int32_t *lower_;
#else
    int upper(unsigned char c) const { return std::toupper(c); }
    int lower(unsigned char c) const { return std::tolower(c); }
#endif
};

}  // namespace kelp
