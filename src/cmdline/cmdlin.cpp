// Command-line parser: getopt driven by a caller's description record.
#include "core/internal.h"

#include <unistd.h>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

constexpr int n_switch_chars = 128;

// Switch characters index a table of 128 counters, and the platform's getopt
// returns bytes above 127 as negative values (0xff even as -1, "no more
// switches"): such characters in the description are refused up front.
const char *first_wide_char(const char *s) {
    for (; *s != '\0'; ++s)
        if (static_cast<unsigned char>(*s) >= n_switch_chars)
            return s;
    return nullptr;
}

bool description_ok(const gnl_cmdlin_def &def) {
    const char *fields[] = {def.optstr, def.mandsw};
    const char *names[] = {"optstr", "mandsw"};
    for (int i = 0; i < 2; ++i) {
        if (const char *c = first_wide_char(fields[i])) {
            kelp::set_usrmsg("Unsupported switch character (code %d) in %s",
                             static_cast<unsigned char>(*c), names[i]);
            return false;
        }
    }
    return true;
}

int call_handler(gnl_cmdlin_def *def, int kind, int code, char *arg) {
    return def->handler != nullptr ? def->handler(def, kind, code, arg) : 0;
}

// getopt's state (optind, optarg, opterr and its place inside a word) is
// the process's: one parse at a time. Recursive, so that a handler may
// still call gnl_cmdlin, as it could before.
std::recursive_mutex getopt_lock;
// The thread whose parse left getopt's state as it is (0: none yet), by a
// number of its own: thread ids come back for new threads, these do not.
uint64_t last_parser = 0;
uint64_t parsers = 0;

// getopt's place may lie inside another thread's argv, which that thread
// may since have freed: a parse that follows another thread's restarts
// getopt (optind 0). One thread's parses carry the state over as ever.
void take_over_getopt() {
    thread_local uint64_t self = 0;
    if (self == 0)
        self = ++parsers;
    if (last_parser != 0 && last_parser != self)
        optind = 0;
    last_parser = self;
}

}  // namespace

extern "C" {

// Returns 0 when the command line is accepted or parsing was stopped through
// def->stop, 1 when it is rejected (message in gnl_usrmsg unless the handler
// rejected it). getopt's state is not reset: set optind first to parse again.
int gnl_cmdlin(int argc, char **argv, gnl_cmdlin_def *def) {
    std::lock_guard<std::recursive_mutex> one_parse(getopt_lock);
    take_over_getopt();
    if (argc > 0 && argv[0] != nullptr) {
        const char *slash = std::strrchr(argv[0], '/');
        gnl_prognam = slash != nullptr ? slash + 1 : argv[0];
    }
    if (def->optstr == nullptr)
        def->optstr = "";
    if (def->mandsw == nullptr)
        def->mandsw = "";
    opterr = def->showerr != 0 ? 1 : 0;
    uint8_t seen[n_switch_chars] = {};

    if (def->stop != 0)
        return 0;
    if (!description_ok(*def))
        return 1;

    for (;;) {
        if (def->stop != 0)
            return 0;
        int c = getopt(argc, argv, def->optstr);
        if (c == -1)
            break;
        // Anything outside the table can only be getopt's own trouble: refuse
        // it as an illegal switch rather than index past the counters.
        if (c == '?' || c < 0 || c >= n_switch_chars) {
            int at = optind - 1;
            kelp::set_usrmsg("Illegal switch (on or after '%s')",
                             at >= 0 && at < argc ? argv[at] : "");
            return 1;
        }
        if (seen[c]++ != 0) {
            kelp::set_usrmsg("Duplicate '-%c' switch", c);
            return 1;
        }
        if (call_handler(def, CMDLIN_SWITCH, c, optarg) != 0)
            return 1;
    }

    // The last missing one in mandsw is the one reported.
    for (size_t i = std::strlen(def->mandsw); i-- > 0;) {
        unsigned char c = static_cast<unsigned char>(def->mandsw[i]);
        if (seen[c] == 0) {
            kelp::set_usrmsg("Mandatory '-%c' switch not supplied", c);
            return 1;
        }
    }

    def->nparam = argc - optind;
    def->params = &argv[optind];
    if (def->nparam < def->minparam || (def->maxparam != -1 && def->nparam > def->maxparam)) {
        kelp::set_usrmsg("Illegal number of parameters (%d)", def->nparam);
        return 1;
    }
    for (int p = 1; p <= def->nparam; ++p) {
        if (call_handler(def, CMDLIN_PARAM, p, def->params[p - 1]) != 0)
            return 1;
        if (def->stop != 0)
            return 0;
    }
    return 0;
}

}  // extern "C"
