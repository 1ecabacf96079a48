#include "demo.h"

#include <kelp.h>

#include <cstdio>

int demo::core(int, char **) {
    std::printf("libkelp version %s\n", gnl_verstr());
    std::printf("configuration directory: %s\n", gnl_kelpdir());
    std::printf("trace level %d (%s); three records follow, one filtered out:\n", dbglvl(),
                trc_lvl2sym(dbglvl()));
    dbgtrc(1, 0, "demo: an ERR record, %d of %d", 1, 3);
    gnl_msglog("demo: an INFO record from gnl_msglog (%s)", "level 3");
    dbgtrc(4, 0, "demo: a DBG record, above the level and not written");
    dbgtrc(-1, 0, "demo: a record of level -1 is always written");
    return 0;
}
