// The trace: levels, one-time configuration from the environment, records.
//
// One state holds everything: the settings read from the environment, the
// destination, and whether configuration has run. A record is formatted in
// one place (Line) and written in another (write_line).
#include "core/internal.h"

#include <strings.h>
#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
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
constexpr char fallback_path[] = "/tmp/KELP.LOG";
constexpr int lvl_err = 1;
constexpr int lvl_info = 3;
constexpr size_t stdio_bufsize = 4096;

enum class Mode { reopen, held };

struct TraceState {
    int level = lvl_info;
    int prec = TRC_PREC_MILLI;
    const char *stamp_fmt = nullptr;  // points into the environment
    Mode mode = Mode::held;
    FILE *held = nullptr;
    char path[1025] = "";  // the reopen mode's file
    bool configured = false;
};

TraceState trace;

// One line buffer per live stream: the standard streams stay open (and keep
// their buffer) when another stream takes over, so they get their own.
char file_buf[stdio_bufsize];
char stdout_buf[stdio_bufsize];
char stderr_buf[stdio_bufsize];

char lvl_symbuf[21];

// ---- Configuration ---------------------------------------------------------

// What the environment asks for. Reading stops at the first refused value,
// whose message is reported once the rest is in force.
struct Settings {
    int level = lvl_info;
    int prec = TRC_PREC_MILLI;
    const char *stamp_fmt = nullptr;
    const char *refusal = nullptr;  // format of the report of a refused value
    const char *var = nullptr;
    const char *value = nullptr;
    FILE *stream = nullptr;  // destination: a standard stream, else path
    char path[1024] = "";
};

int parse_level(const char *text) {
    if (!isdigit(static_cast<unsigned char>(text[0])))
        return trc_sym2lvl(text);
    // Digits, then anything: the digits count, and a number past int is
    // as high a level as there is. (Not from_chars: its templates would
    // reach the export table.)
    const long v = strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

int parse_precision(const char *text) {
    constexpr const char *names[] = {"NONE", "MILLI", "MICRO"};
    for (int i = 0; i < 3; ++i)
        if (strcasecmp(text, names[i]) == 0)
            return TRC_PREC_NONE + i;
    return -1;
}

void read_destination(Settings &s) {
    const char *name = getenv("KELPTRC_FILENAME");
    if (name == nullptr) {
        const char *home = getenv("HOME");
        snprintf(s.path, sizeof s.path, "%s/%s", home != nullptr ? home : ".", "KELP.LOG");
    } else if (strcasecmp(name, "STDOUT") == 0) {
        s.stream = stdout;
    } else if (strcasecmp(name, "STDERR") == 0) {
        s.stream = stderr;
    } else {
        snprintf(s.path, sizeof s.path, "%s", name);
    }
}

Settings read_settings(bool dest_given) {
    Settings s;
    if (const char *v = getenv("KELPTRC_LEVEL")) {
        int lvl = parse_level(v);
        if (lvl < 1) {
            s.refusal = "msglog: Invalid trace level ($%s=%s)";
            s.var = "KELPTRC_LEVEL";
            s.value = v;
            return s;
        }
        s.level = lvl;
    }
    if (const char *v = getenv("KELPTRC_TIMEPREC")) {
        int prec = parse_precision(v);
        if (prec < 0) {
            s.refusal = "msglog: Invalid timestamp precision ($%s=%s)";
            s.var = "KELPTRC_TIMEPREC";
            s.value = v;
            return s;
        }
        s.prec = prec;
    }
    s.stamp_fmt = getenv("KELPTRC_TIMEFMT");
    if (!dest_given)
        read_destination(s);
    return s;
}

// ---- Formatting --------------------------------------------------------------

// The timestamp text changes once a second, and when the zone does: TZ is
// what localtime would follow at this moment, set or changed at any time.
class StampCache {
  public:
    std::string_view text(time_t sec, const char *fmt);

  private:
    bool zone_same(const char *tz) const;
    void keep_zone(const char *tz);

    time_t sec_ = -1;
    bool tz_set_ = false;
    bool tz_kept_ = false;  // tz_ holds the whole TZ text
    char tz_[128] = "";
    char text_[64] = "";
    size_t len_ = 0;
};

StampCache stamp_cache;

bool StampCache::zone_same(const char *tz) const {
    if (tz == nullptr)
        return !tz_set_;
    return tz_set_ && tz_kept_ && std::strcmp(tz, tz_) == 0;
}

void StampCache::keep_zone(const char *tz) {
    tz_set_ = tz != nullptr;
    tz_kept_ = tz != nullptr && std::strlen(tz) < sizeof tz_;
    if (tz_kept_)
        std::strcpy(tz_, tz);
}

std::string_view StampCache::text(time_t sec, const char *fmt) {
    const char *tz = getenv("TZ");
    if (sec == sec_ && zone_same(tz))
        return {text_, len_};
    // localtime_r alone keeps the zone it first loaded; tzset follows TZ
    // (and, with TZ unset, the system's zone file) as localtime does.
    tzset();
    struct tm tm {};
    localtime_r(&sec, &tm);
    size_t n = 0;
    if (fmt != nullptr && fmt[0] != '\0')
        n = strftime(text_, sizeof text_, fmt, &tm);
    if (fmt != nullptr && fmt[0] == '\0') {
        text_[0] = '\0';
    } else if (n == 0) {
        // No custom format, or its expansion does not fit in 63 characters:
        // the built-in format keeps the record dated.
        int w = snprintf(text_, sizeof text_, "%04d%02d%02d-%02d:%02d:%02d", tm.tm_year + 1900,
                         tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        n = w > 0 ? static_cast<size_t>(w) : 0;
    }
    len_ = n;
    sec_ = sec;
    keep_zone(tz);
    return {text_, len_};
}

char *put_text(char *p, char *end, std::string_view s) {
    size_t n = std::min(s.size(), static_cast<size_t>(end - p));
    std::memcpy(p, s.data(), n);
    return p + n;
}

// Appends v in decimal, zero-padded to width digits.
char *put_number(char *p, char *end, long v, int width = 0) {
    char digits[24];
    char *d = digits + sizeof digits;
    // In unsigned arithmetic, so that LONG_MIN has a magnitude.
    unsigned long m = v < 0 ? 0 - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        *--d = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    while (digits + sizeof digits - d < width)
        *--d = '0';
    if (v < 0)
        *--d = '-';
    return put_text(p, end, {d, static_cast<size_t>(digits + sizeof digits - d)});
}

// One record, pieces 1 to 5: in a buffer of the call unless its message is
// long.
class Line {
  public:
    Line(int lvl, long pid, const char *fmt, va_list ap);
    ~Line() { std::free(heap_); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    std::string_view text() const { return {heap_ != nullptr ? heap_ : local_, len_}; }

  private:
    size_t prefix(int lvl, long pid);

    char local_[1024];
    char *heap_ = nullptr;
    size_t len_ = 0;
};

// Timestamp, fraction and " (LEVEL-pid): " into local_; returns their length.
size_t Line::prefix(int lvl, long pid) {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    char *p = local_, *end = local_ + 200;  // room for the longest prefix
    p = put_text(p, end, stamp_cache.text(tv.tv_sec, trace.stamp_fmt));
    const long usec = static_cast<long>(tv.tv_usec);
    if (trace.prec == TRC_PREC_MICRO) {
        *p++ = '.';
        p = put_number(p, end, usec, 6);
    } else if (trace.prec == TRC_PREC_MILLI) {
        *p++ = '.';
        p = put_number(p, end, usec / 1000, 3);
    }
    p = put_text(p, end, " (");
    if (lvl >= 0 && lvl < trc_txt_count) {
        p = put_text(p, end, trc_txt[lvl]);
    } else {
        p = put_text(p, end, "<");
        p = put_number(p, end, lvl);
        p = put_text(p, end, ">");
    }
    p = put_text(p, end, "-");
    p = put_number(p, end, pid);
    p = put_text(p, end, "): ");
    return static_cast<size_t>(p - local_);
}

Line::Line(int lvl, long pid, const char *fmt, va_list ap) {
    const size_t n = prefix(lvl, pid);
    va_list again;
    va_copy(again, ap);
    const size_t room = sizeof local_ - n;
    int w = vsnprintf(local_ + n, room, fmt, ap);
    const size_t msg = w > 0 ? static_cast<size_t>(w) : 0;
    if (msg < room) {
        len_ = n + msg;
    } else if ((heap_ = static_cast<char *>(std::malloc(n + msg + 1))) != nullptr) {
        std::memcpy(heap_, local_, n);
        vsnprintf(heap_ + n, msg + 1, fmt, again);
        len_ = n + msg;
    } else {
        len_ = sizeof local_ - 1;  // what fits, rather than nothing
    }
    va_end(again);
    (heap_ != nullptr ? heap_ : local_)[len_++] = '\n';
}

// ---- Destinations ------------------------------------------------------------

void hold_stream(FILE *stream) {
    char *buf = stream == stdout ? stdout_buf : stream == stderr ? stderr_buf : file_buf;
    setvbuf(stream, buf, _IOLBF, stdio_bufsize);
    trace.held = stream;
}

// No stream is held from here on. The trace owns what it held, except the
// standard streams and a stream handed in again as the new destination.
void release_held(FILE *kept) {
    FILE *old = trace.held;
    trace.held = nullptr;
    if (old != nullptr && old != stdout && old != stderr && old != kept)
        fclose(old);
}

// The reopen mode's file for one record. When it cannot be opened, the
// fallback file replaces it for good, with a notice of what failed; null
// when neither opens.
FILE *open_reopen_file() {
    FILE *out = fopen(trace.path, "ae");
    if (out != nullptr)
        return out;
    const int err = errno;
    char failed[sizeof trace.path];
    std::memcpy(failed, trace.path, sizeof failed);
    std::memcpy(trace.path, fallback_path, sizeof fallback_path);
    out = fopen(trace.path, "ae");
    if (out != nullptr)
        fprintf(out, "*** PID=%ld: Failed to open '%s', errno=%d ***\n",
                static_cast<long>(getpid()), failed, err);
    return out;
}

void write_line(std::string_view line) {
    if (trace.mode == Mode::reopen) {
        FILE *out = open_reopen_file();
        if (out == nullptr)
            return;
        fwrite(line.data(), 1, line.size(), out);
        fclose(out);
        return;
    }
    // No stream held (a failed dbginit, or none named yet): standard error
    // rather than losing the record.
    FILE *out = trace.held != nullptr ? trace.held : stderr;
    fwrite(line.data(), 1, line.size(), out);
}

// A filtered record costs nothing more: no clock, no process id, no file.
bool wanted(int lvl) {
    return lvl <= trace.level;
}

void emit(long pid, int lvl, const char *fmt, va_list ap) {
    kelp::SavedErrno keep;
    const Line line(lvl, pid, fmt, ap);
    write_line(line.text());
}

void record(int lvl, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void record(int lvl, const char *fmt, ...) {
    if (!wanted(lvl))
        return;
    va_list ap;
    va_start(ap, fmt);
    emit(getpid(), lvl, fmt, ap);
    va_end(ap);
}

// The destination as dbginit names it, once the trace is configured.
int set_destination(const char *path, FILE *stream, int fd) {
    release_held(path == nullptr ? stream : nullptr);

    if (path != nullptr) {
        const char *reopen = getenv("KELPTRC_REOPEN");
        if (reopen != nullptr && strcasecmp(reopen, "y") == 0)
            trace.mode = Mode::reopen;
        if (trace.mode == Mode::held) {
            FILE *f = fopen(path, "ae");
            if (f == nullptr) {
                record(lvl_err, "dbginit: fopen(%s) failed [errno=%d]", path, errno);
                return -1;
            }
            hold_stream(f);
            return 0;
        }
        const size_t len = std::strlen(path);
        if (len >= sizeof trace.path) {
            record(lvl_err, "dbginit: pthnam too long [%s]", path);
            return -1;
        }
        std::memcpy(trace.path, path, len + 1);
        return 0;
    }

    if (stream != nullptr) {
        fflush(stream);
        hold_stream(stream);
        return 0;
    }

    FILE *f = fdopen(fd, "a");
    if (f == nullptr) {
        record(lvl_err, "dbginit: fdopen() failed on fd=%d [errno=%d]", fd, errno);
        return -1;
    }
    hold_stream(f);
    return 0;
}

// Reads the trace configuration from the environment, once per process.
// dest_given: dbginit is running and names the destination itself.
// Until a destination is set, records (the report of a refused value among
// them) go to standard error.
int configure(bool dest_given) {
    const Settings s = read_settings(dest_given);
    trace.configured = true;
    trace.level = s.level;
    trace.prec = s.prec;
    trace.stamp_fmt = s.stamp_fmt;
    if (s.refusal != nullptr) {
        record(lvl_err, s.refusal, s.var, s.value);
        return -1;
    }
    if (!dest_given)
        set_destination(s.stream == nullptr ? s.path : nullptr, s.stream, -1);
    return 0;
}

void configure_once_for_record() {
    if (!trace.configured)
        configure(false);
}

}  // namespace

namespace kelp {

void trace_flush() {
    if (trace.held != nullptr)
        fflush(trace.held);
}

void trace_as(long pid, int lvl, const char *fmt, ...) {
    configure_once_for_record();
    if (!wanted(lvl))
        return;
    va_list ap;
    va_start(ap, fmt);
    emit(pid, lvl, fmt, ap);
    va_end(ap);
}

}  // namespace kelp

extern "C" {

int dbglvl(void) {
    return trace.level;
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
    configure_once_for_record();
    if (!wanted(lvl))
        return;
    va_list ap;
    va_start(ap, fmt);
    if ((flags & TRC_VALIST) != 0) {
        va_list args;
        va_copy(args, *va_arg(ap, va_list *));
        emit(getpid(), lvl, fmt, args);
        va_end(args);
    } else {
        emit(getpid(), lvl, fmt, ap);
    }
    va_end(ap);
}

void gnl_msglog(const char *fmt, ...) {
    configure_once_for_record();
    if (!wanted(lvl_info))
        return;
    va_list ap;
    va_start(ap, fmt);
    emit(getpid(), lvl_info, fmt, ap);
    va_end(ap);
}

int dbginit(const char *path, FILE *stream, int fd) {
    if (!trace.configured && configure(true) != 0)
        return -1;
    return set_destination(path, stream, fd);
}

}  // extern "C"
