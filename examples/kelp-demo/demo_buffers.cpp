#include "demo.h"

#include <kelp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void show(const char *label, const unsigned char *p, int n) {
    std::printf("%s", label);
    for (int i = 0; i < n; ++i)
        std::printf("%02x%s", p[i], i + 1 < n ? " " : "\n");
}

}  // namespace

// A small wire record: a 2-byte type, a 4-byte length and a 6-byte stamp,
// all big-endian, followed by a text and its two checksums.
int demo::buffers(int, char **) {
    unsigned char rec[64] = {};
    const char text[] = "hello, kelp";
    buf_hton(7, rec, 2);
    buf_hton(sizeof text - 1, rec + 2, 4);
    buf_hton(0x0000018C2A3B4C5Dull, rec + 6, 6);
    std::memcpy(rec + 12, text, sizeof text - 1);
    const int used = 12 + static_cast<int>(sizeof text) - 1;

    show("record: ", rec, used);
    std::printf("fields: type=%llu length=%llu stamp=0x%llx\n",
                static_cast<unsigned long long>(buf_ntoh(rec, 2)),
                static_cast<unsigned long long>(buf_ntoh(rec + 2, 4)),
                static_cast<unsigned long long>(buf_ntoh(rec + 6, 6)));
    std::printf("chksum_xor=0x%02x chksum_s4xor=0x%08x\n", chksum_xor(rec, used),
                static_cast<unsigned>(chksum_s4xor(rec, used)));

    // Drop the 2-byte type: move everything behind it two bytes down.
    buf_lshift(rec + 2, used - 2, 2);
    show("without the type: ", rec, used - 2);

    // Load a file back with room for a NUL behind it.
    char path[] = "/tmp/kelp-demo-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1)) {
        std::perror("kelp-demo");
        return 1;
    }
    close(fd);
    int len = 0;
    unsigned char *loaded = file2buf(-1, path, nullptr, -1, &len, 0, 1);
    unlink(path);
    if (loaded == nullptr) {
        std::printf("file2buf failed: %s\n", gnl_usrmsg);
        return 1;
    }
    std::printf("file2buf read %d bytes: \"%s\"\n", len, reinterpret_cast<char *>(loaded));
    std::free(loaded);

    if (file2buf(-1, "/nonexistent/kelp", nullptr, -1, nullptr, 0, 0) == nullptr)
        std::printf("a missing file: %s\n", gnl_usrmsg);
    return 0;
}
