/**
 * @file kelp/list.hpp
 * @brief C++20 layer: the owner of a linked list and ranges over its nodes.
 */
#ifndef KELP_LIST_HPP
#define KELP_LIST_HPP

#include <kelp/result.hpp>

#include <cstddef>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

namespace kelp {

/** @addtogroup kelp_cxx
 *  @{ */

/**
 * @brief Forward iteration over the nodes of an ::llist, by reference.
 *
 * The iterator remembers the next node before the loop body runs, so the
 * body may delete or extract the node it is given; nodes inserted right
 * after it are not visited.
 */
class node_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;  ///< walks one way
    using value_type = llist_node;                        ///< a node
    using difference_type = std::ptrdiff_t;               ///< steps
    using pointer = llist_node *;                         ///< node pointer
    using reference = llist_node &;                       ///< node reference

    /** @brief The end of every list. */
    node_iterator() noexcept = default;
    /** @brief Starts at @p node (null: the end). */
    explicit node_iterator(llist_node *node) noexcept
        : node_(node), next_(node != nullptr ? node->next : nullptr) {}

    /** @brief The current node. */
    llist_node &operator*() const noexcept { return *node_; }
    /** @brief The current node. */
    llist_node *operator->() const noexcept { return node_; }
    /** @brief Moves to the node that followed the current one. */
    node_iterator &operator++() noexcept {
        node_ = next_;
        next_ = node_ != nullptr ? node_->next : nullptr;
        return *this;
    }
    /** @brief Moves on, giving back the position before. */
    node_iterator operator++(int) noexcept {
        node_iterator before = *this;
        ++*this;
        return before;
    }
    /** @brief Same position. */
    friend bool operator==(const node_iterator &a, const node_iterator &b) noexcept {
        return a.node_ == b.node_;
    }

  private:
    llist_node *node_ = nullptr;
    llist_node *next_ = nullptr;
};

/** @brief The nodes of a C list header for a range-for; owns nothing. */
class node_range {
  public:
    /** @brief The nodes of @p list, which must outlive the range. */
    explicit node_range(const llist &list) noexcept : head_(list.head) {}
    /** @brief The head node. */
    node_iterator begin() const noexcept { return node_iterator(head_); }
    /** @brief Past the tail. */
    node_iterator end() const noexcept { return {}; }

  private:
    llist_node *head_;
};

/**
 * @brief Owner of a list (::llist): clears it with ::llist_clear.
 *
 * `for (llist_node &n : list)` walks the nodes from head to tail. Each member
 * is one C call on the header it holds; push_back_copy() adds a copy of the
 * bytes into the payload that the C call allocated. One thread at a time per
 * list.
 */
class list {
  public:
    /** @brief An empty list. */
    list() noexcept = default;
    /** @brief Frees every node and owned payload. */
    ~list() { clear(); }
    /** @brief Takes the other's nodes; the other is left empty. */
    list(list &&other) noexcept : l_(std::exchange(other.l_, llist{})) {}
    /** @brief Frees this list's nodes and takes the other's. */
    list &operator=(list &&other) noexcept {
        if (this != &other) {
            clear();
            l_ = std::exchange(other.l_, llist{});
        }
        return *this;
    }
    list(const list &) = delete;
    list &operator=(const list &) = delete;

    /** @brief The C header, for the C functions; still owned. */
    llist *get() noexcept { return &l_; }
    /** @brief The C header, for the C functions; still owned. */
    const llist *get() const noexcept { return &l_; }
    /** @brief Number of nodes. */
    int size() const noexcept { return l_.count; }
    /** @brief True when the list has no node. */
    bool empty() const noexcept { return l_.count == 0; }
    /** @brief The head node, or null. */
    llist_node *front() const noexcept { return l_.head; }
    /** @brief The tail node, or null. */
    llist_node *back() const noexcept { return l_.tail; }
    /** @brief The head node. */
    node_iterator begin() const noexcept { return node_iterator(l_.head); }
    /** @brief Past the tail. */
    node_iterator end() const noexcept { return {}; }

    /**
     * @brief Inserts after @p pos (null: at the head) a new node with an
     * owned, zeroed payload of @p size bytes (0: no payload).
     * @return the node, or the error when an allocation failed
     */
    result<llist_node *> insert_after(llist_node *pos, int size = 0) {
        return linked(::llist_insert_a(&l_, pos, nullptr, size));
    }
    /** @brief As insert_after(), before @p pos (null: at the tail). */
    result<llist_node *> insert_before(llist_node *pos, int size = 0) {
        return linked(::llist_insert_b(&l_, pos, nullptr, size));
    }
    /** @brief A new node with a zeroed payload of @p size bytes at the tail. */
    result<llist_node *> push_back(int size = 0) { return insert_before(nullptr, size); }
    /** @brief A new node with a zeroed payload of @p size bytes at the head. */
    result<llist_node *> push_front(int size = 0) { return insert_after(nullptr, size); }

    /**
     * @brief A new tail node owning a copy of @p bytes and a terminating NUL
     * (a payload of `bytes.size() + 1` bytes), so that the list's string sort
     * and any C string reader stop inside it.
     */
    result<llist_node *> push_back_copy(std::string_view bytes) {
        if (bytes.size() >= detail::int_max)
            return kelp::error{EOVERFLOW, "payload too long"};
        auto node = push_back(static_cast<int>(bytes.size()) + 1);
        if (node && !bytes.empty())
            std::memcpy((*node)->data, bytes.data(), bytes.size());  // the NUL is there: zeroed
        return node;
    }
    /** @brief A new tail node referring to @p data, which the list never frees. */
    result<llist_node *> push_back_ref(void *data) {
        auto node = push_back(0);
        if (node)
            (*node)->data = data;
        return node;
    }

    /** @brief ::llist_extract: unlinks @p node, which then belongs to the caller. */
    void extract(llist_node *node) noexcept { ::llist_extract(&l_, node); }
    /** @brief ::llist_delete: unlinks and frees @p node and its owned payload. */
    void erase(llist_node *node) noexcept { ::llist_delete(&l_, node); }
    /** @brief ::llist_clear: frees every node. */
    void clear() noexcept { ::llist_clear(&l_); }
    /** @brief ::llist_reverse. */
    void reverse() noexcept { ::llist_reverse(&l_); }
    /** @brief ::llist_strsort on the key at @p offset of each payload. */
    void sort(int offset, unsigned flags = 0) noexcept { ::llist_strsort(&l_, offset, flags); }
    /** @brief ::llist_rank of @p node: its position from 0, or -1. */
    int rank(const llist_node *node) const noexcept { return ::llist_rank(&l_, node); }

    /** @brief Moves every node of @p other to the tail (::llist_concat); @p other ends empty. */
    void splice_back(list &other) noexcept {
        if (&other == this)
            return;
        ::llist_concat(&l_, &other.l_);
        other.l_ = llist{};
    }

    /**
     * @brief ::llist_clone onto the tail of @p dst: copies of the payloads,
     * or with @p share references to them (this list must then outlive @p dst).
     * @return success, or the error when a node could not be allocated (the
     * nodes copied so far stay in @p dst)
     */
    result<void> clone_into(list &dst, bool share = false) const {
        if (::llist_clone(&l_, &dst.l_, share ? 1 : 0) != 0)
            return kelp::error{ENOMEM, "llist_clone: node allocation failed"};
        return {};
    }

  private:
    static result<llist_node *> linked(llist_node *node) {
        // The insert functions report only to the trace; gnl_usrmsg has nothing new.
        if (node == nullptr)
            return kelp::error{ENOMEM, "llist: node allocation failed"};
        return node;
    }

    llist l_{};
};

/** @} */

}  // namespace kelp

#endif
