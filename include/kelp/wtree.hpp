/**
 * @file kelp/wtree.hpp
 * @brief C++20 layer: the owner of a word tree.
 */
#ifndef KELP_WTREE_HPP
#define KELP_WTREE_HPP

#include <kelp/result.hpp>

#include <cstdio>
#include <string_view>
#include <utility>

namespace kelp {

/** @addtogroup kelp_cxx
 *  @{ */

/**
 * @brief Owner of a word tree (::wtree): destroys it with ::wtree_destroy.
 *
 * Words are `std::string_view`s and need no terminating NUL. Each member is
 * one C call. One thread at a time per tree.
 */
class word_tree {
  public:
    /** @brief Takes ownership of @p tree (may be null). */
    explicit word_tree(wtree *tree = nullptr) noexcept : tree_(tree) {}
    /** @brief Destroys the tree. */
    ~word_tree() { reset(); }
    /** @brief Takes the other's tree; the other is left empty. */
    word_tree(word_tree &&other) noexcept : tree_(other.release()) {}
    /** @brief Destroys this tree and takes the other's. */
    word_tree &operator=(word_tree &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    word_tree(const word_tree &) = delete;
    word_tree &operator=(const word_tree &) = delete;

    /**
     * @brief ::wtree_create over @p alphabet (any bytes, NUL included).
     * @return the tree, or the error with "OUT OF MEMORY" or "APPLICATION ERROR"
     */
    static result<word_tree> create(std::string_view alphabet, bool nocase = false) {
        // More than 256 bytes always repeat one: the C call refuses them.
        wtree *t = ::wtree_create(alphabet.data(), detail::clamp_len(alphabet.size()), nocase);
        if (t == nullptr)
            return kelp::error::from_usrmsg(-1);
        return word_tree(t);
    }

    /**
     * @brief ::wtree_add_word: stores @p word with @p token, or replaces its token.
     * @return 0 when a next array was allocated, else 1; the error otherwise
     */
    result<int> add(std::string_view word, int token) {
        if (word.size() > detail::int_max)
            return kelp::error{EOVERFLOW, "word too long"};
        int rc = ::wtree_add_word(tree_, word.data(), static_cast<int>(word.size()), token);
        if (rc < 0)
            return kelp::error::from_usrmsg(rc);
        return rc;
    }

    /** @brief ::wtree_find_word: the token of @p word, or ::NOTOK. */
    int find(std::string_view word) const noexcept {
        if (word.size() > detail::int_max)
            return NOTOK;
        return ::wtree_find_word(tree_, word.data(), static_cast<int>(word.size()));
    }

    /** @brief ::wtree_del_word: true when @p word was stored and is now gone. */
    bool erase(std::string_view word) noexcept {
        if (word.size() > detail::int_max)
            return false;
        return ::wtree_del_word(tree_, word.data(), static_cast<int>(word.size())) == 0;
    }

    /** @brief The tree's counts (::wtree_stats into a zeroed record). */
    wtree_counts stats() const noexcept {
        wtree_counts c{};
        ::wtree_stats(tree_, &c);
        return c;
    }

    /** @brief ::wtree_dump to @p stream. */
    void dump(FILE *stream) noexcept { ::wtree_dump(tree_, stream); }

    /** @brief The C handle, still owned. */
    wtree *get() const noexcept { return tree_; }
    /** @brief True when a tree is owned. */
    explicit operator bool() const noexcept { return tree_ != nullptr; }
    /** @brief Gives up ownership; the caller destroys the tree. */
    wtree *release() noexcept { return std::exchange(tree_, nullptr); }
    /** @brief Destroys the tree owned so far and takes @p tree. */
    void reset(wtree *tree = nullptr) noexcept {
        if (wtree *old = std::exchange(tree_, tree))
            ::wtree_destroy(old);
    }

  private:
    wtree *tree_;
};

/** @} */

}  // namespace kelp

#endif
