// Integer power and logarithm, packed BCD fields.
#include <gtest/gtest.h>

#include <kelp.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "testutil.h"

namespace {

// The nibbles of an n-byte field filled with fill, after op wrote to it.
template <typename Op>
std::string after(size_t n, unsigned char fill, Op op) {
    std::vector<unsigned char> field(n, fill);
    op(field.data());
    std::string hex;
    for (unsigned char c : field)
        hex += {"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
    return hex;
}

TEST(Maths, PowerWrapsAndLogIsExact) {
    // {base, exponent, power}, then {base, value, log}: exact powers, their
    // neighbours, and powers that would overflow on the next step.
    const int pow[][3] = {{2, 10, 1024}, {5, -3, 1},           {0, 0, 1},
                          {-2, 3, -8},   {10, 10, 1410065408}, {3, INT_MAX, -1431655765}};
    for (const auto &c : pow)
        EXPECT_EQ(mth_intpow(c[0], c[1]), c[2]) << c[0] << "^" << c[1];
    const int log[][3] = {{10, 9, 0},          {10, 10, 1},        {2, 1023, 9},
                          {2, 1024, 10},       {10, INT_MAX, 9},   {46341, INT_MAX, 1},
                          {46340, INT_MAX, 2}, {3, 1162261467, 19}};
    for (const auto &c : log)
        EXPECT_EQ(mth_intlog(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

TEST(Bcd, WritesKeepTheOtherNibble) {
    int n = 0;
    EXPECT_EQ(after(2, 0, [](auto p) { bcdset(p, 1, 2, 9); }), "0990");
    EXPECT_EQ(after(3, 0xAA, [&](auto p) { bin_to_bcd(1234, p, 1, &n); }), "A1234A");
    EXPECT_EQ(n, 4);
    // The magnitude: a field has no sign.
    EXPECT_EQ(after(10, 0xFF, [&](auto p) { bin_to_bcd(LONG_MIN, p, 0, &n); }),
              "9223372036854775808F");
    EXPECT_EQ(n, 19);
    EXPECT_EQ(after(3, 0xFF, [](auto p) { decstr_to_bcd("0815", p, 1); }), "F0815F");
    const unsigned char src[] = {0x12, 0x34};
    EXPECT_EQ(after(3, 0, [&](auto p) { bcdcpy(p, 1, src, 0, 4); }), "012340");
    // Right-aligned and zero-padded; a longer value runs past the width.
    const std::tuple<int, int, long, int, const char *> rep[] = {
        {0, 6, 42, 6, "000042"}, {0, 3, 0, 3, "000EEE"}, {0, 2, 12345, 5, "12345E"},
        {0, 2, 99, 2, "99EEEE"}, {1, 4, 7, 4, "E0007E"}, {0, 3, -7, 3, "007EEE"}};
    for (const auto &[pos, width, value, want, field] : rep) {
        EXPECT_EQ(after(3, 0xEE, [&](auto p) { n = bcdrep(p, pos, width, value); }), field);
        EXPECT_EQ(n, want) << field;
    }
}

TEST(Bcd, Reads) {
    const unsigned char b[] = {0x12, 0x34, 0x56, 0x78, 0x9F};
    char out[12] = "ZZZ";
    EXPECT_EQ(bcd_to_bin(b, 1, 2), 23);
    EXPECT_EQ(bcd_to_bin(b, 0, 0), 0);
    EXPECT_EQ(bcd_to_bin(b, 2, 8), 34567905);  // the nibble F weighs 15
    EXPECT_STREQ(bcd_to_decstr(b, 3, 7, out), "456789f");
    EXPECT_STREQ(bcd_to_decstr(b, 0, 0, out), "");
}

// Refusals return -1 and leave a record at the level of their kind.
TEST(Num, RefusalsAreTraced) {
    kelp_test::TraceTap tap;
    const unsigned char b[9] = {};
    EXPECT_EQ(mth_intlog(0, 5) + mth_intlog(10, -1) + mth_intlog(1, 7), -3);
    EXPECT_EQ(bcd_to_bin(b, 0, 9) + bcd_to_bin(b, 0, -1), -2);
    for (const char *rec :
         {"(INFO-", "mth_intlog: illegal args, base=0, value=5\n",
          "mth_intlog: illegal args, base=10, value=-1\n", "base=1, value=7\n", "(ERR-",
          "bcd_to_bin: 9 digits is too many\n", "bcd_to_bin: -1 digits is too many\n"})
        EXPECT_PRED_FORMAT2(testing::IsSubstring, rec, tap.text());
}

}  // namespace
