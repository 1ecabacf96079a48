// Text utilities: classes, case, counting, trimming and formatting; the
// case-insensitive comparison and the substitution against literal models.
#include <gtest/gtest.h>

#include <kelp.h>

#include <array>
#include <climits>
#include <clocale>
#include <random>

#include "models.h"
#include "testutil.h"

namespace {

TEST(Text, ClassesCaseCountsStripAndFormat) {
    kelp_test::GuardedBuffer g;  // a read past a terminator faults
    EXPECT_EQ(isdecstr(g.place("0123456789")), 1);
    EXPECT_EQ(isdecstr(g.place("12a")), 0);
    EXPECT_EQ(ishexstr(g.place("09afAF")), 1);
    EXPECT_EQ(ishexstr(g.place("0x12")), 0);
    EXPECT_EQ(isoctstr(g.place("01234567")), 1);
    EXPECT_EQ(isoctstr(g.place("0778")), 0);
    char s[] = "aB-1\xe9";
    str2ucs(s);
    EXPECT_STREQ(s, "AB-1\xe9");
    str2lcs(s);
    EXPECT_STREQ(s, "ab-1\xe9");
    EXPECT_EQ(strcount(g.place("aaaaa"), "aa"), 2);         // matches do not overlap
    EXPECT_EQ(chcount(g.place("10.1.2.3"), '.' + 256), 3);  // taken as a char

    std::string t = "\t abc \x7f\n", l = t, u = " caf\xc3\xa9\r\n";
    stript(t.data(), STRIP_KEEP_DEL);
    stripl(l.data(), STRIP_KEEP_SPACE);
    stripl(u.data(), 0);
    stript(u.data(), 0);
    EXPECT_STREQ(t.c_str(), "\t abc \x7f");
    EXPECT_STREQ(l.c_str(), " abc \x7f\n");
    EXPECT_STREQ(u.c_str(), "caf");

    const unsigned char b[] = {0x00, 0xAB, 0x7F, 0x01}, many[100] = {};
    char out[16] = "ZZZZZZZZZZZZZZ";
    EXPECT_EQ(buf2hex(b, 4, out, 0)[0], 'Z');          // no room even for the terminator
    EXPECT_STREQ(buf2hex(b, 4, out, 11), "00:AB:7F");  // whole bytes only
    EXPECT_EQ(out[9], 'Z');                            // nothing behind the terminator
    EXPECT_EQ(std::strlen(buf2hex(many, 100, nullptr, 0)), 254u);  // 85 bytes fill 257
    EXPECT_STREQ(comma_number(999, nullptr, 1), "999");
    EXPECT_STREQ(comma_number(INT_MIN, nullptr, 1), "-2,147,483,648");
    EXPECT_STREQ(comma_number(-1, nullptr, 0), "4,294,967,295");
}

// Every pair of bytes after a common prefix of 1 to 33 bytes, so that whole
// blocks are compared before it, both strings ending right before a guard
// page: at every pair of alignments, the same one included. Returns the
// mismatches against the byte-at-a-time model.
int case_mismatches() {
    kelp_test::GuardedBuffer ga, gb;
    int bad = 0;
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 256; ++y) {
            const std::string prefix(1 + (x * 7 + y) % 33, "aZ_{"[(x + y) % 4]);
            const size_t ta = (x + y * 3) % 16, tb = y % 2 != 0 ? ta : (x * 5 + y) % 16;
            const char *a = ga.place(prefix + static_cast<char>(x) + std::string(ta, 'q'));
            const char *b = gb.place(prefix + static_cast<char>(y) + std::string(tb, 'Q'));
            const int n = static_cast<int>(prefix.size()) + (x + y) % 3;
            bad += port_strcasecmp(a, b) != model::casecmp(a, b);
            bad += port_strncasecmp(a, b, n) != model::ncasecmp(a, b, n);
        }
    }
    return bad;
}

TEST(Text, CaseComparisonOfEveryBytePair) {
    EXPECT_EQ(port_strncasecmp("abc", "xyz", 0), 0);
    EXPECT_EQ(port_strncasecmp("abc", "xyz", -4), 0);
    EXPECT_EQ(case_mismatches(), 0);
    // A locale whose case table is not plain ASCII (.ci/setup makes one).
    if (std::setlocale(LC_CTYPE, "fr_FR.ISO-8859-1") == nullptr)
        GTEST_SKIP() << "no fr_FR.ISO-8859-1 locale";
    EXPECT_EQ(case_mismatches(), 0);
    std::setlocale(LC_CTYPE, "C");
}

// Random strings over small alphabets, with every flag combination and
// sizes around the budget, over the whole buffer, whose bytes behind the
// terminator hold a marker or zero.
TEST(Strsub, MatchesStepByStepModel) {
    std::mt19937 rng(20261205);
    for (int iter = 0; iter < 60000; ++iter) {
        const std::string alpha = std::array{"ab-", "a_", "a1 ."}[iter % 3];
        auto word = [&](unsigned maxlen) {
            std::string s(rng() % (maxlen + 1), ' ');
            for (char &ch : s)
                ch = alpha[rng() % alpha.size()];
            return s;
        };
        const std::string in = word(16), o = word(3), n = word(4);
        const int flags = static_cast<int>(rng() % 4);
        const int size = rng() % 4 == 0 ? 0 : static_cast<int>(in.size() + rng() % 12) - 1;
        std::string want = in + '\0' + std::string(159 - in.size(), iter % 2 != 0 ? '\0' : '#');
        std::string got = want;
        const int r = model::strsub(want.data(), size, o.c_str(), n.c_str(), flags);
        ASSERT_EQ(strsub(got.data(), size, o.c_str(), n.c_str(), flags), r) << o << ">" << n;
        ASSERT_EQ(got, want) << o << ">" << n << " " << size << " " << flags;
    }
}

}  // namespace
