// The trace's destinations, and its exported functions.
//
// Every record goes out in one write() of whole lines, past stdio: to a
// file opened for appending, which the system keeps whole against the
// writes of other processes, and to a pipe or terminal in one piece of at
// most PIPE_BUF bytes when the record is no longer. A stream of the
// caller's is flushed first, so that what the caller queued in it stays
// ahead of the record.
#include "core/trace.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelp::trace {
namespace {

constexpr char fallback_path[] = "/tmp/KELP.LOG";
constexpr size_t stdio_bufsize = 4096;

enum class Mode { reopen, held };

// The destination, the lock holder's.
struct Output {
    Mode mode = Mode::held;
    FILE *held = nullptr;
    bool callers = false;  // the held stream was handed in
    bool cut = false;      // the destination ends inside a line cut by a failed write
    char path[1025] = "";  // the reopen mode's file
};

Output out;

// One buffer per live stream: the standard streams stay open (and keep
// their buffer) when another stream takes over, so they get their own.
char file_buf[stdio_bufsize];
char stdout_buf[stdio_bufsize];
char stderr_buf[stdio_bufsize];

thread_local char lvl_symbuf[21];  // trc_lvl2sym's, one per thread

// All of text, or as much as the descriptor takes before an error. A
// record cut short leaves the destination inside a line, and the next one
// starts with a newline.
void put(int fd, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    if (done > 0)
        out.cut = text[done - 1] != '\n';
}

// The reopen mode's file for one record. When it cannot be opened, the
// fallback file replaces it for good, after a notice of what failed; -1
// when neither opens.
int open_reopen_file() {
    constexpr int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = open(out.path, flags, 0666);
    if (fd >= 0)
        return fd;
    const int err = errno;
    char failed[sizeof out.path];
    std::memcpy(failed, out.path, sizeof failed);
    std::memcpy(out.path, fallback_path, sizeof fallback_path);
    out.cut = false;
    fd = open(out.path, flags, 0666);
    if (fd >= 0) {
        char notice[sizeof failed + 64];
        const int n =
            snprintf(notice, sizeof notice, "*** PID=%ld: Failed to open '%s', errno=%d ***\n",
                     static_cast<long>(getpid()), failed, err);
        put(fd, {notice, std::min(static_cast<size_t>(n), sizeof notice - 1)});
    }
    return fd;
}

void write_held(const Line &line) {
    // No stream held (a failed dbginit, or none named yet): standard error
    // rather than losing the record.
    FILE *f = out.held != nullptr ? out.held : stderr;
    if (out.held == nullptr || out.callers)
        fflush(f);
    const int fd = fileno(f);
    if (fd >= 0) {
        put(fd, line.text(out.cut));
    } else {  // a stream without a descriptor (fmemopen): through its buffer
        const std::string_view text = line.text();
        fwrite(text.data(), 1, text.size(), f);
        fflush(f);
    }
}

// A record, its own lock round.
void emit(long self, long pid, int lvl, const char *fmt, va_list ap) {
    const Line line(lvl, pid, fmt, ap);
    lock(self);
    write_record(line);
    unlock();
}

// A record that a configured trace filters costs nothing more: no clock,
// no process id, no file, no state of the thread.
bool filtered(int lvl) {
    return settings.configured.load(std::memory_order_acquire) &&
           lvl > settings.level.load(std::memory_order_relaxed);
}

// An exported call's record: configures the trace first if needed; pid 0
// is the caller's own. A cancellation point follows it in the caller.
void record(long pid, int lvl, const char *fmt, va_list ap) {
    const Call call;
    if (call.nested())
        return;
    const long self = getpid();
    if (!settings.configured.load(std::memory_order_acquire)) {
        lock(self);
        if (!settings.configured.load(std::memory_order_relaxed))
            configure(nullptr);
        unlock();
    }
    if (lvl <= settings.level.load(std::memory_order_relaxed))
        emit(self, pid != 0 ? pid : self, lvl, fmt, ap);
}

}  // namespace

void hold_stream(FILE *stream, bool callers) {
    char *buf = stream == stdout ? stdout_buf : stream == stderr ? stderr_buf : file_buf;
    setvbuf(stream, buf, _IOLBF, stdio_bufsize);
    out.held = stream;
    out.callers = callers;
    out.cut = false;
}

void release_held(FILE *kept) {
    FILE *old = out.held;
    out.held = nullptr;
    out.cut = false;
    if (old != nullptr && old != stdout && old != stderr && old != kept)
        fclose(old);
}

void choose_reopen() {
    out.mode = Mode::reopen;
}

bool reopen_chosen() {
    return out.mode == Mode::reopen;
}

bool set_reopen_path(const char *path) {
    const size_t len = std::strlen(path);
    if (len >= sizeof out.path)
        return false;
    std::memcpy(out.path, path, len + 1);
    out.cut = false;
    return true;
}

void write_record(const Line &line) {
    if (out.mode == Mode::held) {
        write_held(line);
        return;
    }
    const int fd = open_reopen_file();
    if (fd >= 0) {
        put(fd, line.text(out.cut));
        close(fd);
    }
}

void own_record(int lvl, const char *fmt, ...) {
    if (lvl > settings.level.load(std::memory_order_relaxed))
        return;
    va_list ap;
    va_start(ap, fmt);
    const Line line(lvl, getpid(), fmt, ap);
    va_end(ap);
    write_record(line);
}

void report_dropped(int count) {
    lock(getpid());
    own_record(lvl_err, "msglog: %d record(s) from a signal handler dropped", count);
    unlock();
}

}  // namespace kelp::trace

namespace kelp {

void trace_as(long pid, int lvl, const char *fmt, ...) {
    if (trace::filtered(lvl))
        return;
    va_list ap;
    va_start(ap, fmt);
    trace::record(pid, lvl, fmt, ap);
    va_end(ap);
    trace::cancel_point();
}

}  // namespace kelp

using namespace kelp::trace;

extern "C" {

int dbglvl(void) {
    return settings.level.load(std::memory_order_relaxed);
}

const char *trc_lvl2sym(int lvl) {
    if (const char *name = level_name(lvl))
        return name;
    snprintf(lvl_symbuf, sizeof lvl_symbuf, "<%d>", lvl);
    return lvl_symbuf;
}

int trc_sym2lvl(const char *sym) {
    for (int i = 0; level_name(i) != nullptr; ++i)
        if (strcasecmp(sym, level_name(i)) == 0)
            return i;
    return -1;
}

void dbgtrc(int lvl, int flags, const char *fmt, ...) {
    if (filtered(lvl))
        return;
    va_list ap;
    va_start(ap, fmt);
    if ((flags & TRC_VALIST) != 0) {
        va_list args;
        va_copy(args, *va_arg(ap, va_list *));
        record(0, lvl, fmt, args);
        va_end(args);
    } else {
        record(0, lvl, fmt, ap);
    }
    va_end(ap);
    cancel_point();
}

void gnl_msglog(const char *fmt, ...) {
    if (filtered(kelp::lvl_info))
        return;
    va_list ap;
    va_start(ap, fmt);
    record(0, kelp::lvl_info, fmt, ap);
    va_end(ap);
    cancel_point();
}

int dbginit(const char *path, FILE *stream, int fd) {
    int result = -1;
    {
        const Call call;
        if (!call.nested()) {
            const Destination to{path, stream, fd};
            lock(getpid());
            const bool first = !settings.configured.load(std::memory_order_relaxed);
            result = first ? configure(&to) : set_destination(to);
            unlock();
        }
    }
    cancel_point();
    return result;
}

}  // extern "C"
