#include "testutil.h"

#include <kelp.h>

#include <dirent.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelp_test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/kelp-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int run_in_child(const std::function<int()> &fn) {
    return run_in_child({}, fn);
}

int run_in_child(const std::map<std::string, const char *> &env, const std::function<int()> &fn) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        for (const auto &[name, value] : env) {
            if (value == nullptr)
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value, 1);
        }
        int rc = fn();
        fflush(nullptr);
        _exit(rc);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int count_open_fds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n - 1;  // the directory stream itself
}

GuardedBuffer::GuardedBuffer(size_t capacity) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    usable_ = (capacity + page - 1) / page * page;
    mapped_ = usable_ + page;
    void *p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    base_ = static_cast<unsigned char *>(p);
    mprotect(base_ + usable_, page, PROT_NONE);
}

GuardedBuffer::~GuardedBuffer() {
    munmap(base_, mapped_);
}

unsigned char *GuardedBuffer::tail(size_t n) {
    if (n > usable_)
        throw std::length_error("GuardedBuffer too small");
    return base_ + usable_ - n;
}

char *GuardedBuffer::place(const std::string &s) {
    auto *p = reinterpret_cast<char *>(tail(s.size() + 1));
    std::copy(s.begin(), s.end(), p);
    p[s.size()] = '\0';
    return p;
}

namespace {

const std::string &tap_path() {
    static const std::string path = [] {
        std::string p = "/tmp/kelp-trace-" + std::to_string(getpid()) + ".log";
        ::remove(p.c_str());
        if (dbginit(p.c_str(), nullptr, -1) != 0)
            throw std::runtime_error("dbginit failed for " + p);
        std::atexit([] { ::remove(tap_path().c_str()); });
        return p;
    }();
    return path;
}

}  // namespace

TraceTap::TraceTap() : start_(read_file(tap_path()).size()) {}

std::string TraceTap::text() const {
    std::string all = read_file(tap_path());
    return all.size() > start_ ? all.substr(start_) : std::string();
}

}  // namespace kelp_test
