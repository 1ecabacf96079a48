// Byte buffers, file loading and checksums.
#include <gtest/gtest.h>

#include "failalloc.h"
#include "testutil.h"

#include <kelp.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using Bytes = std::basic_string<unsigned char>;
Bytes bytes(const char *s, size_t n) { return Bytes(reinterpret_cast<const unsigned char *>(s), n); }

TEST(BufFields, BigEndianOfEveryWidth) {
    const unsigned char seq[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, top[4] = {0x80};
    EXPECT_EQ(buf_ntoh(nullptr, 0), 0u);
    EXPECT_EQ(buf_ntoh(seq, 3), 0x010203u);
    EXPECT_EQ(buf_ntoh(seq, 8), 0x0102030405060708u);
    EXPECT_EQ(buf_ntoh(top, 4), 2147483648u);
    EXPECT_EQ(buf_ntoh(seq, 10), 0x030405060708090Au);  // the last 8 bytes
    // Each write covers exactly width bytes; the byte after it stays.
    for (auto [width, want] : {std::pair{0, Bytes()}, {3, Bytes{6, 7, 8}}, {-2, Bytes()},
                               {10, Bytes{0, 0, 1, 2, 3, 4, 5, 6, 7, 8}}}) {
        Bytes field(12, 0xEE);
        buf_hton(0x0102030405060708u, field.data(), width);
        EXPECT_EQ(field, want + Bytes(12 - want.size(), 0xEE)) << width;
    }
    for (unsigned w = 1; w <= 8; ++w) {  // a round trip keeps the low w bytes
        unsigned char field[8];
        buf_hton(0xF1E2D3C4B5A69788u, field, static_cast<int>(w));
        EXPECT_EQ(buf_ntoh(field, w), 0xF1E2D3C4B5A69788u & (~0ull >> (64 - 8 * w))) << w;
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
    struct {
        void (*move)(void *, int, int);
        int at, len, dist;
        const char *want;
    } cases[] = {
        {buf_lshift, 1, 9, 1, "1234567899"}, {buf_lshift, 3, 7, 3, "3456789789"},
        {buf_rshift, 0, 9, 1, "0012345678"}, {buf_rshift, 0, 7, 3, "0120123456"},
        {buf_lshift, 1, 9, 0, "0123456789"}, {buf_rshift, 2, 0, 2, "0123456789"},
        {buf_lshift, 2, 5, -2, "0123234569"},  // the other way, still overlap-safe
    };
    for (const auto &c : cases) {
        char b[] = "0123456789";
        c.move(b + c.at, c.len, c.dist);
        EXPECT_STREQ(b, c.want) << c.at << "/" << c.len << "/" << c.dist;
    }
}

TEST(Checksum, KnownValues) {
    EXPECT_EQ(chksum_xor("abc", 3), 0x60);
    EXPECT_EQ(chksum_s4xor("abc", 3), 0x60016300);
    EXPECT_EQ(chksum_xor("\1\2\3\4", 4), 0x04);
    EXPECT_EQ(chksum_s4xor("\1\2\3\4", 4), 0x04050704);
    EXPECT_EQ(chksum_s4xor("\xAB", 1), static_cast<int>(0xAB000000u));
    for (int len : {0, -1, INT_MIN})
        EXPECT_EQ(chksum_xor("abc", len) | chksum_s4xor("abc", len), 0);
}

// Against the definition (one window per byte position), on regions that
// end at an unreadable page: any read past the end faults.
TEST(Checksum, MatchDefinitionWithoutReadingPastTheEnd) {
    kelp_test::GuardedBuffer guard(512);
    for (int len = 1; len <= 300; ++len) {
        unsigned char *p = guard.tail(static_cast<size_t>(len));
        uint32_t x = 0, s4 = 0;
        for (int i = 0; i < len; ++i)
            x ^= p[i] = static_cast<unsigned char>(i * 37 + len);
        for (int i = 0; i < len; ++i)
            for (int k = 0; k < 4; ++k)
                s4 ^= (i + k < len ? uint32_t{p[i + k]} : 0u) << (24 - 8 * k);
        ASSERT_EQ(chksum_xor(p, len), static_cast<int>(x)) << len;
        ASSERT_EQ(chksum_s4xor(p, len), static_cast<int>(s4)) << len;
    }
}

class FileLoad : public ::testing::Test {
  protected:
    void SetUp() override { kelp_test::write_file(path_, "0123456789"); }
    // Whatever happened, file2buf closed what it opened.
    void TearDown() override { EXPECT_EQ(kelp_test::count_open_fds(), fds_); }
    const char *msg() const { return gnl_usrmsg; }

    kelp_test::TempDir dir_;
    std::string path_ = dir_.file("ten");
    int fds_ = kelp_test::count_open_fds();
    int len_ = -1;
};

TEST_F(FileLoad, ReservesAroundTheFile) {
    unsigned char *b = file2buf(-1, path_.c_str(), nullptr, -1, &len_, 4, 1);
    ASSERT_NE(b, nullptr) << msg();
    EXPECT_EQ(bytes(reinterpret_cast<char *>(b), 15), bytes("\0\0\0\0" "0123456789", 15));
    EXPECT_EQ(len_, 10);
    free(b);
    // A caller's buffer keeps its own bytes in the reserves, and must fit.
    Bytes buf(15, 0xEE);
    ASSERT_EQ(file2buf(-1, path_.c_str(), buf.data(), 15, nullptr, 4, 1), buf.data());
    EXPECT_EQ(buf, Bytes(4, 0xEE) + bytes("0123456789", 10) + Bytes(1, 0xEE));
    EXPECT_EQ(file2buf(-1, path_.c_str(), buf.data(), 14, &len_, 4, 1), nullptr);
    EXPECT_EQ(msg(), "Buffer not big enough for file=" + path_ + " (14 vs 4+10+1)");
}

TEST_F(FileLoad, EmptyFilePipeAndTerminalReadNothing) {
    std::string empty = dir_.file("empty");
    kelp_test::write_file(empty, "");
    unsigned char one = 0xEE;
    EXPECT_EQ(file2buf(-1, empty.c_str(), &one, 0, &len_, 0, 0), &one);
    EXPECT_EQ(len_, 0);
    unsigned char *b = file2buf(-1, empty.c_str(), nullptr, -1, nullptr, 0, 0);
    EXPECT_NE(b, nullptr);  // a real buffer even for nothing
    free(b);

    int p[2], pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(pipe2(p, O_CLOEXEC) == 0 && pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
    int tty = open(ptsname(pty), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(write(p[1], "data", 4), 4);
    for (int fd : {p[0], tty}) {
        len_ = -1;
        unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(file2buf(fd, nullptr, buf, 4, &len_, 2, 2), buf) << msg();
        EXPECT_EQ(len_, 0);
        EXPECT_EQ(Bytes(buf, 4), Bytes(4, 0xEE));
    }
    char rest[8];
    EXPECT_EQ(read(p[0], rest, sizeof rest), 4);  // still open, and unread
    for (int fd : {p[0], p[1], pty, tty})
        close(fd);
}

TEST_F(FileLoad, OpenStatAndSizeFailures) {
    std::string missing = dir_.file("missing");
    EXPECT_EQ(file2buf(-1, missing.c_str(), nullptr, -1, &len_, 0, 0), nullptr);
    EXPECT_EQ(msg(), "open(" + missing + ") failed, errno=2 [No such file or directory]");
    EXPECT_EQ(file2buf(-1, nullptr, nullptr, -1, &len_, 0, 0), nullptr);
    EXPECT_STREQ(msg(), "open(<NULL>) failed, errno=14 [Bad address]");
    EXPECT_EQ(file2buf(99999, nullptr, nullptr, -1, &len_, 0, 0), nullptr);
    EXPECT_STREQ(msg(), "Failed to stat '<NULL>', errno=9 [Bad file descriptor]");
    // Sizes beyond int arithmetic, and negative reserves, are refused.
    kelp_test::write_file(missing, "");
    ASSERT_EQ(truncate(missing.c_str(), off_t{3} << 30), 0);  // sparse
    EXPECT_EQ(file2buf(-1, missing.c_str(), nullptr, -1, &len_, 0, 0), nullptr);
    EXPECT_EQ(msg(), "Failed to stat '" + missing + "', errno=75 [Value too large for defined data type]");
    EXPECT_EQ(file2buf(-1, path_.c_str(), nullptr, -1, &len_, INT_MAX - 10, 1), nullptr);
    EXPECT_EQ(msg(), "Failed to stat '" + path_ + "', errno=75 [Value too large for defined data type]");
    EXPECT_EQ(file2buf(-1, path_.c_str(), nullptr, 99, &len_, -4, 4), nullptr);
    EXPECT_EQ(msg(), "Failed to stat '" + path_ + "', errno=22 [Invalid argument]");
    EXPECT_EQ(len_, -1);
}

// One read of the status size: fewer bytes fail, and the caller's descriptor
// is read from its offset and stays open.
TEST_F(FileLoad, ShortReadFails) {
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(lseek(fd, 6, SEEK_SET), 6);
    EXPECT_EQ(file2buf(fd, nullptr, nullptr, -1, &len_, 0, 0), nullptr);
    EXPECT_STREQ(msg(), "read() failed for 10-byte file=<NULL>, retval=4, errno=0 [Success]\n");
    EXPECT_EQ(len_, -1);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    unsigned char buf[10];
    EXPECT_EQ(file2buf(fd, nullptr, buf, 10, &len_, 0, 0), buf);
    EXPECT_EQ(close(fd), 0);  // still open after success and failure
}

TEST_F(FileLoad, AllocationFailure) {
    {
        kelp_test::AllocFailure fail(0);
        EXPECT_EQ(file2buf(-1, path_.c_str(), nullptr, -1, &len_, 4, 1), nullptr);
    }
    EXPECT_EQ(msg(), "Failed to malloc 15 bytes for file=" + path_);
    EXPECT_EQ(len_, -1);
}

}  // namespace
