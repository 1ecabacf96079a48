#include "demo.h"

#include <kelp.h>

#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

struct Options {
    const char *show = "all";  // -s: switches, params or all
    bool help = false;
    bool refused = false;  // the handler said no; gnl_usrmsg is not ours then
};

void usage() {
    std::printf("usage: %s [-h] [-s switches|params|all] [-n NAME] -o OUT FILE...\n", gnl_prognam);
}

int on_item(gnl_cmdlin_def *def, int kind, int code, char *arg) {
    auto *opt = static_cast<Options *>(def->appdata);
    if (kind == CMDLIN_SWITCH) {
        if (code == 'h') {
            opt->help = true;
            def->stop = 1;  // usage wins over whatever else is wrong
            return 0;
        }
        if (code == 's') {
            if (std::strcmp(arg, "switches") != 0 && std::strcmp(arg, "params") != 0 &&
                std::strcmp(arg, "all") != 0) {
                std::printf("  handler: -s takes switches, params or all, not '%s'\n", arg);
                opt->refused = true;
                return 1;
            }
            opt->show = arg;
        }
        if (std::strcmp(opt->show, "params") != 0)
            std::printf("  switch -%c %s\n", code, arg != nullptr ? arg : "");
        return 0;
    }
    if (std::strcmp(opt->show, "switches") != 0)
        std::printf("  parameter %d: %s\n", code, arg);
    return 0;
}

int parse(int argc, char **argv) {
    Options opt;
    gnl_cmdlin_def def{};
    def.optstr = "hs:n:o:";
    def.mandsw = "o";
    def.handler = on_item;
    def.appdata = &opt;
    def.minparam = 1;
    def.maxparam = -1;
    optind = 0;  // each sample is a fresh command line
    int rc = gnl_cmdlin(argc, argv, &def);
    if (opt.help)
        usage();
    else if (opt.refused)
        std::printf("  rejected by the handler\n");
    else if (rc != 0)
        std::printf("  rejected: %s\n", gnl_usrmsg);
    else
        std::printf("  accepted: %d parameter(s), program name '%s'\n", def.nparam, gnl_prognam);
    return rc;
}

void show_sample(const char *title, std::initializer_list<const char *> args) {
    char *argv[16];
    char store[16][64];
    int argc = 0;
    std::printf("%s:", title);
    for (const char *a : args) {
        std::snprintf(store[argc], sizeof store[argc], "%s", a);
        argv[argc] = store[argc];
        std::printf(" %s", a);
        ++argc;
    }
    argv[argc] = nullptr;
    std::printf("\n");
    parse(argc, argv);
}

}  // namespace

// With arguments, parses them; without, walks through built-in samples.
int demo::cmdline(int argc, char **argv) {
    if (argc > 1)
        return parse(argc, argv);
    show_sample("switches after parameters are moved ahead",
                {"/usr/local/bin/sorter", "in.txt", "-o", "out.txt", "-n", "demo", "more.txt"});
    show_sample("only the parameters", {"sorter", "-s", "params", "-o", "o", "a", "b"});
    show_sample("a switch given twice", {"sorter", "-o", "x", "-o", "y", "in"});
    show_sample("the mandatory -o missing", {"sorter", "in.txt"});
    show_sample("no parameter", {"sorter", "-o", "out"});
    show_sample("an unknown switch", {"sorter", "-x", "in.txt"});
    show_sample("the handler refuses a value", {"sorter", "-s", "colours", "-o", "o", "in"});
    show_sample("help", {"sorter", "-h", "-x"});
    return 0;
}
