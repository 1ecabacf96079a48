// kelp-demo: shows what libkelp does, module by module, on built-in data.
#include "demo.h"

#include <kelp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: kelp-demo [-h|--help] [-s COMMAND] [COMMAND [ARGS...]]\n\n"
                 "Runs one command, or all of them in turn when none is named.\n"
                 "The trace goes to standard output unless KELPTRC_FILENAME names a place.\n\n"
                 "commands:\n");
    for (const Command &c : commands)
        std::fprintf(out, "  %-9s %s\n", c.name, c.what);
}

struct Choice {
    bool help = false;
    const Command *pick = nullptr;
};

// -h asks for the usage and ends parsing; -s picks the command to show.
int on_switch(gnl_cmdlin_def *def, int kind, int code, char *arg) {
    auto *choice = static_cast<Choice *>(def->appdata);
    if (kind != CMDLIN_SWITCH)
        return 0;  // the command and its arguments are taken from params
    if (code == 'h') {
        choice->help = true;
        def->stop = 1;
        return 0;
    }
    choice->pick = find(arg);
    if (choice->pick == nullptr)
        std::fprintf(stderr, "kelp-demo: unknown command '%s'\n", arg);
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

    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--help") == 0)
            argv[i] = const_cast<char *>("-h");

    Choice choice;
    gnl_cmdlin_def def{};
    def.optstr = "+hs:";  // stop at the command: its own switches are its own
    def.handler = on_switch;
    def.appdata = &choice;
    def.showerr = 1;
    def.maxparam = -1;
    if (gnl_cmdlin(argc, argv, &def) != 0) {
        if (gnl_usrmsg[0] != '\0')
            std::fprintf(stderr, "%s: %s\n", gnl_prognam, gnl_usrmsg);
        usage(stderr);
        return 2;
    }
    if (choice.help) {
        usage(stdout);
        return 0;
    }

    const Command *cmd = choice.pick;
    int nargs = def.nparam;
    char **args = def.params;
    if (cmd == nullptr && nargs > 0 && std::strcmp(args[0], "all") != 0) {
        cmd = find(args[0]);
        if (cmd == nullptr) {
            std::fprintf(stderr, "%s: unknown command '%s'\n", gnl_prognam, args[0]);
            usage(stderr);
            return 2;
        }
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
