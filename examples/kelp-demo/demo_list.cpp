#include "demo.h"

#include <cstdio>

int demo::list(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
