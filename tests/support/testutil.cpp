#include "testutil.h"

#include <kelp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifdef KELP_TEST_COVERAGE
// The coverage runtime inside libkelp; children leave by _exit and would
// otherwise never write their counts.
extern "C" void __gcov_dump(void);
#endif

namespace kelp_test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/kelp-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ignored;  // symbolic links are removed, not followed
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool file_exists(const std::string &path) {
    return ::access(path.c_str(), F_OK) == 0;
}

int run_in_child(const std::function<int()> &fn) {
    return run_in_child({}, fn);
}

int run_in_child(const std::map<std::string, const char *> &env, const std::function<int()> &fn) {
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

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int count_open_fds() {
    std::error_code error;
    const std::filesystem::directory_iterator fds("/proc/self/fd", error);
    return error ? -1 : static_cast<int>(std::distance(fds, {})) - 1;  // less the listing's own
}

GuardedBuffer::GuardedBuffer(size_t capacity) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    usable_ = (capacity + page - 1) / page * page;
    mapped_ = usable_ + page;
    void *p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    base_ = static_cast<unsigned char *>(p);
    mprotect(base_ + usable_, page, PROT_NONE);
}

unsigned char *GuardedBuffer::tail(size_t n) {
    return n <= usable_ ? base_ + usable_ - n : throw std::length_error("GuardedBuffer too small");
}

char *GuardedBuffer::place(const std::string &s) {
    return static_cast<char *>(std::memcpy(tail(s.size() + 1), s.c_str(), s.size() + 1));
}

// The trace goes to a private file, opened once per process; the name is a
// plain array, which must outlive the exit handler that removes the file.
static const char *tap_path() {
    static char path[64];
    if (path[0] == '\0') {
        std::snprintf(path, sizeof path, "/tmp/kelp-trace-%ld.log", static_cast<long>(getpid()));
        ::remove(path);
        if (dbginit(path, nullptr, -1) != 0)
            throw std::runtime_error(std::string("dbginit failed for ") + path);
        std::atexit([] { ::remove(path); });
    }
    return path;
}

TraceTap::TraceTap() : start_(read_file(tap_path()).size()) {}

std::string TraceTap::text() const {
    const std::string all = read_file(tap_path());
    return all.size() > start_ ? all.substr(start_) : std::string();
}

}  // namespace kelp_test
