/**
 * @file kelp/result.hpp
 * @brief C++20 layer: results that carry the library's failure text.
 *
 * A call of the layer returns a kelp::result: the value, or a kelp::error
 * with the text that the C call left in ::gnl_usrmsg. Nothing throws. The
 * cost beyond the C call: a failure copies the message into a
 * `std::string` (an allocation for messages longer than the string's
 * small buffer); a success costs nothing more than moving the value.
 * ::gnl_usrmsg is per thread, so the message is the calling thread's own.
 */
#ifndef KELP_RESULT_HPP
#define KELP_RESULT_HPP

#if !defined(__cplusplus) || __cplusplus < 202002L
#error "the C++ layer of libkelp needs C++20; C programs include <kelp.h>"
#endif

#include <kelp.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

/** @brief The C++ layer of libkelp. */
namespace kelp {

/** @defgroup kelp_cxx C++ layer
 *  @brief RAII owners, string_view forms, text views and results over the C interface.
 *  @{ */

/**
 * @brief A failure: a number and the text that explains it.
 *
 * `message` is a copy of ::gnl_usrmsg taken right after the failing call,
 * or a text of the layer itself for failures that the C function reports
 * only to the trace (list node allocation).
 */
struct error {
    int code = 0;         ///< the C call's failure value or error number
    std::string message;  ///< what went wrong, in the library's words

    /** @brief An error carrying @p code and the calling thread's ::gnl_usrmsg. */
    static error from_usrmsg(int code) { return error{code, std::string(gnl_usrmsg)}; }
};

/// @cond detail
namespace detail {

// Reading the value of a failed result is a programming error: it ends the
// program with the error's text, in every build, rather than read through
// nothing.
[[noreturn]] inline void value_of_failure(const kelp::error &e) noexcept {
    std::fprintf(stderr, "kelp::result: value of a failed result (%d): %s\n", e.code,
                 e.message.c_str());
    std::abort();
}

inline const kelp::error &no_error() noexcept {
    static const kelp::error none{};
    return none;
}

// C lengths are int: a longer view is cut to INT_MAX bytes, as the calls
// that take one say (a trace record; a hex dump, which its output buffer
// bounds first; an alphabet, refused beyond 256 bytes anyway). Where every
// byte counts, the caller goes in pieces of this size (checksum.hpp).
constexpr std::size_t int_max = static_cast<std::size_t>(INT_MAX);

inline int clamp_len(std::size_t n) noexcept {
    return n > int_max ? INT_MAX : static_cast<int>(n);
}

// Runs a C call whose failure shows only as a new text in gnl_usrmsg, and
// puts the caller's text back when there was none: the layer leaves
// gnl_usrmsg as the C interface would. Costs two copies of gnl_usrmsg.
template <class F>
bool usrmsg_written_by(F &&call) {
    char saved[sizeof gnl_usrmsg];
    std::memcpy(saved, gnl_usrmsg, sizeof saved);
    gnl_usrmsg[0] = '\0';
    call();
    if (gnl_usrmsg[0] != '\0')
        return true;
    std::memcpy(gnl_usrmsg, saved, sizeof saved);
    return false;
}

}  // namespace detail
/// @endcond

/**
 * @brief Either a value or a kelp::error.
 *
 * Test it with `if (r)`, then use `*r` or `r->`; on failure `r.error()`
 * tells why. value(), `*` and `->` on a failed result end the program with
 * the error's message (as a failed assertion would, in every build);
 * value_or() gives a fallback instead.
 */
template <class T>
class [[nodiscard]] result {
  public:
    /** @brief A successful result holding @p value. */
    result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    /** @brief A failed result holding @p err. */
    result(kelp::error err) : v_(std::in_place_index<1>, std::move(err)) {}

    /** @brief True when the call succeeded. */
    bool ok() const noexcept { return v_.index() == 0; }
    /** @brief Same as ok(). */
    explicit operator bool() const noexcept { return ok(); }

    /** @brief The value; ends the program on a failure. */
    T &value() &noexcept { return *checked(); }
    /** @brief The value; ends the program on a failure. */
    const T &value() const &noexcept { return *checked(); }
    /** @brief The value, moved out; ends the program on a failure. */
    T &&value() &&noexcept { return std::move(*checked()); }
    /** @brief The value; ends the program on a failure. */
    T &operator*() &noexcept { return value(); }
    /** @brief The value; ends the program on a failure. */
    const T &operator*() const &noexcept { return value(); }
    /** @brief The value, moved out; ends the program on a failure. */
    T &&operator*() &&noexcept { return std::move(*checked()); }
    /** @brief Member access to the value; ends the program on a failure. */
    T *operator->() noexcept { return checked(); }
    /** @brief Member access to the value; ends the program on a failure. */
    const T *operator->() const noexcept { return checked(); }

    /** @brief The value, or @p fallback on a failure. */
    T value_or(T fallback) const & { return ok() ? *std::get_if<0>(&v_) : std::move(fallback); }
    /** @brief The value moved out, or @p fallback on a failure. */
    T value_or(T fallback) && {
        return ok() ? std::move(*std::get_if<0>(&v_)) : std::move(fallback);
    }

    /** @brief The failure; an error with code 0 and no text on success. */
    const kelp::error &error() const noexcept {
        const kelp::error *e = std::get_if<1>(&v_);
        return e != nullptr ? *e : detail::no_error();
    }

  private:
    T *checked() noexcept {
        if (T *v = std::get_if<0>(&v_))
            return v;
        detail::value_of_failure(*std::get_if<1>(&v_));
    }
    const T *checked() const noexcept {
        if (const T *v = std::get_if<0>(&v_))
            return v;
        detail::value_of_failure(*std::get_if<1>(&v_));
    }

    std::variant<T, kelp::error> v_;
};

/** @brief Result of a call that gives back nothing but success or failure. */
template <>
class [[nodiscard]] result<void> {
  public:
    /** @brief A successful result. */
    result() = default;
    /** @brief A failed result holding @p err. */
    result(kelp::error err) : failed_(true), err_(std::move(err)) {}

    /** @brief True when the call succeeded. */
    bool ok() const noexcept { return !failed_; }
    /** @brief Same as ok(). */
    explicit operator bool() const noexcept { return ok(); }
    /** @brief Nothing on success; ends the program on a failure. */
    void value() const noexcept {
        if (failed_)
            detail::value_of_failure(err_);
    }
    /** @brief The failure; an error with code 0 and no text on success. */
    const kelp::error &error() const noexcept { return err_; }

  private:
    bool failed_ = false;
    kelp::error err_;
};

/** @brief The calling thread's ::gnl_usrmsg. */
inline std::string_view usrmsg() noexcept {
    return gnl_usrmsg;
}

/** @brief The library's version, "1.2.3". */
inline std::string_view version() noexcept {
    return gnl_verstr();
}

/** @} */

}  // namespace kelp

#endif
