// The umbrella header compiles as C++17 and links against the library.
#include <kelp.h>

#include <cstring>

int main() {
    llist list{};
    gnl_cmdlin_def def{};
    if (std::strcmp(gnl_verstr(), "1.2.3") != 0)
        return 1;
    return list.head == nullptr && def.handler == nullptr && STRSUB_COUNT_ONLY == 2 ? 0 : 2;
}
