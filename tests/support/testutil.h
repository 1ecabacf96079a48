// Shared helpers of the test programs: real files, processes and memory.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

namespace kelp_test {

// A fresh directory under /tmp, removed with its contents at scope exit.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

// Runs fn in a forked child and returns its wait status. The child ends with
// _exit(fn()) after flushing stdio, so nothing of the parent is run twice.
int run_in_child(const std::function<int()> &fn);
// Same, with the environment changed first: a value of nullptr unsets.
int run_in_child(const std::map<std::string, const char *> &env, const std::function<int()> &fn);
// Exit code of a status from run_in_child, or -1 when the child did not exit.
int exit_code(int status);

// Open descriptors of this process.
int count_open_fds();

// Memory whose last usable byte sits just before an unreadable page, so a
// read past the end faults.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t capacity = 4096);
    ~GuardedBuffer() { munmap(base_, mapped_); }
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;
    // n bytes ending right at the guard page.
    unsigned char *tail(size_t n);
    // A copy of s (with its NUL) ending right at the guard page.
    char *place(const std::string &s);

  private:
    unsigned char *base_ = nullptr;
    size_t usable_ = 0, mapped_ = 0;
};

// Sends this process's trace to a private file (once per process) and reads
// back the records written while the tap lives.
class TraceTap {
  public:
    TraceTap();
    std::string text() const;

  private:
    size_t start_;
};

}  // namespace kelp_test
