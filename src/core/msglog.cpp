// The trace: levels, one-time configuration from the environment, records.
//
// One state holds everything: the settings read from the environment, the
// destination, and whether configuration has run. A record is formatted in
// one place (Line), by its own thread and without a lock, and written in
// another (Writer), one thread at a time.
#include "core/internal.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <strings.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

namespace {

constexpr const char *trc_txt[] = {"LOG", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"};
constexpr int trc_txt_count = sizeof trc_txt / sizeof trc_txt[0];
constexpr char fallback_path[] = "/tmp/KELP.LOG";
using kelp::lvl_err;
using kelp::lvl_info;
constexpr size_t stdio_bufsize = 4096;

enum class Mode { reopen, held };

struct TraceState {
    std::atomic<int> level{lvl_info};
    // Set by configuration before it is published as done.
    int prec = TRC_PREC_MILLI;
    const char *stamp_fmt = nullptr;  // points into the environment
    std::atomic<bool> configured{false};
    // The destination, the writer's (see Writer).
    Mode mode = Mode::held;
    FILE *held = nullptr;
    char path[1025] = "";  // the reopen mode's file
};

TraceState trace;

// One line buffer per live stream: the standard streams stay open (and keep
// their buffer) when another stream takes over, so they get their own.
char file_buf[stdio_bufsize];
char stdout_buf[stdio_bufsize];
char stderr_buf[stdio_bufsize];

thread_local char lvl_symbuf[21];  // trc_lvl2sym's, one per thread

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

// Notes a refused value; its report is written once the rest is in force.
Settings &refuse(Settings &s, const char *report, const char *var, const char *value) {
    s.refusal = report;
    s.var = var;
    s.value = value;
    return s;
}

Settings read_settings(bool dest_given) {
    Settings s;
    if (const char *v = getenv("KELPTRC_LEVEL")) {
        const int lvl = parse_level(v);
        if (lvl < 1)
            return refuse(s, "msglog: Invalid trace level ($%s=%s)", "KELPTRC_LEVEL", v);
        s.level = lvl;
    }
    if (const char *v = getenv("KELPTRC_TIMEPREC")) {
        const int prec = parse_precision(v);
        if (prec < 0)
            return refuse(s, "msglog: Invalid timestamp precision ($%s=%s)", "KELPTRC_TIMEPREC", v);
        s.prec = prec;
    }
    s.stamp_fmt = getenv("KELPTRC_TIMEFMT");
    if (!dest_given)
        read_destination(s);
    return s;
}

// ---- Formatting --------------------------------------------------------------

// getenv("TZ") without a scan of the environment at every record: setenv,
// putenv and unsetenv change the array, its length, its last entry or the
// TZ entry itself, and only then is it scanned again.
class ZoneVariable {
  public:
    const char *value();

  private:
    char **env_ = nullptr;
    size_t count_ = 0;
    char *last_ = nullptr;   // env_[count_ - 1]
    char *entry_ = nullptr;  // the first "TZ=" entry, or null
    size_t at_ = 0;          // its index
};

const char *ZoneVariable::value() {
    char **env = environ;
    const bool same = env != nullptr && env == env_ && env[count_] == nullptr &&
                      (count_ == 0 || env[count_ - 1] == last_) &&
                      (entry_ == nullptr || env[at_] == entry_);
    if (!same) {
        env_ = env;
        count_ = 0;
        entry_ = nullptr;
        for (; env != nullptr && env[count_] != nullptr; ++count_) {
            if (entry_ == nullptr && std::strncmp(env[count_], "TZ=", 3) == 0) {
                entry_ = env[count_];
                at_ = count_;
            }
        }
        last_ = count_ > 0 ? env[count_ - 1] : nullptr;
    }
    return entry_ != nullptr ? entry_ + 3 : nullptr;
}

// The timestamp text changes once a second, and when the zone does: TZ is
// what localtime would follow at this moment, set or changed at any time.
class StampCache {
  public:
    std::string_view text(time_t sec, const char *fmt);

  private:
    bool zone_same(const char *tz) const;
    void keep_zone(const char *tz);

    ZoneVariable zone_;
    time_t sec_ = -1;
    bool tz_set_ = false;
    bool tz_kept_ = false;  // tz_ holds the whole TZ text
    char tz_[128] = "";
    char text_[64] = "";
    size_t len_ = 0;
};

thread_local StampCache stamp_cache;

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
    const char *tz = zone_.value();
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
//
// The destination (mode, held stream, file name) belongs to whichever
// thread holds the writer's turn (class Writer below); so does every write
// to it, so that a record goes whole to one destination.

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

// The reopen mode's file for one write. When it cannot be opened, the
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

// Whole records, one or more, to the destination.
void write_records(std::string_view text) {
    if (trace.mode == Mode::reopen) {
        FILE *out = open_reopen_file();
        if (out == nullptr)
            return;
        fwrite(text.data(), 1, text.size(), out);
        fclose(out);
        return;
    }
    // No stream held (a failed dbginit, or none named yet): standard error
    // rather than losing the record.
    FILE *out = trace.held != nullptr ? trace.held : stderr;
    fwrite(text.data(), 1, text.size(), out);
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Sleeping on a word while it holds a value, and waking its sleepers: the
// futex of Linux, private to the process.
void sleep_while(std::atomic<uint32_t> &word, uint32_t value) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_PRIVATE, value, nullptr,
            nullptr, 0);
}

void wake_all(std::atomic<uint32_t> &word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
            nullptr, 0);
}

// Lets one thread at a time write to the destination: the one that holds
// the turn. A record that finds the turn taken is queued; its thread waits
// (a short spin, then yielding, then sleeping) until the record is out or
// the turn is free, and the next holder writes what is queued, together
// with its own record, in one write. So every call still returns with its
// record written, and under contention one write carries the records of
// several threads. Alone, a thread takes the turn, writes its own line
// from its own buffer and gives the turn back: two atomic exchanges.
class Writer {
  public:
    void put(std::string_view line);
    // Runs fn with the turn, after what was queued before it.
    template <typename Fn>
    void alone(Fn fn);

    void before_fork();
    void after_fork_in_parent();
    void after_fork_in_child();

  private:
    bool take_turn() { return busy_.exchange(1, std::memory_order_seq_cst) == 0; }
    void end_turn();
    void write_turn(std::string_view own);
    uint64_t enqueue(std::string_view line);
    void wait(int round, uint64_t seq);
    void lock_queue();
    void unlock_queue() { queue_lock_.store(false, std::memory_order_release); }

    static constexpr size_t queue_size = 16384;

    std::atomic<uint32_t> busy_{0};      // 1 while some thread has the turn
    std::atomic<uint32_t> epoch_{0};     // moves on when a turn ends
    std::atomic<uint32_t> sleepers_{0};  // threads asleep on epoch_
    std::atomic<uint64_t> written_{0};   // records written of those queued
    // The queue, under queue_lock_: threads fill one half while the turn
    // holder writes the other.
    std::atomic<bool> queue_lock_{false};
    std::atomic<size_t> filled_{0};
    uint64_t queued_ = 0;  // records ever queued
    int filling_ = 0;
    char queues_[2][queue_size];
};

Writer writer;

void Writer::lock_queue() {
    // Held for a copy of a few lines at most; yield to a holder that lost
    // its processor.
    for (int round = 0; queue_lock_.exchange(true, std::memory_order_acquire); ++round) {
        if (round < 64)
            cpu_relax();
        else
            sched_yield();
    }
}

uint64_t Writer::enqueue(std::string_view line) {
    lock_queue();
    const size_t filled = filled_.load(std::memory_order_relaxed);
    uint64_t seq = 0;
    if (line.size() <= queue_size - filled) {
        std::memcpy(queues_[filling_] + filled, line.data(), line.size());
        filled_.store(filled + line.size(), std::memory_order_relaxed);
        seq = ++queued_;
    }
    unlock_queue();
    return seq;  // 0: no room; the record waits for the turn instead
}

// With the turn: one write of what is queued, own line appended when it
// fits; else the queue, then own line.
void Writer::write_turn(std::string_view own) {
    if (filled_.load(std::memory_order_relaxed) == 0) {
        if (!own.empty())
            write_records(own);
        return;
    }
    lock_queue();
    size_t n = filled_.load(std::memory_order_relaxed);
    char *batch = queues_[filling_];
    if (!own.empty() && own.size() <= queue_size - n) {
        std::memcpy(batch + n, own.data(), own.size());
        n += own.size();
        own = {};
    }
    const uint64_t upto = queued_;
    filling_ ^= 1;
    filled_.store(0, std::memory_order_relaxed);
    unlock_queue();
    write_records({batch, n});
    written_.store(upto, std::memory_order_seq_cst);
    if (!own.empty())
        write_records(own);
}

void Writer::end_turn() {
    busy_.store(0, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0) {
        epoch_.fetch_add(1, std::memory_order_seq_cst);
        wake_all(epoch_);
    }
}

// One round of waiting for record seq (0: for the turn only): spin, then
// yield, then sleep until a turn ends.
void Writer::wait(int round, uint64_t seq) {
    if (round < 32) {
        cpu_relax();
        return;
    }
    if (round < 48) {
        sched_yield();
        return;
    }
    const uint32_t epoch = epoch_.load(std::memory_order_seq_cst);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    if (busy_.load(std::memory_order_seq_cst) != 0 &&
        (seq == 0 || written_.load(std::memory_order_seq_cst) < seq))
        sleep_while(epoch_, epoch);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
}

void Writer::put(std::string_view line) {
    uint64_t seq = 0;  // the record's number once queued
    for (int round = 0;; ++round) {
        if (seq != 0 && written_.load(std::memory_order_acquire) >= seq)
            return;
        if (take_turn()) {
            write_turn(seq == 0 ? line : std::string_view());
            end_turn();
            return;
        }
        if (seq == 0)
            seq = enqueue(line);
        wait(round, seq);
    }
}

template <typename Fn>
void Writer::alone(Fn fn) {
    for (int round = 0; !take_turn(); ++round)
        wait(round, 0);
    write_turn({});
    fn();
    end_turn();
}

// A child must not inherit a turn or a queue that no thread of its own
// would finish: fork takes the turn, with the queue written out, and keeps
// it (and the queue's lock) across.
void Writer::before_fork() {
    for (int round = 0; !take_turn(); ++round)
        wait(round, 0);
    for (lock_queue(); filled_.load(std::memory_order_relaxed) != 0; lock_queue()) {
        unlock_queue();
        write_turn({});
    }
}

void Writer::after_fork_in_parent() {
    unlock_queue();
    end_turn();
}

void Writer::after_fork_in_child() {
    // The threads that slept on the turn did not come along.
    sleepers_.store(0, std::memory_order_relaxed);
    unlock_queue();
    end_turn();
}

// A filtered record costs nothing more: no clock, no process id, no file.
bool wanted(int lvl) {
    return lvl <= trace.level.load(std::memory_order_relaxed);
}

void emit(long pid, int lvl, const char *fmt, va_list ap) {
    kelp::SavedErrno keep;
    const Line line(lvl, pid, fmt, ap);
    writer.put(line.text());
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

struct Destination {
    const char *path;
    FILE *stream;
    int fd;
};

// What naming a destination failed at; reported once the turn is given up.
enum class Refused { nothing, open, too_long, fdopen };

// Runs with the writer's turn.
Refused switch_destination(const Destination &to) {
    release_held(to.path == nullptr ? to.stream : nullptr);

    if (to.path != nullptr) {
        const char *reopen = getenv("KELPTRC_REOPEN");
        if (reopen != nullptr && strcasecmp(reopen, "y") == 0)
            trace.mode = Mode::reopen;
        if (trace.mode == Mode::held) {
            FILE *f = fopen(to.path, "ae");
            if (f == nullptr)
                return Refused::open;
            hold_stream(f);
            return Refused::nothing;
        }
        const size_t len = std::strlen(to.path);
        if (len >= sizeof trace.path)
            return Refused::too_long;
        std::memcpy(trace.path, to.path, len + 1);
        return Refused::nothing;
    }

    if (to.stream != nullptr) {
        fflush(to.stream);
        hold_stream(to.stream);
        return Refused::nothing;
    }

    FILE *f = fdopen(to.fd, "a");
    if (f == nullptr)
        return Refused::fdopen;
    hold_stream(f);
    return Refused::nothing;
}

// dbginit's work once the trace is configured.
int set_destination(const Destination &to) {
    Refused refused = Refused::nothing;
    int err = 0;
    writer.alone([&] {
        refused = switch_destination(to);
        err = errno;
    });
    switch (refused) {
        case Refused::nothing:
            return 0;
        case Refused::open:
            record(lvl_err, "dbginit: fopen(%s) failed [errno=%d]", to.path, err);
            break;
        case Refused::too_long:
            record(lvl_err, "dbginit: pthnam too long [%s]", to.path);
            break;
        case Refused::fdopen:
            record(lvl_err, "dbginit: fdopen() failed on fd=%d [errno=%d]", to.fd, err);
            break;
    }
    return -1;
}

// ---- Configuration, once ------------------------------------------------------

std::mutex config_lock;

// Reads the trace configuration from the environment; given: the
// destination dbginit names, null at a first record. Runs under
// config_lock, once per process; records that race it wait for the whole
// of it, destination included. Until a destination is set, records (the
// report of a refused value among them) go to standard error.
int configure(const Destination *given) {
    const Settings s = read_settings(given != nullptr);
    trace.level.store(s.level, std::memory_order_relaxed);
    trace.prec = s.prec;
    trace.stamp_fmt = s.stamp_fmt;
    int result = -1;
    if (s.refusal != nullptr)
        record(lvl_err, s.refusal, s.var, s.value);
    else if (given != nullptr)
        result = set_destination(*given);
    else
        result = set_destination({s.stream == nullptr ? s.path : nullptr, s.stream, -1});
    trace.configured.store(true, std::memory_order_release);
    return result;
}

bool configured() {
    return trace.configured.load(std::memory_order_acquire);
}

void configure_once_for_record() {
    if (configured())
        return;
    std::lock_guard<std::mutex> once(config_lock);
    if (!configured())
        configure(nullptr);
}

// A child forked while another thread configures or writes would inherit a
// lock that no thread of its own releases: fork waits for both.
[[maybe_unused]] const int fork_guard = pthread_atfork(
    [] {
        config_lock.lock();
        writer.before_fork();
    },
    [] {
        writer.after_fork_in_parent();
        config_lock.unlock();
    },
    [] {
        writer.after_fork_in_child();
        config_lock.unlock();
    });

}  // namespace

namespace kelp {

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
    return trace.level.load(std::memory_order_relaxed);
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
    const Destination to{path, stream, fd};
    if (!configured()) {
        std::lock_guard<std::mutex> once(config_lock);
        if (!configured())
            return configure(&to);
    }
    return set_destination(to);
}

}  // extern "C"
