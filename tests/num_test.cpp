// Integer power and logarithm, packed BCD fields.
#include <gtest/gtest.h>
#include <kelp.h>

#include <climits>

#include "testutil.h"

// Powers wrap modulo 2^32 and a negative exponent gives 1; the log is the
// largest k with base^k <= value (an exact power counts), up to INT_MAX.
// Refusals give -1 and leave a record at the level of their kind.
TEST(Num, PowerLogAndRefusals) {
    kelp_test::TraceTap tap;
    const int pow[][3] = {{5, -3, 1}, {-2, 3, -8}, {10, 10, 1410065408}, {3, INT_MAX, -1431655765}};
    for (const auto &c : pow)
        EXPECT_EQ(mth_intpow(c[0], c[1]), c[2]) << c[0] << "^" << c[1];
    const int log[][3] = {
        {10, 100, 2}, {46341, INT_MAX, 1}, {46340, INT_MAX, 2}, {1, 7, -1}, {2, 0, -1}};
    for (const auto &c : log)
        EXPECT_EQ(mth_intlog(c[0], c[1]), c[2]) << "log " << c[0] << " of " << c[1];
    const unsigned char bcd[] = {0x12, 0x3E, 0x45, 0x67, 0x89};
    // A nibble above 9 weighs its value; 0 to 8 digits are read.
    const int digits[][3] = {{1, 3, 244}, {1, 8, 24445678}, {1, 0, 0}, {0, 9, -1}};
    for (const auto &c : digits)
        EXPECT_EQ(bcd_to_bin(bcd, c[0], c[1]), c[2]) << c[1] << " digits";
    const std::string pid = std::to_string(getpid());
    for (const std::string &rec :
         {"(INFO-" + pid + "): mth_intlog: illegal args, base=1, value=7\n",
          "(ERR-" + pid + "): bcd_to_bin: 9 digits is too many\n"})
        EXPECT_NE(tap.text().find(rec), std::string::npos) << rec << tap.text();
}

// Each write keeps the nibbles around its own: an e stays between them. bcdrep
// right-aligns and zero-pads the magnitude (a field has no sign), and says so
// when a longer value runs past the width.
TEST(Bcd, WritesTouchOnlyTheirNibbles) {
    std::basic_string<unsigned char> f(16, 0xEE);
    const unsigned char src[] = {0x12, 0x34};
    char text[33];
    bcdset(f.data(), 1, 2, 9);
    decstr_to_bcd("0815", f.data(), 4);
    bcdcpy(f.data(), 9, src, 0, 4);
    EXPECT_EQ(bcdrep(f.data(), 14, 4, 7), 4);
    EXPECT_EQ(bcdrep(f.data(), 19, 3, -7), 3);
    EXPECT_EQ(bcdrep(f.data(), 23, 2, 12345), 5);
    EXPECT_STREQ(bcd_to_decstr(f.data(), 0, 32, text), "e99e0815e1234e0007e007e12345eeee");
    int n = 0;
    f.assign(16, 0xEE);
    bin_to_bcd(LONG_MIN, f.data(), 1, &n);
    EXPECT_EQ(n, 19);
    EXPECT_STREQ(bcd_to_decstr(f.data(), 0, 21, text), "e9223372036854775808e");
}
