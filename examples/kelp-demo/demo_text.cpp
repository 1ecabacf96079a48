#include "demo.h"

#include <cstdio>

int demo::text(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
