/**
 * @file kelp/checksum.hpp
 * @brief C++20 layer: the two XOR checksums over byte views of any length.
 *
 * One C call per INT_MAX bytes; no allocation. Safe from any thread.
 */
#ifndef KELP_CHECKSUM_HPP
#define KELP_CHECKSUM_HPP

#include <kelp/result.hpp>

#include <string_view>

namespace kelp {

/** @addtogroup kelp_cxx
 *  @{ */

/** @brief ::chksum_xor over @p bytes, any length. */
inline int chksum_xor(std::string_view bytes) noexcept {
    int sum = 0;
    do {
        int n = detail::clamp_len(bytes.size());
        sum ^= ::chksum_xor(bytes.data(), n);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    } while (!bytes.empty());
    return sum;
}

/**
 * @brief ::chksum_s4xor over @p bytes, any length.
 *
 * Byte k of the checksum is the XOR of the bytes from position k on, so a
 * piece that follows at least three bytes adds its plain XOR to all four.
 */
inline int chksum_s4xor(std::string_view bytes) noexcept {
    int n = detail::clamp_len(bytes.size());
    auto sum = static_cast<unsigned>(::chksum_s4xor(bytes.data(), n));
    bytes.remove_prefix(static_cast<std::size_t>(n));
    if (!bytes.empty())
        sum ^= static_cast<unsigned>(kelp::chksum_xor(bytes)) * 0x01010101u;
    return static_cast<int>(sum);
}

/** @} */

}  // namespace kelp

#endif
