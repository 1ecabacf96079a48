#include "demo.h"

#include <cstdio>

int demo::cmdline(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
