// Loading a whole file into memory, with head and tail reserves.
#include "core/internal.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *shown(const char *path) { return path != nullptr ? path : "<NULL>"; }

// Size and reserves must fit the int arithmetic of the interface; anything
// else is refused up front rather than wrapped into a small allocation or an
// offset outside the buffer.
int check_sizes(off_t size, int head, int tail) {
    if (head < 0 || tail < 0)
        return EINVAL;
    if (size < 0 || static_cast<int64_t>(size) + head + tail > INT_MAX)
        return EOVERFLOW;
    return 0;
}

}  // namespace

extern "C" {

// Returns the buffer holding head reserve, file bytes and tail reserve (the
// caller's, or a new one to free), or null with gnl_usrmsg set. A descriptor
// passed in is read from its offset and left open; one opened here is closed.
unsigned char *file2buf(int fd, const char *path, unsigned char *buf, int bufsize, int *len,
                        int head, int tail) {
    kelp::UniqueFd owned;
    if (fd == -1) {
        if (path == nullptr) {
            errno = EFAULT;
        } else {
            // The library's descriptor must not leak into commands run meanwhile.
            owned.reset(::open(path, O_RDONLY | O_CLOEXEC));
            fd = owned.get();
        }
        if (fd < 0) {
            int err = errno;
            kelp::set_usrmsg("open(%s) failed, errno=%d [%s]", shown(path), err,
                             kelp::errtext(err));
            return nullptr;
        }
    }
    const char *name = shown(path);

    struct stat st;
    int err = ::fstat(fd, &st) != 0 ? errno : check_sizes(st.st_size, head, tail);
    if (err != 0) {
        kelp::set_usrmsg("Failed to stat '%s', errno=%d [%s]", name, err, kelp::errtext(err));
        errno = err;
        return nullptr;
    }
    const int size = static_cast<int>(st.st_size);
    const int total = head + size + tail;

    const bool allocated = bufsize == -1;
    unsigned char *mem = buf;
    if (allocated) {
        // At least one byte, so that a null result always means failure.
        mem = static_cast<unsigned char *>(std::malloc(total > 0 ? total : 1));
        if (mem == nullptr) {
            kelp::set_usrmsg("Failed to malloc %d bytes for file=%s", total, name);
            return nullptr;
        }
    } else if (total > bufsize) {
        kelp::set_usrmsg("Buffer not big enough for file=%s (%d vs %d+%d+%d)", name, bufsize,
                         head, size, tail);
        return nullptr;
    }

    // One read of exactly the status size; anything less is a failure, so a
    // file that changed under us is not taken for complete. A size of 0
    // (pipes, terminals, empty files) still reads, so that a descriptor that
    // cannot be read from fails rather than loading as empty.
    errno = 0;
    ssize_t got = ::read(fd, mem + head, static_cast<size_t>(size));
    if (got != size) {
        err = errno;
        owned.reset();
        kelp::set_usrmsg("read() failed for %ld-byte file=%s, retval=%d, errno=%d [%s]\n",
                         static_cast<long>(size), name, static_cast<int>(got), err,
                         kelp::errtext(err));
        if (allocated)
            std::free(mem);
        errno = err;
        return nullptr;
    }

    if (allocated) {
        std::memset(mem, 0, static_cast<size_t>(head));
        std::memset(mem + head + size, 0, static_cast<size_t>(tail));
    }
    if (len != nullptr)
        *len = size;
    return mem;
}

}  // extern "C"
