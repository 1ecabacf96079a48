#include "demo.h"

#include <cstdio>

int demo::buffers(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
