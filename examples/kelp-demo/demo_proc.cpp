#include "demo.h"

#include <cstdio>

int demo::proc(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
