// Internal services of the library core, shared by every module.
// Nothing declared here is exported.
#pragma once

#include <kelp.h>

#include <langinfo.h>

#include <atomic>
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

// The C locale's toupper: 'a' to 'z' and nothing else.
constexpr int ascii_upper(unsigned c) {
    return static_cast<int>(c - ((c - 'a' < 26u) << 5));
}

// The current locale's toupper and tolower over the bytes. The tables are
// built with toupper() and tolower() themselves, once for each LC_CTYPE name
// the process meets (the name of the calling thread's locale, whether its
// own or the global one), and kept for the life of the process. A handle is
// valid while the calling thread's locale stays as it was when it was made.
struct CaseTable {
    uint64_t name[7];    // the locale's LC_CTYPE name, zero-padded
    uint64_t name_tail;  // the bytes of its last word that count, terminator included
    uint8_t name_words;  // words holding the name and its terminator
    bool ascii;          // upper maps exactly 'a'-'z' to 'A'-'Z' and keeps every other byte
    int32_t upper[256];
    int32_t lower[256];
};

namespace detail {
extern std::atomic<const CaseTable *> last_case_table;
const CaseTable *find_case_table(const char *name);

// Whether the C library's name for the locale is the table's. A name at an
// address aligned to 8 is compared a word at a time: each word read holds a
// byte of the name, so it lies in the name's page, and the bytes past its
// terminator are masked off. The address sanitizer would report those bytes,
// so it is kept out.
__attribute__((no_sanitize("address"))) inline bool same_name(const CaseTable &t,
                                                              const char *name) {
    if ((reinterpret_cast<uintptr_t>(name) & 7) == 0) {
        using word = uint64_t __attribute__((may_alias));
        const auto *w = reinterpret_cast<const word *>(name);
        for (unsigned i = 0; i + 1 < t.name_words; ++i)
            if (w[i] != t.name[i])
                return false;
        return ((w[t.name_words - 1] ^ t.name[t.name_words - 1]) & t.name_tail) == 0;
    }
    const char *ours = reinterpret_cast<const char *>(t.name);
    while (*name == *ours && *name != '\0') {
        ++name;
        ++ours;
    }
    return *name == *ours;
}
}  // namespace detail

// The table of the calling thread's locale; null when it cannot be kept (a
// name too long, more locales than the store holds): the handle then asks
// the C library byte by byte. The first call for a locale builds its table.
// The check is one call and a few bytes compared: cheap enough for every
// comparison, and a setlocale() or uselocale() in between is seen at once.
inline const CaseTable *case_table() {
#ifdef NL_LOCALE_NAME
    const char *name = nl_langinfo(NL_LOCALE_NAME(LC_CTYPE));
    const CaseTable *t = detail::last_case_table.load(std::memory_order_acquire);
    if (t != nullptr && detail::same_name(*t, name)) [[likely]]
        return t;
    return detail::find_case_table(name);
#else
    return nullptr;  // no name to know a locale by
#endif
}

class CaseTables {
  public:
    CaseTables() : t_(case_table()) {}
    int upper(unsigned char c) const { return t_ != nullptr ? t_->upper[c] : std::toupper(c); }
    int lower(unsigned char c) const { return t_ != nullptr ? t_->lower[c] : std::tolower(c); }
    bool ascii() const { return t_ != nullptr && t_->ascii; }

  private:
    const CaseTable *t_;
};

}  // namespace kelp
