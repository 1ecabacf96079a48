// Byte buffers, file loading and checksums.
#include <gtest/gtest.h>

#include "failalloc.h"
#include "testutil.h"

#include <kelp.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using kelp_test::AllocFailure;
using kelp_test::TempDir;
using kelp_test::write_file;

namespace {

using Bytes = std::vector<unsigned char>;

// ---- big-endian fields -------------------------------------------------

TEST(BufFields, ReadAndWriteBigEndian) {
    const unsigned char seq[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(buf_ntoh(nullptr, 0), 0u);  // width 0 reads nothing
    EXPECT_EQ(buf_ntoh(seq, 1), 0x01u);
    EXPECT_EQ(buf_ntoh(seq, 3), 0x010203u);
    EXPECT_EQ(buf_ntoh(seq, 8), 0x0102030405060708u);
    const unsigned char top[4] = {0x80, 0, 0, 0};
    EXPECT_EQ(buf_ntoh(top, 4), 2147483648u);
    // Above 8 bytes the value is that of the last 8.
    EXPECT_EQ(buf_ntoh(seq, 10), 0x030405060708090Au);

    struct Case {
        int width;
        Bytes want;  // then a sentinel byte that must survive
    } cases[] = {
        {0, {}},
        {3, {0x06, 0x07, 0x08}},
        {8, {1, 2, 3, 4, 5, 6, 7, 8}},
        {10, {0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {-1, {}},
    };
    for (const auto &c : cases) {
        Bytes field(12, 0xEE);
        buf_hton(0x0102030405060708u, field.data(), c.width);
        Bytes got(field.begin(), field.begin() + c.want.size());
        EXPECT_EQ(got, c.want) << "width " << c.width;
        EXPECT_EQ(field[c.want.size()], 0xEE) << "width " << c.width;
    }
}

TEST(BufFields, RoundTripKeepsLowBytes) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200; ++i) {
        uint64_t v = rng();
        for (int w = 1; w <= 8; ++w) {
            unsigned char field[8];
            buf_hton(v, field, w);
            uint64_t mask = w == 8 ? ~0ull : (1ull << (8 * w)) - 1;
            ASSERT_EQ(buf_ntoh(field, static_cast<unsigned>(w)), v & mask) << w;
        }
        unsigned char wide[11];
        buf_hton(v, wide, 11);
        ASSERT_EQ(buf_ntoh(wide, 11), v);
    }
}

// ---- aligned views -----------------------------------------------------

TEST(BufAlign, CopiesOnlyUnalignedData) {
    alignas(16) unsigned char data[32];
    alignas(16) unsigned char copy[32];
    for (int i = 0; i < 32; ++i)
        data[i] = static_cast<unsigned char>(i + 1);
    std::memset(copy, 0xEE, sizeof copy);

    EXPECT_EQ(buf_align(8, data + 8, copy, 8), data + 8);
    EXPECT_EQ(copy[0], 0xEE);  // nothing copied
    EXPECT_EQ(buf_align(1, data + 3, copy, 8), data + 3);

    EXPECT_EQ(buf_align(4, data + 6, copy, 5), copy);
    EXPECT_EQ(Bytes(copy, copy + 5), Bytes(data + 6, data + 11));
    EXPECT_EQ(copy[5], 0xEE);  // exactly len bytes
}

// ---- block moves -------------------------------------------------------

Bytes digits() { return {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}; }
std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

TEST(BufShift, OverlappingMovesKeepUncoveredBytes) {
    struct Case {
        bool left;
        int at, len, dist;
        const char *want;
    } cases[] = {
        {true, 1, 9, 1, "1234567899"},   // old last byte stays
        {true, 3, 7, 3, "3456789789"},   // drop the first three bytes
        {true, 5, 2, 5, "5623456789"},   // no overlap
        {false, 0, 9, 1, "0012345678"},  // old first byte stays
        {false, 0, 7, 3, "0120123456"},
        {true, 1, 9, 0, "0123456789"},
        {false, 0, 10, 0, "0123456789"},
        {true, 5, 0, 2, "0123456789"},
        {false, 2, -4, 2, "0123456789"},
    };
    for (const auto &c : cases) {
        Bytes b = digits();
        if (c.left)
            buf_lshift(b.data() + c.at, c.len, c.dist);
        else
            buf_rshift(b.data() + c.at, c.len, c.dist);
        EXPECT_EQ(str(b), c.want) << (c.left ? "lshift " : "rshift ") << c.at << "/" << c.len
                                  << "/" << c.dist;
    }
}

TEST(BufShift, NegativeDistanceMovesTheOtherWay) {
    Bytes a = digits(), b = digits();
    buf_lshift(a.data() + 2, 5, -2);
    buf_rshift(b.data() + 2, 5, 2);
    EXPECT_EQ(str(a), str(b));
}

// ---- checksums ---------------------------------------------------------

// Straight from the definition: one big-endian window per byte position.
int s4xor_reference(const unsigned char *p, int len) {
    uint32_t sum = 0;
    for (int i = 0; i < len; ++i) {
        uint32_t w = 0;
        for (int k = 0; k < 4; ++k)
            w = w << 8 | (i + k < len ? p[i + k] : 0u);
        sum ^= w;
    }
    return static_cast<int>(sum);
}

TEST(Checksum, KnownValues) {
    const unsigned char abc[] = {'a', 'b', 'c'};
    const unsigned char seq[] = {1, 2, 3, 4};
    const unsigned char ab[] = {0xAB};
    EXPECT_EQ(chksum_xor(abc, 3), 0x60);
    EXPECT_EQ(chksum_s4xor(abc, 3), 0x60016300);
    EXPECT_EQ(chksum_xor(seq, 4), 0x04);
    EXPECT_EQ(chksum_s4xor(seq, 4), 0x04050704);
    EXPECT_EQ(chksum_xor(ab, 1), 0xAB);
    EXPECT_EQ(chksum_s4xor(ab, 1), static_cast<int>(0xAB000000u));
    for (int len : {0, -1, INT_MIN}) {
        EXPECT_EQ(chksum_xor(abc, len), 0);
        EXPECT_EQ(chksum_s4xor(abc, len), 0);
    }
}

TEST(Checksum, MatchesDefinitionAtEveryLengthAndOffset) {
    std::mt19937 rng(11);
    Bytes data(300);
    for (auto &b : data)
        b = static_cast<unsigned char>(rng());
    for (int off = 0; off < 8; ++off) {
        for (int len = 0; len <= 280; ++len) {
            const unsigned char *p = data.data() + off;
            unsigned x = 0;
            for (int i = 0; i < len; ++i)
                x ^= p[i];
            ASSERT_EQ(chksum_xor(p, len), static_cast<int>(x)) << off << "/" << len;
            ASSERT_EQ(chksum_s4xor(p, len), s4xor_reference(p, len)) << off << "/" << len;
        }
    }
}

TEST(Checksum, NeverReadsPastTheRegion) {
    kelp_test::GuardedBuffer guard(4096);
    for (int len = 1; len <= 130; ++len) {
        unsigned char *p = guard.tail(static_cast<size_t>(len));
        for (int i = 0; i < len; ++i)
            p[i] = static_cast<unsigned char>(i * 37 + 5);
        ASSERT_EQ(chksum_s4xor(p, len), s4xor_reference(p, len)) << len;
        ASSERT_EQ(chksum_xor(p, len), chksum_xor(p, len - 1) ^ p[len - 1]) << len;
    }
}

// ---- file loading ------------------------------------------------------

class FileLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.file("ten");
        write_file(path_, "0123456789");
        fds_before_ = kelp_test::count_open_fds();
        gnl_usrmsg[0] = '\0';
    }
    // file2buf closes what it opened, on every path.
    void TearDown() override { EXPECT_EQ(kelp_test::count_open_fds(), fds_before_); }

    TempDir dir_;
    std::string path_;
    int fds_before_ = 0;
};

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST_F(FileLoad, AllocatedBufferHasZeroedReserves) {
    int len = -1;
    unsigned char *b = file2buf(-1, path_.c_str(), nullptr, -1, &len, 4, 1);
    ASSERT_NE(b, nullptr) << gnl_usrmsg;
    EXPECT_EQ(len, 10);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b), 15), std::string("\0\0\0\0" "0123456789\0", 15));
    free(b);

    b = file2buf(-1, path_.c_str(), nullptr, -1, nullptr, 0, 0);  // no length wanted
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::memcmp(b, "0123456789", 10), 0);
    free(b);
}

TEST_F(FileLoad, CallerBufferKeepsReservesAndMustFit) {
    Bytes buf(15, 0xEE);
    int len = -1;
    ASSERT_EQ(file2buf(-1, path_.c_str(), buf.data(), 15, &len, 4, 1), buf.data());
    EXPECT_EQ(len, 10);
    Bytes want(15, 0xEE);
    std::memcpy(want.data() + 4, "0123456789", 10);
    EXPECT_EQ(buf, want);

    len = -1;
    EXPECT_EQ(file2buf(-1, path_.c_str(), buf.data(), 14, &len, 4, 1), nullptr);
    EXPECT_STREQ(gnl_usrmsg, ("Buffer not big enough for file=" + path_ + " (14 vs 4+10+1)").c_str());
    EXPECT_EQ(len, -1);
}

TEST_F(FileLoad, EmptyFileReadsNothing) {
    std::string empty = dir_.file("empty");
    write_file(empty, "");
    unsigned char one = 0xEE;
    int len = -1;
    EXPECT_EQ(file2buf(-1, empty.c_str(), &one, 0, &len, 0, 0), &one);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(one, 0xEE);

    unsigned char *b = file2buf(-1, empty.c_str(), nullptr, -1, &len, 0, 0);
    ASSERT_NE(b, nullptr);  // even a zero-byte allocation is a real buffer
    free(b);
    b = file2buf(-1, empty.c_str(), nullptr, -1, &len, 2, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Bytes(b, b + 3), Bytes(3, 0));
    free(b);
}

TEST_F(FileLoad, OpenAndStatFailures) {
    std::string missing = dir_.file("missing");
    int len = -1;
    EXPECT_EQ(file2buf(-1, missing.c_str(), nullptr, -1, &len, 0, 0), nullptr);
    EXPECT_STREQ(gnl_usrmsg, ("open(" + missing + ") failed, errno=2 [No such file or directory]").c_str());
    EXPECT_EQ(len, -1);

    EXPECT_EQ(file2buf(-1, nullptr, nullptr, -1, &len, 0, 0), nullptr);
    EXPECT_STREQ(gnl_usrmsg, "open(<NULL>) failed, errno=14 [Bad address]");

    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    close(fd);  // a descriptor that is no longer open
    EXPECT_EQ(file2buf(fd, nullptr, nullptr, -1, &len, 0, 0), nullptr);
    EXPECT_STREQ(gnl_usrmsg, "Failed to stat '<NULL>', errno=9 [Bad file descriptor]");
    EXPECT_EQ(len, -1);
}

TEST_F(FileLoad, SizesBeyondIntAreRefused) {
    std::string big = dir_.file("sparse");
    int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{3} << 30), 0);  // sparse: no disk used
    close(fd);
    const std::string overflow = std::string(" errno=") + std::to_string(EOVERFLOW) + " [" +
                                 strerror(EOVERFLOW) + "]";
    EXPECT_EQ(file2buf(-1, big.c_str(), nullptr, -1, nullptr, 0, 0), nullptr);
    EXPECT_EQ(std::string(gnl_usrmsg), "Failed to stat '" + big + "'," + overflow);
    // Reserves that push a small file past the limit, or negative ones.
    EXPECT_EQ(file2buf(-1, path_.c_str(), nullptr, -1, nullptr, INT_MAX - 10, 1), nullptr);
    EXPECT_EQ(std::string(gnl_usrmsg), "Failed to stat '" + path_ + "'," + overflow);
    Bytes buf(20);
    EXPECT_EQ(file2buf(-1, path_.c_str(), buf.data() + 10, 10, nullptr, -4, 4), nullptr);
    EXPECT_STREQ(gnl_usrmsg, ("Failed to stat '" + path_ + "', errno=22 [Invalid argument]").c_str());
}

TEST_F(FileLoad, CallerDescriptorIsReadFromItsOffsetAndKeptOpen) {
    int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    unsigned char *b = file2buf(fd, nullptr, nullptr, -1, nullptr, 0, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(reinterpret_cast<char *>(b), "0123456789");
    free(b);
    EXPECT_TRUE(is_open(fd));

    // Positioned mid-file, the single read gets fewer bytes than the size:
    // a short read, which fails and frees the new buffer.
    ASSERT_EQ(lseek(fd, 6, SEEK_SET), 6);
    int len = -1;
    EXPECT_EQ(file2buf(fd, nullptr, nullptr, -1, &len, 0, 0), nullptr);
    EXPECT_STREQ(gnl_usrmsg, "read() failed for 10-byte file=<NULL>, retval=4, errno=0 [Success]\n");
    EXPECT_EQ(len, -1);
    EXPECT_TRUE(is_open(fd));
    close(fd);
}

TEST_F(FileLoad, FileShorterThanItsStatus) {
    // sysfs attributes report a page as their size and hold a few bytes.
    const char *attr = "/sys/devices/system/cpu/online";
    struct stat st;
    if (stat(attr, &st) != 0 || st.st_size <= 16)
        GTEST_SKIP() << attr << " is not a short sysfs attribute here";
    std::string text = kelp_test::read_file(attr);
    EXPECT_EQ(file2buf(-1, attr, nullptr, -1, nullptr, 0, 0), nullptr);
    EXPECT_EQ(std::string(gnl_usrmsg), "read() failed for " + std::to_string(st.st_size) +
                                           "-byte file=" + attr + ", retval=" +
                                           std::to_string(text.size()) + ", errno=0 [Success]\n");
}

TEST_F(FileLoad, ReadErrorNamesTheError) {
    const std::string d = dir_.path();
    struct stat st;
    ASSERT_EQ(stat(d.c_str(), &st), 0);
    if (st.st_size == 0)
        GTEST_SKIP() << "directories report size 0 on this file system";
    EXPECT_EQ(file2buf(-1, d.c_str(), nullptr, -1, nullptr, 0, 0), nullptr);
    EXPECT_EQ(std::string(gnl_usrmsg), "read() failed for " + std::to_string(st.st_size) +
                                           "-byte file=" + d + ", retval=-1, errno=21 [Is a directory]\n");
}

TEST_F(FileLoad, PipeAndTerminalLoadAsEmpty) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ASSERT_EQ(write(p[1], "data", 4), 4);
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);

    for (int fd : {p[0], slave}) {
        unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        int len = -1;
        EXPECT_EQ(file2buf(fd, nullptr, buf, 4, &len, 2, 2), buf) << gnl_usrmsg;
        EXPECT_EQ(len, 0);
        EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, 0xEE));
        EXPECT_TRUE(is_open(fd));
    }
    char rest[8];
    EXPECT_EQ(read(p[0], rest, sizeof rest), 4);  // the pipe's bytes were left alone
    for (int fd : {p[0], p[1], master, slave})
        close(fd);
}

TEST_F(FileLoad, AllocationFailureLeavesNothingBehind) {
    ASSERT_TRUE(kelp_test::alloc_injection_ready());
    int len = -1;
    {
        AllocFailure fail(0);
        EXPECT_EQ(file2buf(-1, path_.c_str(), nullptr, -1, &len, 4, 1), nullptr);
    }
    EXPECT_STREQ(gnl_usrmsg, ("Failed to malloc 15 bytes for file=" + path_).c_str());
    EXPECT_EQ(len, -1);
    kelp_test::reset_alloc_count();
    Bytes buf(10);
    EXPECT_NE(file2buf(-1, path_.c_str(), buf.data(), 10, &len, 0, 0), nullptr);
    EXPECT_EQ(kelp_test::library_allocs(), 0);  // a caller's buffer needs no allocation
}

}  // namespace
