// Uses libkelp from C++ through kelp.hpp.
#include <kelp.hpp>

#include <cstdio>
#include <cstring>

int main() {
    gnl_init(nullptr);
    char line[] = "\t kelp consumer \n";
    stript(line, 0);
    stripl(line, 0);
    if (std::strcmp(line, "kelp consumer") != 0 || kelp::version() != "1.2.3") {
        std::fprintf(stderr, "unexpected result [%s] %s\n", line, gnl_verstr());
        return 1;
    }
    std::printf("C++ consumer: libkelp %.*s, %s\n", static_cast<int>(kelp::version().size()),
                kelp::version().data(), line);
    return 0;
}
