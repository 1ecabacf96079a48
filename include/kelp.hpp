/**
 * @file kelp.hpp
 * @brief C++20 layer over the C interface of libkelp (header only).
 *
 * Owners that release what the C functions hand out (a word tree, a list,
 * a loaded file, a running command), `std::string_view` forms of the
 * functions that take a pointer and a length, and results that carry the
 * text of ::gnl_usrmsg on failure. Nothing here throws; every call maps
 * onto one C call, so the layer costs nothing over calling C directly.
 *
 * @code
 * #include <kelp.hpp>
 *
 * auto tree = kelp::word_tree::create("ABCDEFGHIJKLMNOPQRSTUVWXYZ", true);
 * if (!tree)
 *     std::fprintf(stderr, "%s\n", tree.error().message.c_str());
 * tree->add("kelp", 42);
 * int token = tree->find("KELP");   // 42
 * @endcode
 *
 * Like the C interface, the layer is for one thread at a time.
 */
#ifndef KELP_HPP
#define KELP_HPP

#if !defined(__cplusplus) || __cplusplus < 202002L
#error "kelp.hpp needs C++20; C programs include <kelp.h>"
#endif

#include <kelp.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <poll.h>
#include <unistd.h>

/** @brief The C++ layer of libkelp. */
namespace kelp {

/** @defgroup kelp_cxx C++ layer
 *  @brief RAII owners, string_view forms and results over the C interface.
 *  @{ */

/**
 * @brief A failure: a number and the text that explains it.
 *
 * `message` is a copy of ::gnl_usrmsg taken right after the failing call,
 * or a text of the layer itself for failures that the C function reports
 * only to the trace (list node allocation).
 */
struct error {
    int code = 0;        ///< the C call's failure value or error number
    std::string message; ///< what went wrong, in the library's words

    /** @brief An error carrying @p code and the current text of ::gnl_usrmsg. */
    static error from_usrmsg(int code) { return error{code, std::string(gnl_usrmsg)}; }
};

/**
 * @brief Either a value or an ::kelp::error.
 *
 * Test it with `if (r)`, then use `*r` or `r->`; on failure `r.error()`
 * tells why. Reading the value of a failed result is a programming error.
 */
template <class T>
class result {
  public:
    /** @brief A successful result holding @p value. */
    result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    /** @brief A failed result holding @p err. */
    result(kelp::error err) : v_(std::in_place_index<1>, std::move(err)) {}

    /** @brief True when the call succeeded. */
    bool ok() const noexcept { return v_.index() == 0; }
    /** @brief Same as ok(). */
    explicit operator bool() const noexcept { return ok(); }

    /** @brief The value; only on success. */
    T &value() & noexcept { return *std::get_if<0>(&v_); }
    /** @brief The value; only on success. */
    const T &value() const & noexcept { return *std::get_if<0>(&v_); }
    /** @brief The value, moved out; only on success. */
    T &&value() && noexcept { return std::move(*std::get_if<0>(&v_)); }
    /** @brief The value; only on success. */
    T &operator*() & noexcept { return value(); }
    /** @brief The value; only on success. */
    const T &operator*() const & noexcept { return value(); }
    /** @brief The value, moved out; only on success. */
    T &&operator*() && noexcept { return std::move(*std::get_if<0>(&v_)); }
    /** @brief Member access to the value; only on success. */
    T *operator->() noexcept { return &value(); }
    /** @brief Member access to the value; only on success. */
    const T *operator->() const noexcept { return &value(); }

    /** @brief The failure; only when ok() is false. */
    const kelp::error &error() const noexcept { return *std::get_if<1>(&v_); }

  private:
    std::variant<T, kelp::error> v_;
};

/** @brief Result of a call that gives back nothing but success or failure. */
template <>
class result<void> {
  public:
    /** @brief A successful result. */
    result() = default;
    /** @brief A failed result holding @p err. */
    result(kelp::error err) : failed_(true), err_(std::move(err)) {}

    /** @brief True when the call succeeded. */
    bool ok() const noexcept { return !failed_; }
    /** @brief Same as ok(). */
    explicit operator bool() const noexcept { return ok(); }
    /** @brief The failure; only when ok() is false. */
    const kelp::error &error() const noexcept { return err_; }

  private:
    bool failed_ = false;
    kelp::error err_;
};

/** @brief The current text of ::gnl_usrmsg. */
inline std::string_view usrmsg() noexcept { return gnl_usrmsg; }

/** @brief The library's version, "1.2.3". */
inline std::string_view version() noexcept { return gnl_verstr(); }

/// @cond detail
namespace detail {

// C lengths are int: views longer than INT_MAX are taken in pieces.
constexpr std::size_t int_max = static_cast<std::size_t>(INT_MAX);

inline int clamp_len(std::size_t n) noexcept {
    return n > int_max ? INT_MAX : static_cast<int>(n);
}

// Runs a C call whose failure shows only as a new text in gnl_usrmsg, and
// puts the caller's text back when there was none: the layer leaves
// gnl_usrmsg as the C interface would.
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
 * @name Byte strings
 * `std::string_view` forms of the C functions that take a pointer and a length.
 * @{
 */

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

/**
 * @brief Owner of a word tree (::wtree): destroys it with ::wtree_destroy.
 *
 * Words are `std::string_view`s and need no terminating NUL.
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
        // The failure message prints the word as a C string: hand over a
        // terminated copy, since a view need not end in a NUL.
        char small[128];
        std::string big;
        const char *text = small;
        if (word.size() < sizeof small) {
            std::memcpy(small, word.data(), word.size());
            small[word.size()] = '\0';
        } else {
            if (word.size() > detail::int_max)
                return kelp::error{EOVERFLOW, "word too long"};
            big.assign(word);
            text = big.c_str();
        }
        int rc = ::wtree_add_word(tree_, text, static_cast<int>(word.size()), token);
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

/**
 * @brief Forward iteration over the nodes of an ::llist, by reference.
 *
 * The iterator remembers the next node before the loop body runs, so the
 * body may delete or extract the node it is given; nodes inserted right
 * after it are not visited.
 */
class node_iterator {
  public:
    using iterator_category = std::forward_iterator_tag; ///< walks one way
    using value_type = llist_node;                       ///< a node
    using difference_type = std::ptrdiff_t;              ///< steps
    using pointer = llist_node *;                        ///< node pointer
    using reference = llist_node &;                      ///< node reference

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
 * `for (llist_node &n : list)` walks the nodes from head to tail.
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

    /** @brief A new tail node owning a copy of @p bytes. */
    result<llist_node *> push_back_copy(std::string_view bytes) {
        if (bytes.size() > detail::int_max)
            return kelp::error{EOVERFLOW, "payload too long"};
        // An empty payload still needs a node that owns something: keep one byte.
        int size = bytes.empty() ? 1 : static_cast<int>(bytes.size());
        auto node = push_back(size);
        if (node && !bytes.empty())
            std::memcpy((*node)->data, bytes.data(), bytes.size());
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

/**
 * @brief Owner of a buffer that ::file2buf allocated: freed with `free`.
 *
 * The buffer holds head() reserved bytes, the file's size() bytes and
 * tail() reserved bytes; the reserves start zeroed.
 */
class file_buffer {
  public:
    /** @brief No buffer. */
    file_buffer() noexcept = default;
    /** @brief Frees the buffer. */
    ~file_buffer() { std::free(buf_); }
    /** @brief Takes the other's buffer; the other is left empty. */
    file_buffer(file_buffer &&other) noexcept
        : buf_(std::exchange(other.buf_, nullptr)), size_(std::exchange(other.size_, 0)),
          head_(std::exchange(other.head_, 0)), tail_(std::exchange(other.tail_, 0)) {}
    /** @brief Frees this buffer and takes the other's. */
    file_buffer &operator=(file_buffer &&other) noexcept {
        if (this != &other) {
            std::free(buf_);
            buf_ = std::exchange(other.buf_, nullptr);
            size_ = std::exchange(other.size_, 0);
            head_ = std::exchange(other.head_, 0);
            tail_ = std::exchange(other.tail_, 0);
        }
        return *this;
    }
    file_buffer(const file_buffer &) = delete;
    file_buffer &operator=(const file_buffer &) = delete;

    /**
     * @brief Loads the file at @p path with @p head and @p tail reserved bytes.
     * @return the buffer, or the error with the message of ::file2buf
     */
    static result<file_buffer> load(const char *path, int head = 0, int tail = 0) {
        return load_from(-1, path, head, tail);
    }
    /** @brief As load(const char *, int, int). */
    static result<file_buffer> load(const std::string &path, int head = 0, int tail = 0) {
        return load_from(-1, path.c_str(), head, tail);
    }
    /**
     * @brief Loads from the open descriptor @p fd (left open) from its offset;
     * @p name, if any, names the file in messages.
     */
    static result<file_buffer> load_fd(int fd, int head = 0, int tail = 0,
                                       const char *name = nullptr) {
        return load_from(fd, name, head, tail);
    }

    /** @brief The file's bytes. */
    std::string_view view() const noexcept {
        return {reinterpret_cast<const char *>(data()), static_cast<std::size_t>(size_)};
    }
    /** @brief First byte of the file. */
    unsigned char *data() const noexcept { return buf_ != nullptr ? buf_ + head_ : nullptr; }
    /** @brief The file's size in bytes. */
    int size() const noexcept { return size_; }
    /** @brief Bytes reserved before the file. */
    int head() const noexcept { return head_; }
    /** @brief Bytes reserved after the file. */
    int tail() const noexcept { return tail_; }
    /** @brief The whole buffer: head reserve, file, tail reserve. */
    std::span<unsigned char> buffer() const noexcept {
        return {buf_, buf_ != nullptr ? static_cast<std::size_t>(head_ + size_ + tail_) : 0u};
    }
    /** @brief Gives up the buffer; the caller frees it with `free`. */
    unsigned char *release() noexcept {
        size_ = head_ = tail_ = 0;
        return std::exchange(buf_, nullptr);
    }

  private:
    static result<file_buffer> load_from(int fd, const char *path, int head, int tail) {
        int len = 0;
        unsigned char *buf = ::file2buf(fd, path, nullptr, -1, &len, head, tail);
        if (buf == nullptr)
            return kelp::error::from_usrmsg(-1);
        file_buffer fb;
        fb.buf_ = buf;
        fb.size_ = len;
        fb.head_ = head;
        fb.tail_ = tail;
        return fb;
    }

    unsigned char *buf_ = nullptr;
    int size_ = 0;
    int head_ = 0;
    int tail_ = 0;
};

/**
 * @brief Owner of a command started by ::run_syscmd: its descriptors and
 * its child, ended with ::close_syscmd.
 *
 * close() gives the command's exit status; an owner destroyed without
 * close() closes the command the same way (waiting up to a second, then
 * killing its process group) and leaves ::gnl_usrmsg as it was.
 */
class command {
  public:
    /** @brief No command. */
    command() noexcept = default;
    /** @brief Closes the command if close() was not called. */
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
        : rfd_(std::exchange(other.rfd_, -1)), wfd_(std::exchange(other.wfd_, -1)),
          pid_(std::exchange(other.pid_, -1)), pty_(other.pty_) {}
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

    /** @brief Writes all of @p bytes to the command's input. */
    result<void> write(std::string_view bytes) noexcept {
        while (!bytes.empty()) {
            ssize_t n = ::write(wfd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return sys_error("write");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return {};
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

    static kelp::error sys_error(const char *what) {
        int err = errno;
        return kelp::error{err, std::string(what) + "() failed (errno=" + std::to_string(err) +
                                    ")"};
    }

    int rfd_ = -1;
    int wfd_ = -1;
    int pid_ = -1;
    bool pty_ = false;
};

/** @} */

}  // namespace kelp

#endif
