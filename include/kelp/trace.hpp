/**
 * @file kelp/trace.hpp
 * @brief C++20 layer: trace records from text views.
 *
 * Each call is one C call (dbgtrc(), dbglvl()), safe from any thread as the
 * trace is; no allocation, no copy of the text.
 */
#ifndef KELP_TRACE_HPP
#define KELP_TRACE_HPP

#include <kelp/result.hpp>

#include <string_view>

namespace kelp {

/** @addtogroup kelp_cxx
 *  @{ */

/**
 * @brief One trace record of level @p level whose message is @p text, taken
 * literally (a `%` is printed as it is), up to a NUL byte or INT_MAX bytes.
 */
inline void trace(int level, std::string_view text) noexcept {
    ::dbgtrc(level, 0, "%.*s", detail::clamp_len(text.size()), text.data());
}

/** @brief The trace's current level (::dbglvl). */
inline int trace_level() noexcept {
    return ::dbglvl();
}

/** @} */

}  // namespace kelp

#endif
