/**
 * @file kelp/file.hpp
 * @brief C++20 layer: a whole file loaded into memory, owned.
 */
#ifndef KELP_FILE_HPP
#define KELP_FILE_HPP

#include <kelp/result.hpp>

#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace kelp {

/** @addtogroup kelp_cxx
 *  @{ */

/**
 * @brief Owner of a buffer that ::file2buf allocated: freed with `free`.
 *
 * The buffer holds head() reserved bytes, the file's size() bytes and
 * tail() reserved bytes; the reserves start zeroed. load() is one C call and
 * keeps four numbers; nothing else is copied. One thread at a time per
 * buffer.
 */
class file_buffer {
  public:
    /** @brief No buffer. */
    file_buffer() noexcept = default;
    /** @brief Frees the buffer. */
    ~file_buffer() { std::free(buf_); }
    /** @brief Takes the other's buffer; the other is left empty. */
    file_buffer(file_buffer &&other) noexcept
        : buf_(std::exchange(other.buf_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          head_(std::exchange(other.head_, 0)),
          tail_(std::exchange(other.tail_, 0)) {}
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

/** @} */

}  // namespace kelp

#endif
