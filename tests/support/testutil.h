// Shared helpers of the test programs: real files, processes and memory. The
// test programs take the standard headers these include from here.
#pragma once

#include <kelp.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#ifdef KELP_TEST_COVERAGE
// The coverage runtime inside libkelp; children leave by _exit and would
// otherwise never write their counts.
extern "C" void __gcov_dump(void);
#endif

namespace kelp_test {

// A fresh directory under /tmp, removed with its contents at scope exit
// (symbolic links are removed, not followed).
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kelp-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The file from byte from on; "" when it cannot be read.
inline std::string read_file(const std::string &path, std::streamoff from = 0) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    if (in.seekg(from))
        out << in.rdbuf();
    return out.str();
}

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline bool file_exists(const std::string &path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// Runs fn in a forked child, with the environment changed first (a value of
// nullptr unsets), and returns its wait status. The child ends with
// _exit(fn()) after flushing stdio, so nothing of the parent is run twice.
inline int run_in_child(const std::map<std::string, const char *> &env,
                        const std::function<int()> &fn) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto &[name, value] : env)
            value == nullptr ? unsetenv(name.c_str()) : setenv(name.c_str(), value, 1);
        const int rc = fn();
        fflush(nullptr);
#ifdef KELP_TEST_COVERAGE
        __gcov_dump();
#endif
        _exit(rc);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR)
        continue;
    return pid < 0 ? -1 : status;
}

inline int run_in_child(const std::function<int()> &fn) {
    return run_in_child({}, fn);
}

// Exit code of a status from run_in_child, or -1 when the child did not exit.
inline int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Open descriptors of this process, less the listing's own.
inline int count_open_fds() {
    std::error_code error;
    const std::filesystem::directory_iterator fds("/proc/self/fd", error);
    return error ? -1 : static_cast<int>(std::distance(fds, {})) - 1;
}

// Memory between two unreadable pages: its last usable byte sits just
// before one, its first just after the other, so a read past either end
// faults.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t capacity = 4096) {
        const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        usable_ = (capacity + page - 1) / page * page;
        mapped_ = usable_ + 2 * page;
        void *p = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::runtime_error("mmap failed");
        base_ = static_cast<unsigned char *>(p) + page;
        mprotect(base_, usable_, PROT_READ | PROT_WRITE);
    }
    ~GuardedBuffer() { munmap(base_ - (mapped_ - usable_) / 2, mapped_); }
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;
    // n bytes ending right at the guard page.
    unsigned char *tail(size_t n) {
        return n <= usable_ ? base_ + usable_ - n
                            : throw std::length_error("GuardedBuffer too small");
    }
    // A copy of s (with its NUL) ending right at the guard page.
    char *place(const std::string &s) {
        return static_cast<char *>(std::memcpy(tail(s.size() + 1), s.c_str(), s.size() + 1));
    }
    // A copy of s (with its NUL) from skip bytes after the first guard page.
    char *place_at(size_t skip, const std::string &s) {
        return static_cast<char *>(std::memcpy(base_ + skip, s.c_str(), s.size() + 1));
    }

  private:
    unsigned char *base_ = nullptr;
    size_t usable_ = 0, mapped_ = 0;
};

// Sends this process's trace to a private file (once per process) and reads
// back the records written while the tap lives.
class TraceTap {
  public:
    TraceTap() : start_(std::ifstream(path(), std::ios::binary | std::ios::ate).tellg()) {}
    std::string text() const { return read_file(path(), start_); }

  private:
    // The name is a plain array, which must outlive the exit handler that
    // removes the file.
    static const char *path() {
        static char name[64];
        if (name[0] == '\0') {
            std::snprintf(name, sizeof name, "/tmp/kelp-trace-%ld.log",
                          static_cast<long>(getpid()));
            ::remove(name);
            if (dbginit(name, nullptr, -1) != 0)
                throw std::runtime_error(std::string("dbginit failed for ") + name);
            std::atexit([] { ::remove(name); });
        }
        return name;
    }
    std::streamoff start_;
};

}  // namespace kelp_test
