// The text of a record: timestamp, fraction of a second, level and process
// id, message, newline. Made by the record's own thread, without the lock.
#include "core/trace.h"

#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kelp::trace {
namespace {

constexpr const char *level_names[] = {"LOG", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"};
constexpr int level_count = sizeof level_names / sizeof level_names[0];

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

}  // namespace

// Timestamp, fraction and " (LEVEL-pid): " into local_ after its newline;
// returns their length.
size_t Line::prefix(int lvl, long pid) {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    char *start = local_ + 1, *p = start, *end = start + 200;  // room for the longest prefix
    p = put_text(p, end, stamp_cache.text(tv.tv_sec, settings.stamp_fmt));
    const long usec = static_cast<long>(tv.tv_usec);
    if (settings.prec == TRC_PREC_MICRO) {
        *p++ = '.';
        p = put_number(p, end, usec, 6);
    } else if (settings.prec == TRC_PREC_MILLI) {
        *p++ = '.';
        p = put_number(p, end, usec / 1000, 3);
    }
    p = put_text(p, end, " (");
    if (lvl >= 0 && lvl < level_count) {
        p = put_text(p, end, level_names[lvl]);
    } else {
        p = put_text(p, end, "<");
        p = put_number(p, end, lvl);
        p = put_text(p, end, ">");
    }
    p = put_text(p, end, "-");
    p = put_number(p, end, pid);
    p = put_text(p, end, "): ");
    return static_cast<size_t>(p - start);
}

Line::Line(int lvl, long pid, const char *fmt, va_list ap) {
    local_[0] = '\n';
    const size_t n = prefix(lvl, pid);
    va_list again;
    va_copy(again, ap);
    const size_t room = sizeof local_ - 1 - n;  // message, its NUL, no newline yet
    int w = vsnprintf(local_ + 1 + n, room, fmt, ap);
    const size_t msg = w > 0 ? static_cast<size_t>(w) : 0;
    if (msg < room) {
        len_ = n + msg;
    } else if ((heap_ = static_cast<char *>(std::malloc(1 + n + msg + 1))) != nullptr) {
        std::memcpy(heap_, local_, 1 + n);
        vsnprintf(heap_ + 1 + n, msg + 1, fmt, again);
        len_ = n + msg;
    } else {
        len_ = room - 1 + n;  // what fits, rather than nothing
    }
    va_end(again);
    (heap_ != nullptr ? heap_ : local_)[1 + len_++] = '\n';
}

Line::~Line() {
    std::free(heap_);
}

const char *level_name(int lvl) {
    return lvl >= 0 && lvl < level_count ? level_names[lvl] : nullptr;
}

}  // namespace kelp::trace
