// file2buf on generated files, reserves and buffer sizes: the layout of the
// loaded buffer, the untouched caller reserves, the refusal of a short buffer.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
std::string path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    path = "/tmp/kelp-fuzz-file2buf-" + std::to_string(getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int head = in.ConsumeIntegralInRange(0, 64);
    const int tail = in.ConsumeIntegralInRange(0, 64);
    const int spare = in.ConsumeIntegralInRange(-2, 8);
    const bool allocate = in.ConsumeBool();
    const bool by_fd = in.ConsumeBool();
    std::string content = in.ConsumeRemainingBytesAsString();
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);

    const int flen = static_cast<int>(content.size());
    const int total = head + flen + tail;
    int fd = by_fd ? open(path.c_str(), O_RDONLY) : -1;
    int len = -7;
    unsigned char *got;
    std::vector<unsigned char> mine;
    if (allocate) {
        got = file2buf(fd, path.c_str(), nullptr, -1, &len, head, tail);
        if (got == nullptr || len != flen || std::memcmp(got + head, content.data(), content.size()) != 0)
            std::abort();
        for (int i = 0; i < head; ++i)
            if (got[i] != 0)
                std::abort();
        for (int i = 0; i < tail; ++i)
            if (got[head + flen + i] != 0)
                std::abort();
        std::free(got);
    } else {
        const int bufsize = total + spare < 0 ? 0 : total + spare;
        mine.assign(static_cast<size_t>(bufsize) + 1, 0xA5);  // never a null buffer
        got = file2buf(fd, path.c_str(), mine.data(), bufsize, &len, head, tail);
        if (bufsize < total) {
            if (got != nullptr || len != -7 || std::strncmp(gnl_usrmsg, "Buffer not big enough", 21) != 0)
                std::abort();
        } else {
            if (got != mine.data() || len != flen ||
                std::memcmp(got + head, content.data(), content.size()) != 0)
                std::abort();
            for (int i = 0; i < head; ++i)
                if (mine[static_cast<size_t>(i)] != 0xA5)
                    std::abort();
        }
    }
    if (fd >= 0) {
        if (fcntl(fd, F_GETFD) < 0)
            std::abort();  // the caller's descriptor stays open
        close(fd);
    }
    return 0;
}
