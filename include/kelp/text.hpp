/**
 * @file kelp/text.hpp
 * @brief C++20 layer: text views (lines, fields, words, trimming) and formatting.
 *
 * The views neither allocate nor copy: each piece is a `std::string_view`
 * into the text, which must outlive it. lines(), fields() and words() are
 * forward ranges for range-for and the standard algorithms. They and the
 * trim functions are safe from any thread. buf2hex() and comma_number()
 * write into a buffer of the call (one C call each); their `std::string`
 * forms allocate the string.
 *
 * @code
 * #include <kelp.hpp>
 *
 * auto file = kelp::file_buffer::load("words.txt");
 * auto tree = kelp::word_tree::create("abcdefghijklmnopqrstuvwxyz");
 * if (!file || !tree)
 *     return;
 * for (std::string_view line : kelp::lines(file->view()))
 *     for (std::string_view word : kelp::words(line))
 *         if (!tree->add(word, 1))
 *             return;   // a word outside the alphabet
 * @endcode
 */
#ifndef KELP_TEXT_HPP
#define KELP_TEXT_HPP

#include <kelp/result.hpp>

#include <cstddef>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

namespace kelp {

/** @addtogroup kelp_cxx
 *  @{ */

/// @cond detail
namespace detail {

// Each rule finds the piece that starts at pos and the position after its
// separator; npos once the text is used up.
struct line_rule {
    static std::string_view next(std::string_view text, std::size_t &pos) noexcept {
        std::size_t nl = text.find('\n', pos);
        std::size_t stop = nl == std::string_view::npos ? text.size() : nl;
        std::string_view piece = text.substr(pos, stop - pos);
        if (nl != std::string_view::npos && !piece.empty() && piece.back() == '\r')
            piece.remove_suffix(1);
        pos =
            nl == std::string_view::npos || nl + 1 == text.size() ? std::string_view::npos : nl + 1;
        return piece;
    }
};

struct field_rule {
    char sep;
    std::string_view next(std::string_view text, std::size_t &pos) const noexcept {
        std::size_t at = text.find(sep, pos);
        std::string_view piece = text.substr(pos, at == std::string_view::npos ? at : at - pos);
        pos = at == std::string_view::npos ? at : at + 1;
        return piece;
    }
};

constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct word_rule {
    // Called only where a word starts; skips the blanks after it.
    static std::string_view next(std::string_view text, std::size_t &pos) noexcept {
        std::size_t stop = pos;
        while (stop < text.size() && !is_blank(text[stop]))
            ++stop;
        std::string_view piece = text.substr(pos, stop - pos);
        while (stop < text.size() && is_blank(text[stop]))
            ++stop;
        pos = stop == text.size() ? std::string_view::npos : stop;
        return piece;
    }
    static std::size_t first(std::string_view text) noexcept {
        std::size_t pos = 0;
        while (pos < text.size() && is_blank(text[pos]))
            ++pos;
        return pos == text.size() ? std::string_view::npos : pos;
    }
};

// The strippable bytes: controls, space, DEL and everything from 0x80; the
// flags spare space and DEL. NUL counts as a control. The one definition:
// stript() and stripl() use it as well as the trim functions below.
constexpr bool strippable(char c, int flags) noexcept {
    auto b = static_cast<unsigned char>(c);
    if (b == 0x20)
        return (flags & STRIP_KEEP_SPACE) == 0;
    if (b == 0x7f)
        return (flags & STRIP_KEEP_DEL) == 0;
    return b < 0x20 || b > 0x7f;
}

}  // namespace detail
/// @endcond

/**
 * @brief The pieces of a text, split by a rule, as a forward range of
 * `std::string_view`s into the text. Made by lines(), fields(), words().
 */
template <class Rule>
class split_view {
  public:
    /** @brief Walks the pieces; equal to `std::default_sentinel` past the last. */
    class iterator {
      public:
        using iterator_category = std::forward_iterator_tag;  ///< walks one way
        using value_type = std::string_view;                  ///< a piece
        using difference_type = std::ptrdiff_t;               ///< steps

        /** @brief Past the last piece. */
        iterator() noexcept = default;
        /** @brief The current piece. */
        std::string_view operator*() const noexcept { return piece_; }
        /** @brief Moves to the next piece. */
        iterator &operator++() noexcept {
            at_end_ = pos_ == std::string_view::npos;
            if (!at_end_)
                piece_ = rule_.next(text_, pos_);
            return *this;
        }
        /** @brief Moves on, giving back the position before. */
        iterator operator++(int) noexcept {
            iterator before = *this;
            ++*this;
            return before;
        }
        /** @brief Same piece of the same text. */
        friend bool operator==(const iterator &a, const iterator &b) noexcept {
            return a.at_end_ == b.at_end_ && (a.at_end_ || a.piece_.data() == b.piece_.data());
        }
        /** @brief True past the last piece. */
        friend bool operator==(const iterator &a, std::default_sentinel_t) noexcept {
            return a.at_end_;
        }

      private:
        friend class split_view;
        iterator(std::string_view text, std::size_t pos, Rule rule) noexcept
            : text_(text), pos_(pos), rule_(rule) {
            ++*this;
        }

        std::string_view text_;
        std::string_view piece_;
        std::size_t pos_ = std::string_view::npos;
        Rule rule_{};
        bool at_end_ = true;
    };

    /** @brief The pieces of @p text from @p first on. */
    split_view(std::string_view text, std::size_t first, Rule rule) noexcept
        : text_(text), first_(first), rule_(rule) {}
    /** @brief The first piece. */
    iterator begin() const noexcept { return iterator(text_, first_, rule_); }
    /** @brief Past the last piece. */
    std::default_sentinel_t end() const noexcept { return {}; }

  private:
    std::string_view text_;
    std::size_t first_;
    Rule rule_;
};

/**
 * @brief The lines of @p text: pieces ended by LF (a CR before it is part of
 * the line end); a last line without LF counts, an empty text has none.
 */
inline split_view<detail::line_rule> lines(std::string_view text) noexcept {
    return {text, text.empty() ? std::string_view::npos : 0, {}};
}

/**
 * @brief The fields of @p text between the bytes @p sep: n separators make
 * n + 1 fields, empty ones included; an empty text has none.
 */
inline split_view<detail::field_rule> fields(std::string_view text, char sep) noexcept {
    return {text, text.empty() ? std::string_view::npos : 0, {sep}};
}

/**
 * @brief The words of @p text: runs of bytes between blanks (space, tab, LF,
 * VT, FF, CR); no empty words.
 */
inline split_view<detail::word_rule> words(std::string_view text) noexcept {
    return {text, detail::word_rule::first(text), {}};
}

/**
 * @brief @p text without its trailing run of strippable bytes, as ::stript
 * decides them (@p flags ::STRIP_KEEP_SPACE, ::STRIP_KEEP_DEL).
 */
constexpr std::string_view trim_end(std::string_view text, int flags = 0) noexcept {
    while (!text.empty() && detail::strippable(text.back(), flags))
        text.remove_suffix(1);
    return text;
}

/** @brief @p text without its leading run of strippable bytes, as ::stripl. */
constexpr std::string_view trim_start(std::string_view text, int flags = 0) noexcept {
    while (!text.empty() && detail::strippable(text.front(), flags))
        text.remove_prefix(1);
    return text;
}

/** @brief @p text trimmed at both ends. */
constexpr std::string_view trim(std::string_view text, int flags = 0) noexcept {
    return trim_start(trim_end(text, flags), flags);
}

/**
 * @brief ::buf2hex of @p bytes into @p out: as many whole bytes as fit.
 * @return the text, a view into @p out (empty when @p out has fewer than 4 bytes)
 */
inline std::string_view buf2hex(std::string_view bytes, std::span<char> out) noexcept {
    if (out.empty())
        return {};
    return ::buf2hex(bytes.data(), detail::clamp_len(bytes.size()), out.data(),
                     detail::clamp_len(out.size()));
}

/** @brief ::buf2hex of all of @p bytes, "00:AB:7F" style; empty for no bytes. */
inline std::string buf2hex(std::string_view bytes) {
    std::size_t n = bytes.size() > detail::int_max / 3 ? detail::int_max / 3 : bytes.size();
    std::string text(n * 3 + 1, '\0');
    std::size_t len = kelp::buf2hex(bytes.substr(0, n), std::span<char>(text)).size();
    text.resize(len);
    return text;
}

/** @brief ::comma_number into a string of its own: "1,234,567". */
inline std::string comma_number(int value, bool is_signed = true) {
    char out[16];
    return ::comma_number(value, out, is_signed ? 1 : 0);
}

/** @} */

}  // namespace kelp

#endif
