// gnl_cmdlin on generated argv: never crashes, counts what it says it saw,
// and its result agrees with the four rejection rules.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Seen {
    int switches = 0;
    int params = 0;
    int stop_after = -1;
};

int handler(gnl_cmdlin_def *def, int kind, int code, char *arg) {
    Seen *seen = static_cast<Seen *>(def->appdata);
    if (kind == CMDLIN_SWITCH) {
        ++seen->switches;
        if (code <= 0)
            std::abort();
    } else {
        ++seen->params;
        if (code != seen->params || arg == nullptr)
            std::abort();
    }
    if (seen->switches + seen->params == seen->stop_after)
        def->stop = 1;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string optstr = in.ConsumeRandomLengthString(10);
    std::string mandsw = in.ConsumeRandomLengthString(4);
    optstr = optstr.c_str();
    mandsw = mandsw.c_str();
    Seen seen;
    seen.stop_after = in.ConsumeIntegralInRange(-1, 6);
    std::vector<std::string> args{"/usr/bin/prog"};
    for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) {
        std::string a = in.ConsumeRandomLengthString(6);
        args.push_back(a.c_str());
    }
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    gnl_cmdlin_def def{};
    def.optstr = optstr.c_str();
    def.mandsw = mandsw.c_str();
    def.handler = handler;
    def.appdata = &seen;
    def.minparam = in.ConsumeIntegralInRange(0, 3);
    def.maxparam = in.ConsumeIntegralInRange(-1, 4);
    optind = 0;  // full reset of the platform's scanner between inputs
    int r = gnl_cmdlin(static_cast<int>(args.size()), argv.data(), &def);
    if (r != 0 && r != 1)
        std::abort();
    if (std::strcmp(gnl_prognam, "prog") != 0)
        std::abort();
    if (r == 0 && def.stop == 0) {
        if (def.nparam < def.minparam || (def.maxparam != -1 && def.nparam > def.maxparam) ||
            seen.params != def.nparam)
            std::abort();
    }
    return 0;
}
