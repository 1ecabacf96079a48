// kelp-demo: shows what libkelp does, module by module, on built-in data.
#include "demo.h"

#include <kelp.h>

#include <cstdio>
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

void usage(FILE *out) {
    std::fprintf(out, "usage: kelp-demo [--help] [all | COMMAND [ARGS...]]\n\ncommands:\n");
    for (const Command &c : commands)
        std::fprintf(out, "  %-9s %s\n", c.name, c.what);
}

}  // namespace

int main(int argc, char **argv) {
    gnl_init(nullptr);
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc <= 1 || std::strcmp(argv[1], "all") == 0) {
        int rc = 0;
        for (const Command &c : commands) {
            std::printf("== %s: %s\n", c.name, c.what);
            char *args[] = {const_cast<char *>(c.name), nullptr};
            rc |= c.run(1, args);
            std::printf("\n");
        }
        return rc;
    }
    for (const Command &c : commands)
        if (std::strcmp(argv[1], c.name) == 0)
            return c.run(argc - 1, argv + 1);
    std::fprintf(stderr, "kelp-demo: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 2;
}
