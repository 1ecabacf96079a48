// The trace: levels, one-time configuration from the environment, records.
#include "core/internal.h"

#include <strings.h>
#include <sys/time.h>
#include <pthread.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

constexpr const char *trc_txt[] = {"LOG", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"};
constexpr int trc_txt_count = sizeof trc_txt / sizeof trc_txt[0];
constexpr const char fallback_path[] = "/tmp/KELP.LOG";
constexpr int lvl_err = 1;
constexpr int lvl_info = 3;

int trc_lvl = lvl_info;
int timestamp_prec = TRC_PREC_MILLI;
const char *timestamp_fmt = nullptr;
int trc_mode = TRC_MODE_HELD;
FILE *trc_fptr = nullptr;
char trc_pthnam[1025];
int trace_is_init = 0;

// One line buffer per live stream: the standard streams stay open (and keep
// their buffer) when another stream takes over, so they get their own.
char stdiobuf[4096];
char stdout_buf[4096];
char stderr_buf[4096];

char lvl_symbuf[21];

// The timestamp text changes once a second; keep the last one.
struct StampCache {
    time_t sec = -1;
    const char *fmt = nullptr;
    char text[64] = "";
    size_t len = 0;
} stamp_cache;

// getpid is a system call; the trace asks for it on every record. The cache
// is dropped in every child made by fork.
long cached_pid = 0;

long trace_pid() {
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, [] { cached_pid = 0; });
        return true;
    }();
    (void)registered;
    if (cached_pid == 0)
        cached_pid = static_cast<long>(getpid());
    return cached_pid;
}

void hold_stream(FILE *stream) {
    char *buf = stream == stdout ? stdout_buf : stream == stderr ? stderr_buf : stdiobuf;
    setvbuf(stream, buf, _IOLBF, sizeof stdiobuf);
    trc_fptr = stream;
}

// The timestamp of a record, in local time, without its fraction.
const StampCache &stamp_for(time_t sec) {
    StampCache &c = stamp_cache;
    if (c.sec == sec && c.fmt == timestamp_fmt)
        return c;
    struct tm tm {};
    localtime_r(&sec, &tm);
    size_t n = 0;
    if (timestamp_fmt != nullptr && timestamp_fmt[0] != '\0')
        n = strftime(c.text, sizeof c.text, timestamp_fmt, &tm);
    if (timestamp_fmt != nullptr && timestamp_fmt[0] == '\0') {
        c.text[0] = '\0';
    } else if (n == 0) {
        // No custom format, or its expansion does not fit in 63 characters:
        // the built-in format keeps the record dated.
        int w = snprintf(c.text, sizeof c.text, "%04d%02d%02d-%02d:%02d:%02d", tm.tm_year + 1900,
                         tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        n = w > 0 ? static_cast<size_t>(w) : 0;
    }
    c.len = n;
    c.sec = sec;
    c.fmt = timestamp_fmt;
    return c;
}

// Pieces 1 to 3 of a record: timestamp, fraction, " (LEVEL-pid): ".
size_t format_prefix(char *out, size_t size, const struct timeval &tv, int lvl, long pid) {
    const StampCache &stamp = stamp_for(tv.tv_sec);
    std::memcpy(out, stamp.text, stamp.len);
    size_t n = stamp.len;
    const char *name = lvl >= 0 && lvl < trc_txt_count ? trc_txt[lvl] : nullptr;
    long usec = static_cast<long>(tv.tv_usec);
    int w;
    if (timestamp_prec == TRC_PREC_MICRO)
        w = snprintf(out + n, size - n, ".%06ld", usec);
    else if (timestamp_prec == TRC_PREC_MILLI)
        w = snprintf(out + n, size - n, ".%03ld", usec / 1000);
    else
        w = 0;
    n += static_cast<size_t>(w > 0 ? w : 0);
    if (name != nullptr)
        w = snprintf(out + n, size - n, " (%s-%ld): ", name, pid);
    else
        w = snprintf(out + n, size - n, " (<%d>-%ld): ", lvl, pid);
    n += static_cast<size_t>(w > 0 ? w : 0);
    return n < size ? n : size - 1;
}

// Opens the reopen-mode file; on failure switches for good to the fallback
// file and notes the failure there. Null when neither opens.
FILE *open_reopen_file() {
    FILE *out = fopen(trc_pthnam, "ae");
    if (out != nullptr)
        return out;
    int err = errno;
    char failed[sizeof trc_pthnam];
    std::memcpy(failed, trc_pthnam, sizeof failed);
    std::memcpy(trc_pthnam, fallback_path, sizeof fallback_path);
    out = fopen(trc_pthnam, "ae");
    if (out == nullptr)
        return nullptr;
    fprintf(out, "*** PID=%ld: Failed to open '%s', errno=%d ***\n", static_cast<long>(getpid()),
            failed, err);
    return out;
}

void write_record(int lvl, const char *fmt, va_list ap, long pid) {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);

    FILE *out;
    bool close_after = false;
    if (trc_mode == TRC_MODE_HELD) {
        // No held stream (a failed dbginit): standard error rather than losing it.
        out = trc_fptr != nullptr ? trc_fptr : stderr;
    } else if (trc_mode == TRC_MODE_REOPEN) {
        out = open_reopen_file();
        if (out == nullptr)
            return;
        close_after = true;
    } else {
        FILE *err = fopen(fallback_path, "ae");
        if (err != nullptr) {
            fprintf(err, "INTERNAL ERROR (PID=%ld): trc_mode=%d [%s]\n",
                    static_cast<long>(getpid()), trc_mode, fmt);
            fclose(err);
        }
        return;
    }

    char prefix[128];
    size_t n = format_prefix(prefix, sizeof prefix, tv, lvl, pid);
    flockfile(out);
    fwrite_unlocked(prefix, 1, n, out);
    vfprintf(out, fmt, ap);
    fputc_unlocked('\n', out);
    funlockfile(out);
    if (close_after)
        fclose(out);
}

int parse_level(const char *text) {
    if (!isdigit(static_cast<unsigned char>(text[0])))
        return trc_sym2lvl(text);
    long v = strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

int parse_precision(const char *text) {
    constexpr const char *names[] = {"NONE", "MILLI", "MICRO"};
    for (int i = 0; i < 3; ++i)
        if (strcasecmp(text, names[i]) == 0)
            return TRC_PREC_NONE + i;
    return -1;
}

// Reads the trace configuration from the environment, once per process.
// dest_given: dbginit is running and names the destination itself.
int init_trace(int dest_given) {
    FILE *saved = trc_fptr;
    if (dest_given == 0)
        trc_fptr = stderr;  // where reports of bad settings go
    trace_is_init = 1;

    auto fail = [&] {
        if (dest_given != 0)
            trc_fptr = saved;
        return -1;
    };

    if (const char *v = getenv("KELPTRC_LEVEL")) {
        int lvl = parse_level(v);
        if (lvl < 1) {
            dbgtrc(lvl_err, 0, "msglog: Invalid trace level ($%s=%s)", "KELPTRC_LEVEL", v);
            return fail();
        }
        trc_lvl = lvl;
    }
    if (const char *v = getenv("KELPTRC_TIMEPREC")) {
        int prec = parse_precision(v);
        if (prec < 0) {
            dbgtrc(lvl_err, 0, "msglog: Invalid timestamp precision ($%s=%s)", "KELPTRC_TIMEPREC", v);
            return fail();
        }
        timestamp_prec = prec;
    }
    timestamp_fmt = getenv("KELPTRC_TIMEFMT");
    trc_fptr = saved;
    if (dest_given != 0)
        return 0;

    char path[1024];
    const char *name = getenv("KELPTRC_FILENAME");
    if (name == nullptr) {
        const char *home = getenv("HOME");
        snprintf(path, sizeof path, "%s/%s", home != nullptr ? home : ".", "KELP.LOG");
        dbginit(path, nullptr, -1);
    } else if (strcasecmp(name, "STDOUT") == 0) {
        dbginit(nullptr, stdout, -1);
    } else if (strcasecmp(name, "STDERR") == 0) {
        dbginit(nullptr, stderr, -1);
    } else {
        snprintf(path, sizeof path, "%s", name);
        dbginit(path, nullptr, -1);
    }
    return 0;
}

// Configures the trace on the first record; true when lvl is written.
bool passes(int lvl) {
    if (trace_is_init == 0)
        init_trace(0);
    return lvl <= trc_lvl;
}

}  // namespace

namespace kelp {

void trace_as(long pid, int lvl, const char *fmt, ...) {
    if (!passes(lvl))
        return;
    va_list ap;
    va_start(ap, fmt);
    write_record(lvl, fmt, ap, pid);
    va_end(ap);
}

}  // namespace kelp

extern "C" {

int dbglvl(void) {
    return trc_lvl;
}

const char *trc_lvl2sym(int lvl) {
    if (lvl >= 0 && lvl < trc_txt_count)
        return trc_txt[lvl];
    snprintf(lvl_symbuf, sizeof lvl_symbuf, "<%d>", lvl);
    return lvl_symbuf;
}

int trc_sym2lvl(const char *sym) {
    for (int i = 0; i < trc_txt_count; ++i)
        if (strcasecmp(sym, trc_txt[i]) == 0)
            return i;
    return -1;
}

void dbgtrc(int lvl, int flags, const char *fmt, ...) {
    if (!passes(lvl))
        return;
    va_list ap;
    va_start(ap, fmt);
    if ((flags & TRC_VALIST) != 0) {
        va_list args;
        va_copy(args, *va_arg(ap, va_list *));
        write_record(lvl, fmt, args, trace_pid());
        va_end(args);
    } else {
        write_record(lvl, fmt, ap, trace_pid());
    }
    va_end(ap);
}

void gnl_msglog(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list *pap = &ap;
    dbgtrc(lvl_info, TRC_VALIST, fmt, pap);
    va_end(ap);
}

int dbginit(const char *path, FILE *stream, int fd) {
    if (trace_is_init == 0 && init_trace(1) != 0)
        return -1;
    if (trc_fptr != nullptr) {
        // Standard streams stay open; so does a stream handed in again.
        if (trc_fptr != stdout && trc_fptr != stderr && trc_fptr != stream)
            fclose(trc_fptr);
        trc_fptr = nullptr;
    }

    if (path != nullptr) {
        const char *reopen = getenv("KELPTRC_REOPEN");
        if (reopen != nullptr && strcasecmp(reopen, "y") == 0)
            trc_mode = TRC_MODE_REOPEN;
        if (trc_mode == TRC_MODE_HELD) {
            FILE *f = fopen(path, "ae");
            if (f == nullptr) {
                dbgtrc(lvl_err, 0, "dbginit: fopen(%s) failed [errno=%d]", path, errno);
                return -1;
            }
            hold_stream(f);
            return 0;
        }
        size_t len = strlen(path);
        if (len > sizeof trc_pthnam - 1) {
            dbgtrc(lvl_err, 0, "dbginit: pthnam too long [%s]", path);
            return -1;
        }
        std::memcpy(trc_pthnam, path, len + 1);
        return 0;
    }

    if (stream != nullptr) {
        fflush(stream);
        hold_stream(stream);
        return 0;
    }

    FILE *f = fdopen(fd, "a");
    if (f == nullptr) {
        dbgtrc(lvl_err, 0, "dbginit: fdopen() failed on fd=%d [errno=%d]", fd, errno);
        return -1;
    }
    hold_stream(f);
    return 0;
}

}  // extern "C"
