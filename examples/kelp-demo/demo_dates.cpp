#include "demo.h"

#include <cstdio>

int demo::dates(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
