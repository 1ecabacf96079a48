// Byte buffers, file loading and checksums.
#include <gtest/gtest.h>

#include "failalloc.h"
#include "testutil.h"

#include <kelp.h>

#include <fcntl.h>
#include <unistd.h>
#include <climits>
#include <cstring>
#include <string>
#include <tuple>

namespace {

using Bytes = std::basic_string<unsigned char>;

TEST(BufFields, BigEndianOfEveryWidth) {
    const unsigned char seq[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, top[4] = {0x80};
    EXPECT_EQ(buf_ntoh(nullptr, 0), 0u);
    EXPECT_EQ(buf_ntoh(seq, 3), 0x010203u);
    EXPECT_EQ(buf_ntoh(seq, 8), 0x0102030405060708u);
    EXPECT_EQ(buf_ntoh(top, 4), 2147483648u);
    EXPECT_EQ(buf_ntoh(seq, 10), 0x030405060708090Au);  // the last 8 bytes
    // Each write covers exactly width bytes; the byte after it stays.
    for (auto [width, want] : {std::pair{0, Bytes()},
                               {1, Bytes{8}},
                               {3, Bytes{6, 7, 8}},
                               {-2, Bytes()},
                               {8, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
                               {10, Bytes{0, 0, 1, 2, 3, 4, 5, 6, 7, 8}}}) {
        Bytes field(12, 0xEE);
        buf_hton(0x0102030405060708u, field.data(), width);
        EXPECT_EQ(field, want + Bytes(12 - want.size(), 0xEE)) << width;
    }
}

TEST(BufAlign, CopiesOnlyUnalignedData) {
    alignas(16) unsigned char data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, copy[16];
    std::memset(copy, 0xEE, sizeof copy);
    EXPECT_EQ(buf_align(8, data + 8, copy, 8), data + 8);
    EXPECT_EQ(buf_align(1, data + 3, copy, 8), data + 3);
    EXPECT_EQ(copy[0], 0xEE);
    EXPECT_EQ(buf_align(4, data + 6, copy, 5), copy);
    EXPECT_EQ(Bytes(copy, 6), (Bytes{7, 8, 9, 10, 11, 0xEE}));
}

TEST(BufShift, OverlappingMovesKeepUncoveredBytes) {
    // {move, offset, length, distance, result}; a negative distance moves the
    // other way, still overlap-safe.
    const std::tuple<void (*)(void *, int, int), int, int, int, const char *> cases[] = {
        {buf_lshift, 1, 9, 1, "1234567899"}, {buf_lshift, 3, 7, 3, "3456789789"},
        {buf_rshift, 0, 9, 1, "0012345678"}, {buf_rshift, 0, 7, 3, "0120123456"},
        {buf_lshift, 1, 9, 0, "0123456789"}, {buf_rshift, 2, 0, 2, "0123456789"},
        {buf_lshift, 2, 5, -2, "0123234569"}};
    for (auto [move, at, len, dist, want] : cases) {
        char b[] = "0123456789";
        move(b + at, len, dist);
        EXPECT_STREQ(b, want) << at << "/" << len << "/" << dist;
    }
}

// Against the definition (one window per byte position), on regions that
// end at an unreadable page: any read past the end faults.
TEST(Checksum, MatchDefinitionWithoutReadingPastTheEnd) {
    EXPECT_EQ(chksum_xor("abc", 3), 0x60);
    EXPECT_EQ(chksum_s4xor("abc", 3), 0x60016300);
    for (int len : {0, -1, INT_MIN})
        EXPECT_EQ(chksum_xor("abc", len) | chksum_s4xor("abc", len), 0);
    kelp_test::GuardedBuffer guard(512);
    for (int len = 1; len <= 300; ++len) {
        unsigned char *p = guard.tail(static_cast<size_t>(len));
        uint32_t s4 = 0;  // its top byte is the XOR of all bytes
        for (int i = 0; i < len; ++i)
            p[i] = static_cast<unsigned char>(i * 37 + len);
        for (int i = 0; i < len; ++i)
            for (int k = 0; k < 4; ++k)
                s4 ^= (i + k < len ? uint32_t{p[i + k]} : 0u) << (24 - 8 * k);
        ASSERT_EQ(chksum_xor(p, len), static_cast<int>(s4 >> 24)) << len;
        ASSERT_EQ(chksum_s4xor(p, len), static_cast<int>(s4)) << len;
    }
}

class FileLoad : public ::testing::Test {
  protected:
    void SetUp() override { kelp_test::write_file(path_, "0123456789"); }
    // Whatever happened, file2buf closed what it opened.
    void TearDown() override { EXPECT_EQ(kelp_test::count_open_fds(), fds_); }

    kelp_test::TempDir dir_;
    std::string path_ = dir_.file("ten"), empty_ = dir_.file("empty");
    int fds_ = kelp_test::count_open_fds();
    int len_ = -1;
};

// Reserves around the file bytes; sizes of 0 (empty files, pipes, terminals)
// read nothing.
TEST_F(FileLoad, ReservesAroundTheFile) {
    const Bytes ten(reinterpret_cast<const unsigned char *>("0123456789"), 10);
    unsigned char *b = file2buf(-1, path_.c_str(), nullptr, -1, &len_, 4, 1);
    ASSERT_NE(b, nullptr) << gnl_usrmsg;
    EXPECT_EQ(Bytes(b, 15), Bytes(4, 0) + ten + Bytes(1, 0));
    EXPECT_EQ(len_, 10);
    free(b);
    // A caller's buffer keeps its own bytes in the reserves.
    Bytes buf(15, 0xEE);
    ASSERT_EQ(file2buf(-1, path_.c_str(), buf.data(), 15, nullptr, 4, 1), buf.data());
    EXPECT_EQ(buf, Bytes(4, 0xEE) + ten + Bytes(1, 0xEE));
    // An empty file needs no room, but a new buffer is still a real one.
    kelp_test::write_file(empty_, "");
    EXPECT_NE(b = file2buf(-1, empty_.c_str(), nullptr, -1, nullptr, 0, 0), nullptr);
    free(b);

    int p[2], pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(pipe2(p, O_CLOEXEC) == 0 && pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
    int tty = open(ptsname(pty), O_RDWR | O_NOCTTY | O_CLOEXEC),
        empty = open(empty_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(write(p[1], "data", 4), 4);
    for (int fd : {empty, p[0], tty}) {
        Bytes room(4, 0xEE);
        len_ = -1;
        EXPECT_EQ(file2buf(fd, nullptr, room.data(), 4, &len_, 2, 2), room.data()) << gnl_usrmsg;
        EXPECT_EQ(len_, 0);
        EXPECT_EQ(room, Bytes(4, 0xEE));
    }
    char rest[8];
    EXPECT_EQ(read(p[0], rest, sizeof rest), 4);  // still open, and unread
    for (int fd : {empty, p[0], p[1], pty, tty})
        close(fd);
}

// Every failure returns null with its message and leaves the length alone.
TEST_F(FileLoad, FailuresSayWhy) {
    unsigned char buf[16];
    auto fails = [&](int fd, const char *path, int size, int head, int tail, std::string msg) {
        EXPECT_EQ(file2buf(fd, path, size < 0 ? nullptr : buf, size, &len_, head, tail), nullptr);
        EXPECT_EQ(gnl_usrmsg, msg);
        EXPECT_EQ(len_, -1);
    };
    const std::string missing = dir_.file("missing"), stat = "Failed to stat '",
                      big = "', errno=75 [Value too large for defined data type]";
    fails(-1, missing.c_str(), -1, 0, 0,
          "open(" + missing + ") failed, errno=2 [No such file or directory]");
    fails(-1, nullptr, -1, 0, 0, "open(<NULL>) failed, errno=14 [Bad address]");
    fails(99999, nullptr, -1, 0, 0, "Failed to stat '<NULL>', errno=9 [Bad file descriptor]");
    // Sizes beyond int arithmetic, and negative reserves, are refused.
    kelp_test::write_file(empty_, "");
    ASSERT_EQ(truncate(empty_.c_str(), off_t{3} << 30), 0);  // sparse
    fails(-1, empty_.c_str(), -1, 0, 0, stat + empty_ + big);
    fails(-1, path_.c_str(), -1, INT_MAX - 10, 1, stat + path_ + big);
    fails(-1, path_.c_str(), 99, -4, 4, stat + path_ + "', errno=22 [Invalid argument]");
    fails(-1, path_.c_str(), 14, 4, 1,
          "Buffer not big enough for file=" + path_ + " (14 vs 4+10+1)");
    {
        kelp_test::AllocFailure fail(0);
        fails(-1, path_.c_str(), -1, 4, 1, "Failed to malloc 15 bytes for file=" + path_);
    }
    // One read of the status size: fewer bytes fail. A descriptor passed in
    // is read from its offset and stays open.
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(lseek(fd, 6, SEEK_SET), 6);
    fails(fd, nullptr, -1, 0, 0,
          "read() failed for 10-byte file=<NULL>, retval=4, errno=0 [Success]\n");
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(file2buf(fd, nullptr, buf, 10, &len_, 0, 0), buf);
    EXPECT_EQ(close(fd), 0);  // still open after failure and success
    // Size 0 still reads: a descriptor open only for writing is no empty file.
    kelp_test::write_file(empty_, "");
    fd = open(empty_.c_str(), O_WRONLY | O_CLOEXEC);
    len_ = -1;
    fails(fd, nullptr, -1, 0, 0,
          "read() failed for 0-byte file=<NULL>, retval=-1, errno=9 [Bad file descriptor]\n");
    EXPECT_EQ(close(fd), 0);
}

}  // namespace
