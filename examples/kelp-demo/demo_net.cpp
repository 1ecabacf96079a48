#include "demo.h"

#include <cstdio>

int demo::net(int, char **) {
    std::printf("(not built yet)\n");
    return 0;
}
