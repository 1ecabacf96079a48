// Byte buffers, file loading and checksums.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelp.h>

#include <algorithm>
#include <climits>

#include "failalloc.h"
#include "testutil.h"

// Big-endian fields: a write above 8 bytes zero-fills the leading ones and a
// read takes the last 8. A view of aligned data is the data itself, else a
// copy. Moves are overlap-safe. The checksums against their definition, one
// 4-byte window per byte position, on regions that end at an unreadable page:
// a read past the end faults.
TEST(BufBytes, FieldsViewsMovesAndChecksums) {
    alignas(16) unsigned char f[12], copy[8];
    std::fill_n(f, 12, 0xEE);
    buf_hton(0x8102030405060708u, f + 1, 10);
    EXPECT_EQ(buf_ntoh(f, 4), 0xEE000081u);
    EXPECT_EQ(buf_align(8, f + 8, copy, 4), f + 8);  // 8 bytes from a 16-byte boundary
    EXPECT_EQ(buf_align(4, f + 5, copy, 4), copy);
    buf_lshift(f + 3, 8, 3);                          // 81 2 3 4 5 6 7 8 6 7 8 EE
    buf_rshift(f, 4, 1);                              // 81 81 2 3 4 6 7 8 6 7 8 EE
    EXPECT_EQ(buf_ntoh(f, 12), 0x04060708060708EEu);  // the last 8 bytes
    kelp_test::GuardedBuffer guard(512);
    for (int len = 0; len <= 300; ++len) {
        unsigned char *p = guard.tail(static_cast<size_t>(len));
        uint32_t s4 = 0;  // its top byte is the XOR of all bytes
        for (int i = 0; i < len; ++i)
            for (int k = 0; k < 4 && i + k < len; ++k)
                s4 ^= uint32_t{p[i + k]} << (24 - 8 * k);
        ASSERT_EQ(chksum_xor(p, len), static_cast<int>(s4 >> 24)) << len;
        ASSERT_EQ(chksum_s4xor(p, len), static_cast<int>(s4)) << len;
        p[-1] = static_cast<unsigned char>(len * 37 + 1);  // the next region starts there
    }
}

// The length and what file2buf left: the message, or the bytes with NULs
// shown as _ (a caller's 16 bytes are . where untouched).
std::string load(int fd, const char *path, int bufsize = -1, int head = 0, int tail = 0) {
    unsigned char mine[17] = "................", *b = bufsize < 0 ? nullptr : mine;
    int len = -1;
    b = file2buf(fd, path, b, bufsize, &len, head, tail);
    std::string s =
        b != nullptr ? std::string(b, b + (b == mine ? 16 : head + len + tail)) : gnl_usrmsg;
    std::replace(s.begin(), s.end(), '\0', '_');
    free(b == mine ? nullptr : b);
    return std::to_string(len) + " " + s;
}

// One read of the status size, from the offset of a descriptor passed in:
// fewer bytes fail, and a size of 0 still reads, so a descriptor open only for
// writing fails while pipes and terminals load as empty. Sizes beyond int
// arithmetic are refused. Descriptors passed in stay open, and the process's
// exit closes them.
TEST(File2buf, LoadsOnceWithReservesOrSaysWhy) {
    kelp_test::TempDir dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);  // names in messages stay short
    kelp_test::write_file("ten", "0123456789");
    int p[2], pty = posix_openpt(O_RDWR | O_NOCTTY), at6 = open("ten", O_RDONLY);
    ASSERT_TRUE(pipe(p) == 0 && write(p[1], "data", 4) == 4 && lseek(at6, 6, SEEK_SET) == 6);
    close(0);  // the files opened below get descriptor 0
    const int fds = kelp_test::count_open_fds();
    EXPECT_EQ(load(-1, "ten", -1, 4, 1), "10 ____0123456789_");
    EXPECT_EQ(load(-1, "ten", 15, 4, 1), "10 ....0123456789..");
    for (int fd : {p[0], pty})
        EXPECT_EQ(load(fd, nullptr, 4, 2, 2), "0 ................");
    EXPECT_EQ(load(p[1], "w"),
              "-1 read() failed for 0-byte file=w, retval=-1, errno=9 [Bad file descriptor]\n");
    EXPECT_EQ(load(at6, nullptr),
              "-1 read() failed for 10-byte file=<NULL>, retval=4, errno=0 [Success]\n");
    EXPECT_EQ(load(-1, "ten", 16, INT_MAX - 10, 0),
              "-1 Buffer not big enough for file=ten (16 vs 2147483637+10+0)");
    EXPECT_EQ(load(-1, "ten", -1, INT_MAX - 10, 1),
              "-1 Failed to stat 'ten', errno=75 [Value too large for defined data type]");
    EXPECT_EQ(load(-1, "missing"), "-1 open(missing) failed, errno=2 [No such file or directory]");
    for (const auto &[head, tail] : {std::pair{-1, 0}, {0, -1}})
        EXPECT_EQ(load(-1, "ten", -1, head, tail),
                  "-1 Failed to stat 'ten', errno=22 [Invalid argument]");
    kelp_test::fail_nth_alloc(0);
    EXPECT_EQ(load(-1, "ten", -1, 4, 1), "-1 Failed to malloc 15 bytes for file=ten");
    kelp_test::stop_failing();
    EXPECT_EQ(kelp_test::count_open_fds(), fds);  // what file2buf opened it closed
}
