#include "demo.h"

#include <cstdio>

int demo::wtree(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
