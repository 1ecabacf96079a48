#include <gtest/gtest.h>

#include <kelp.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(IntPow, WrapsModulo2To32) {
    struct Case {
        int base, exp, want;
    } cases[] = {{2, 10, 1024},         {10, 0, 1},         {5, -3, 1},       {0, 0, 1},
                 {0, 3, 0},             {-2, 3, -8},        {2, 31, INT_MIN}, {2, 32, 0},
                 {10, 10, 1410065408},  {-1, INT_MAX, -1},  {3, INT_MAX, -1431655765}, {7, 1, 7}};
    for (const Case &c : cases)
        EXPECT_EQ(mth_intpow(c.base, c.exp), c.want) << c.base << "^" << c.exp;
}

TEST(IntLog, ExactUpToIntMax) {
    struct Case {
        int base, value, want;
    } cases[] = {{10, 1, 0},  {10, 9, 0},  {10, 10, 1},   {10, 99, 1},       {10, 100, 2},
                 {5, 5, 1},   {2, 1024, 10}, {2, 1023, 9}, {10, INT_MAX, 9}, {2, INT_MAX, 30},
                 {INT_MAX, INT_MAX, 1}, {46341, INT_MAX, 1}, {46340, INT_MAX, 2}, {3, 1162261467, 19}};
    for (const Case &c : cases)
        EXPECT_EQ(mth_intlog(c.base, c.value), c.want) << c.base << " " << c.value;
}

TEST(IntLog, IllegalArgumentsAreTraced) {
    kelp_test::TraceTap tap;
    EXPECT_EQ(mth_intlog(0, 5), -1);
    EXPECT_EQ(mth_intlog(10, -1), -1);
    EXPECT_EQ(mth_intlog(1, 7), -1);
    std::string t = tap.text();
    EXPECT_NE(t.find("(INFO-"), std::string::npos) << t;
    EXPECT_NE(t.find("mth_intlog: illegal args, base=0, value=5\n"), std::string::npos) << t;
    EXPECT_NE(t.find("mth_intlog: illegal args, base=10, value=-1\n"), std::string::npos) << t;
    EXPECT_NE(t.find("mth_intlog: illegal args, base=1, value=7\n"), std::string::npos) << t;
}

TEST(Bcd, WriteDigitsKeepingNeighbourNibbles) {
    Bytes b(2, 0);
    bcdset(b.data(), 1, 2, 9);
    EXPECT_EQ(b, (Bytes{0x09, 0x90}));
    bcdset(b.data(), 0, 0, 5);
    EXPECT_EQ(b, (Bytes{0x09, 0x90}));

    int n = 0;
    b = {0, 0};
    bin_to_bcd(1234, b.data(), 0, &n);
    EXPECT_EQ(b, (Bytes{0x12, 0x34}));
    EXPECT_EQ(n, 4);
    b = {0xAA, 0xAA, 0xAA};
    bin_to_bcd(1234, b.data(), 1, &n);
    EXPECT_EQ(b, (Bytes{0xA1, 0x23, 0x4A}));
    bin_to_bcd(0, b.data(), 0, &n);
    EXPECT_EQ(b[0], 0x01);
    EXPECT_EQ(n, 1);
    b.assign(10, 0xFF);
    bin_to_bcd(LONG_MAX, b.data(), 0, &n);
    EXPECT_EQ(n, 19);
    EXPECT_EQ(b, (Bytes{0x92, 0x23, 0x37, 0x20, 0x36, 0x85, 0x47, 0x75, 0x80, 0x7F}));
    bin_to_bcd(-42, b.data(), 0, nullptr);  // the magnitude: a field has no sign
    EXPECT_EQ(b[0], 0x42);
    bin_to_bcd(LONG_MIN, b.data(), 0, &n);
    EXPECT_EQ(n, 19);
    EXPECT_EQ(b[9], 0x8F);

    b.assign(4, 0);
    decstr_to_bcd("0815", b.data(), 0);
    EXPECT_EQ(b, (Bytes{0x08, 0x15, 0, 0}));
    b.assign(4, 0xFF);
    decstr_to_bcd("0815", b.data(), 3);
    decstr_to_bcd("", b.data(), 0);
    EXPECT_EQ(b, (Bytes{0xFF, 0xF0, 0x81, 0x5F}));

    const Bytes src{0x12, 0x34};
    Bytes dst(3, 0);
    bcdcpy(dst.data(), 1, src.data(), 0, 4);
    EXPECT_EQ(dst, (Bytes{0x01, 0x23, 0x40}));
    Bytes same{0x12, 0x3F, 0x00};
    bcdcpy(same.data(), 0, same.data(), 1, 4);  // downwards within one buffer
    EXPECT_EQ(same, (Bytes{0x23, 0xF0, 0x00}));
}

TEST(Bcd, FieldsRightAlignedOrOverflowing) {
    struct Case {
        int pos, width;
        long value;
        int want;
        Bytes bytes;
    } cases[] = {{0, 6, 42, 6, {0x00, 0x00, 0x42, 0xEE}},  {0, 3, 0, 3, {0x00, 0x0E, 0xEE, 0xEE}},
                 {0, 2, 12345, 5, {0x12, 0x34, 0x5E, 0xEE}}, {1, 4, 7, 4, {0xE0, 0x00, 0x7E, 0xEE}},
                 {0, 0, 5, 1, {0x5E, 0xEE, 0xEE, 0xEE}},    {0, 3, -7, 3, {0x00, 0x7E, 0xEE, 0xEE}}};
    for (const Case &c : cases) {
        Bytes b(4, 0xEE);
        EXPECT_EQ(bcdrep(b.data(), c.pos, c.width, c.value), c.want) << c.value;
        EXPECT_EQ(b, c.bytes) << c.value;
    }
}

TEST(Bcd, ReadDigitsAndRefuseLongCounts) {
    const Bytes b{0x12, 0x34, 0x56, 0x78, 0x9F};
    EXPECT_EQ(bcd_to_bin(b.data(), 0, 4), 1234);
    EXPECT_EQ(bcd_to_bin(b.data(), 1, 2), 23);
    EXPECT_EQ(bcd_to_bin(b.data(), 0, 0), 0);
    EXPECT_EQ(bcd_to_bin(b.data(), 1, 8), 23456789);
    const Bytes f{0x12, 0x3F};
    EXPECT_EQ(bcd_to_bin(f.data(), 0, 4), 1245);

    char out[16];
    EXPECT_STREQ(bcd_to_decstr(f.data(), 0, 4, out), "123f");
    EXPECT_STREQ(bcd_to_decstr(b.data(), 3, 7, out), "456789f");
    std::memset(out, 'Z', sizeof out);
    EXPECT_STREQ(bcd_to_decstr(b.data(), 0, 0, out), "");
    EXPECT_STREQ(bcd_to_decstr(b.data(), 0, -2, out), "");

    kelp_test::TraceTap tap;
    EXPECT_EQ(bcd_to_bin(b.data(), 0, 9), -1);
    EXPECT_EQ(bcd_to_bin(b.data(), 0, -1), -1);
    std::string t = tap.text();
    EXPECT_NE(t.find("(ERR-"), std::string::npos) << t;
    EXPECT_NE(t.find("bcd_to_bin: 9 digits is too many\n"), std::string::npos) << t;
    EXPECT_NE(t.find("bcd_to_bin: -1 digits is too many\n"), std::string::npos) << t;
}

}  // namespace
