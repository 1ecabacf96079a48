#include "demo.h"

#include <cstdio>

int demo::numbers(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
