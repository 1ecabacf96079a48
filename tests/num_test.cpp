#include <gtest/gtest.h>

#include <kelp.h>

#include <climits>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Maths, PowerWrapsAndLogIsExact) {
    struct { int base, exp, want; } pow[] = {
        {2, 10, 1024}, {5, -3, 1}, {0, 0, 1}, {0, 3, 0}, {-2, 3, -8}, {2, 31, INT_MIN}, {2, 32, 0},
        {10, 10, 1410065408}, {3, INT_MAX, -1431655765}};
    for (const auto &c : pow)
        EXPECT_EQ(mth_intpow(c.base, c.exp), c.want) << c.base << "^" << c.exp;
    struct { int base, value, want; } log[] = {
        {10, 9, 0}, {10, 10, 1}, {10, 99, 1}, {5, 5, 1}, {2, 1023, 9}, {2, 1024, 10}, {10, INT_MAX, 9},
        {2, INT_MAX, 30}, {46341, INT_MAX, 1}, {46340, INT_MAX, 2}, {3, 1162261467, 19}};
    for (const auto &c : log)
        EXPECT_EQ(mth_intlog(c.base, c.value), c.want) << c.base << " " << c.value;

    kelp_test::TraceTap tap;
    EXPECT_EQ(mth_intlog(0, 5) + mth_intlog(10, -1) + mth_intlog(1, 7), -3);
    std::string t = tap.text();
    for (const char *rec : {"(INFO-", "mth_intlog: illegal args, base=0, value=5\n",
                            "mth_intlog: illegal args, base=10, value=-1\n", "base=1, value=7\n"})
        EXPECT_NE(t.find(rec), std::string::npos) << rec << " in " << t;
}

TEST(Bcd, WritesKeepTheOtherNibble) {
    Bytes b(2, 0);
    bcdset(b.data(), 1, 2, 9);
    EXPECT_EQ(b, (Bytes{0x09, 0x90}));
    int n = 0;
    b.assign(3, 0xAA);
    bin_to_bcd(1234, b.data(), 1, &n);
    EXPECT_EQ(b, (Bytes{0xA1, 0x23, 0x4A}));
    EXPECT_EQ(n, 4);
    b.assign(10, 0xFF);
    bin_to_bcd(LONG_MIN, b.data(), 0, &n);  // the magnitude: a field has no sign
    EXPECT_EQ(b, (Bytes{0x92, 0x23, 0x37, 0x20, 0x36, 0x85, 0x47, 0x75, 0x80, 0x8F}));
    EXPECT_EQ(n, 19);
    decstr_to_bcd("0815", b.data(), 3);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0x92, 0x20, 0x81, 0x50}));

    const Bytes src{0x12, 0x34};
    Bytes dst(3, 0);
    bcdcpy(dst.data(), 1, src.data(), 0, 4);
    EXPECT_EQ(dst, (Bytes{0x01, 0x23, 0x40}));

    struct { int pos, width; long value; int want; Bytes bytes; } rep[] = {
        {0, 6, 42, 6, {0x00, 0x00, 0x42}}, {0, 3, 0, 3, {0x00, 0x0E, 0xEE}}, {0, 2, 12345, 5, {0x12, 0x34, 0x5E}},
        {1, 4, 7, 4, {0xE0, 0x00, 0x7E}}, {0, 3, -7, 3, {0x00, 0x7E, 0xEE}}};
    for (const auto &c : rep) {
        Bytes f(3, 0xEE);
        EXPECT_EQ(bcdrep(f.data(), c.pos, c.width, c.value), c.want) << c.value;
        EXPECT_EQ(f, c.bytes) << c.value;
    }
}

TEST(Bcd, ReadsAndRefusesLongCounts) {
    const Bytes b{0x12, 0x34, 0x56, 0x78, 0x9F};
    EXPECT_EQ(bcd_to_bin(b.data(), 1, 2), 23);
    EXPECT_EQ(bcd_to_bin(b.data(), 0, 0), 0);
    EXPECT_EQ(bcd_to_bin(b.data(), 2, 8), 34567905);  // the nibble F weighs 15
    char out[12] = "ZZZ";
    EXPECT_STREQ(bcd_to_decstr(b.data(), 3, 7, out), "456789f");
    EXPECT_STREQ(bcd_to_decstr(b.data(), 0, 0, out), "");

    kelp_test::TraceTap tap;
    EXPECT_EQ(bcd_to_bin(b.data(), 0, 9), -1);
    EXPECT_EQ(bcd_to_bin(b.data(), 0, -1), -1);
    std::string t = tap.text();
    EXPECT_NE(t.find("(ERR-"), std::string::npos) << t;
    EXPECT_NE(t.find("bcd_to_bin: 9 digits is too many\n"), std::string::npos) << t;
    EXPECT_NE(t.find("bcd_to_bin: -1 digits is too many\n"), std::string::npos) << t;
}

}  // namespace
