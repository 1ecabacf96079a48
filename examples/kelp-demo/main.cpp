// kelp-demo: shows what libkelp does, module by module, on built-in data.
#include "demo.h"

#include <kelp.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Command {
    const char *name;
    int (*run)(int, char **);
    const char *what;
};

constexpr Command commands[] = {
    {"core", demo::core, "version, configuration directory and trace records"},
    {"text", demo::text, "string tests, trimming, hex and thousands formatting, substitution"},
    {"numbers", demo::numbers, "integer power and logarithm, packed BCD numbers"},
    {"buffers", demo::buffers, "big-endian fields, file loading and checksums"},
    {"list", demo::list, "a linked list of records sorted both ways"},
    {"wtree", demo::wtree, "a word tree: words in, lookups, deletions, statistics"},
    {"cmdline", demo::cmdline, "the command-line parser on a sample argv"},
    {"net", demo::net, "IPv4 interfaces, name resolution, medium names"},
    {"proc", demo::proc, "a command through pipes and through a pseudo-terminal"},
    {"dates", demo::dates, "time arithmetic, year windowing and mktime"},
};

const Command *find(const char *name) {
    for (const Command &c : commands)
        if (std::strcmp(name, c.name) == 0)
            return &c;
    return nullptr;
}

constexpr const char *synopsis =
    "usage: kelp-demo [-h|--help] [-V|--version] [-s COMMAND] [COMMAND [ARGS...]]\n";
constexpr const char *optstr = "+hVs:";  // stop at the command: its own switches are its own

void usage(FILE *out) {
    std::fputs(synopsis, out);
    std::fprintf(out,
                 "\nRuns one command, or all of them in turn when none is named.\n"
                 "The trace goes to standard output unless KELPTRC_FILENAME names a place.\n\n"
                 "commands:\n");
    for (const Command &c : commands)
        std::fprintf(out, "  %-9s %s\n", c.name, c.what);
}

// The library a program runs with can be a later 1.x than the headers it
// was built with; say so when it is.
void version() {
    std::printf("kelp-demo (libkelp) %s\n", gnl_verstr());
    if (std::strcmp(gnl_verstr(), KELP_VERSION_STRING) != 0)
        std::printf("built with libkelp %s\n", KELP_VERSION_STRING);
}

// A refused command line gets one line saying why, then the synopsis.
int refuse(const std::string &why) {
    std::fprintf(stderr, "kelp-demo: %s\n%s", why.c_str(), synopsis);
    return 2;
}

// getopt is kept quiet (showerr 0), and the parser's "Illegal switch" text
// does not tell an unknown switch from a missing argument: getopt's optopt
// and the switch table do.
std::string getopt_refusal() {
    const char *known = optopt > 0 ? std::strchr(optstr, optopt) : nullptr;
    if (known != nullptr && known[1] == ':')
        return std::string("switch '-") + char(optopt) + "' needs an argument";
    return std::string("unknown switch '-") + char(optopt) + "'";
}

// The long forms, up to the command (whose own switches are its own):
// --help and --version become -h and -V; any other is refused here, since
// getopt would take it for a '-' switch.
const char *long_switches(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        char *a = argv[i];
        if (a[0] != '-' || a[1] == '\0' || std::strcmp(a, "--") == 0)
            return nullptr;
        if (a[1] != '-') {
            if (std::strchr(a, 's') == a + std::strlen(a) - 1)
                ++i;  // -s takes the next word
        } else if (std::strcmp(a, "--help") == 0) {
            argv[i] = const_cast<char *>("-h");
        } else if (std::strcmp(a, "--version") == 0) {
            argv[i] = const_cast<char *>("-V");
        } else {
            return a;
        }
    }
    return nullptr;
}

struct Choice {
    bool help = false;
    bool version = false;
    const Command *pick = nullptr;
    const char *unknown = nullptr;  // the name -s gave, when it is none
};

// -h and -V answer and end parsing; -s picks the command to show.
int on_switch(gnl_cmdlin_def *def, int kind, int code, char *arg) {
    auto *choice = static_cast<Choice *>(def->appdata);
    if (kind != CMDLIN_SWITCH)
        return 0;  // the command and its arguments are taken from params
    if (code == 'h' || code == 'V') {
        (code == 'h' ? choice->help : choice->version) = true;
        def->stop = 1;
        return 0;
    }
    choice->pick = find(arg);
    if (choice->pick == nullptr)
        choice->unknown = arg;
    return choice->pick == nullptr;
}

int run(const Command &c, int argc, char **argv) {
    std::printf("== %s: %s\n", c.name, c.what);
    int rc = c.run(argc, argv);
    std::printf("\n");
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    gnl_init(nullptr);
    if (std::getenv("KELPTRC_FILENAME") == nullptr)
        dbginit(nullptr, stdout, -1);

    if (const char *bad = long_switches(argc, argv))
        return refuse(std::string("unknown switch '") + bad + "'");

    Choice choice;
    gnl_cmdlin_def def{};
    def.optstr = optstr;
    def.handler = on_switch;
    def.appdata = &choice;
    def.maxparam = -1;
    if (gnl_cmdlin(argc, argv, &def) != 0) {
        if (choice.unknown != nullptr)
            return refuse(std::string("unknown command '") + choice.unknown + "'");
        if (std::strncmp(gnl_usrmsg, "Illegal switch", 14) == 0)
            return refuse(getopt_refusal());
        return refuse(gnl_usrmsg);
    }
    if (choice.help || choice.version) {
        choice.help ? usage(stdout) : version();
        return 0;
    }

    const Command *cmd = choice.pick;
    int nargs = def.nparam;
    char **args = def.params;
    if (cmd == nullptr && nargs > 0 && std::strcmp(args[0], "all") != 0) {
        cmd = find(args[0]);
        if (cmd == nullptr)
            return refuse(std::string("unknown command '") + args[0] + "'");
    }
    if (cmd != nullptr) {
        char *own[] = {const_cast<char *>(cmd->name), nullptr};
        bool named = choice.pick == nullptr;
        return run(*cmd, named ? nargs : 1, named ? args : own);
    }
    int rc = 0;
    for (const Command &c : commands) {
        char *own[] = {const_cast<char *>(c.name), nullptr};
        rc |= run(c, 1, own);
    }
    return rc;
}
