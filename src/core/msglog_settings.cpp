// The trace's settings, read once from the environment, and dbginit's
// choice of destination. Everything here runs with the lock held.
#include "core/trace.h"

#include <strings.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kelp::trace {

Settings settings;

namespace {

// What the environment asks for. Reading stops at the first refused value,
// whose report is written once the rest is in force.
struct Read {
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

void read_destination(Read &r) {
    const char *name = getenv("KELPTRC_FILENAME");
    if (name == nullptr) {
        const char *home = getenv("HOME");
        snprintf(r.path, sizeof r.path, "%s/%s", home != nullptr ? home : ".", "KELP.LOG");
    } else if (strcasecmp(name, "STDOUT") == 0) {
        r.stream = stdout;
    } else if (strcasecmp(name, "STDERR") == 0) {
        r.stream = stderr;
    } else {
        snprintf(r.path, sizeof r.path, "%s", name);
    }
}

// Notes a refused value; its report is written once the rest is in force.
Read &refuse(Read &r, const char *report, const char *var, const char *value) {
    r.refusal = report;
    r.var = var;
    r.value = value;
    return r;
}

Read read_environment(bool dest_given) {
    Read r;
    if (const char *v = getenv("KELPTRC_LEVEL")) {
        const int lvl = parse_level(v);
        if (lvl < 1)
            return refuse(r, "msglog: Invalid trace level ($%s=%s)", "KELPTRC_LEVEL", v);
        r.level = lvl;
    }
    if (const char *v = getenv("KELPTRC_TIMEPREC")) {
        const int prec = parse_precision(v);
        if (prec < 0)
            return refuse(r, "msglog: Invalid timestamp precision ($%s=%s)", "KELPTRC_TIMEPREC", v);
        r.prec = prec;
    }
    r.stamp_fmt = getenv("KELPTRC_TIMEFMT");
    if (!dest_given)
        read_destination(r);
    return r;
}

// What naming a destination failed at.
enum class Refused { nothing, open, too_long, fdopen };

Refused switch_destination(const Destination &to) {
    // A stream named again alone stays held rather than being closed.
    release_held(to.path == nullptr ? to.stream : nullptr);

    if (to.path != nullptr) {
        const char *reopen = getenv("KELPTRC_REOPEN");
        if (reopen != nullptr && strcasecmp(reopen, "y") == 0)
            choose_reopen();
        if (reopen_chosen())
            return set_reopen_path(to.path) ? Refused::nothing : Refused::too_long;
        FILE *f = fopen(to.path, "ae");
        if (f == nullptr)
            return Refused::open;
        hold_stream(f, false);
        return Refused::nothing;
    }

    if (to.stream != nullptr) {
        fflush(to.stream);
        hold_stream(to.stream, true);
        return Refused::nothing;
    }

    FILE *f = fdopen(to.fd, "a");
    if (f == nullptr)
        return Refused::fdopen;
    hold_stream(f, false);
    return Refused::nothing;
}

}  // namespace

int set_destination(const Destination &to) {
    const Refused refused = switch_destination(to);
    const int err = errno;
    switch (refused) {
        case Refused::nothing:
            return 0;
        case Refused::open:
            own_record(lvl_err, "dbginit: fopen(%s) failed [errno=%d]", to.path, err);
            break;
        case Refused::too_long:
            own_record(lvl_err, "dbginit: pthnam too long [%s]", to.path);
            break;
        case Refused::fdopen:
            own_record(lvl_err, "dbginit: fdopen() failed on fd=%d [errno=%d]", to.fd, err);
            break;
    }
    return -1;
}

// Until a destination is set, records (the report of a refused value
// among them) go to standard error.
int configure(const Destination *given) {
    const Read r = read_environment(given != nullptr);
    settings.level.store(r.level, std::memory_order_relaxed);
    settings.prec = r.prec;
    settings.stamp_fmt = r.stamp_fmt;
    int result = -1;
    if (r.refusal != nullptr)
        own_record(lvl_err, r.refusal, r.var, r.value);
    else if (given != nullptr)
        result = set_destination(*given);
    else
        result = set_destination({r.stream == nullptr ? r.path : nullptr, r.stream, -1});
    settings.configured.store(true, std::memory_order_release);
    return result;
}

}  // namespace kelp::trace
