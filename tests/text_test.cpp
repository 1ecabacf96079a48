// Text utilities: classes, case, counting, trimming and formatting; the
// case-insensitive comparison and the substitution against literal models.
#include <gtest/gtest.h>

#include <kelp.h>

#include <locale.h>
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
    EXPECT_EQ(strcount(g.place("aaaaa"), "aa"), 2);  // matches do not overlap
    EXPECT_EQ(strcount(g.place("a"), ""), 0);
    EXPECT_EQ(chcount(g.place("a"), 256), 0);  // the terminator is no part of the string
    EXPECT_EQ(chcount(g.place("1..2.3..."), '.' + 256), 6);  // taken as a char, runs too

    std::string t = "\t abc \x7f\n", l = t + std::string("\0Z", 2), u = " caf\xc3\xa9\r\n";
    stript(t.data(), STRIP_KEEP_DEL);
    stripl(l.data(), STRIP_KEEP_SPACE);
    stripl(u.data(), 0);
    stript(u.data(), 0);
    EXPECT_STREQ(t.c_str(), "\t abc \x7f");
    EXPECT_EQ(l, std::string(" abc \x7f\n\0\0Z", 10));  // the bytes behind stay
    EXPECT_STREQ(u.c_str(), "caf");

    const unsigned char b[] = {0x00, 0xAB, 0x7F, 0x01}, many[100] = {};
    char out[16] = "ZZZZZZZZZZZZZZ";
    EXPECT_EQ(buf2hex(b, 4, out, 0)[0], 'Z');          // no room even for the terminator
    EXPECT_STREQ(buf2hex(b, 4, out, 11), "00:AB:7F");  // whole bytes only
    EXPECT_STREQ(buf2hex(b + 1, 1, out, 4), "AB");
    EXPECT_EQ(out[9], 'Z');                                        // nothing behind the terminator
    EXPECT_EQ(std::strlen(buf2hex(many, 100, nullptr, 0)), 254u);  // 85 bytes fill 257
    EXPECT_STREQ(comma_number(0, nullptr, 1), "0");
    EXPECT_STREQ(comma_number(-1234, nullptr, 1), "-1,234");
    EXPECT_STREQ(comma_number(INT_MIN, nullptr, 1), "-2,147,483,648");
    EXPECT_STREQ(comma_number(-1, nullptr, 0), "4,294,967,295");
}

// Every pair of bytes after a common prefix (so that whole blocks are
// compared before it), then tails equal but for case and 0 to 15 bytes
// long. Each string ends against a guard page or starts 0 to 15 bytes after
// one, which puts the two at every pair of alignments. Returns the
// mismatches against the model, which asks the locale's own toupper.
int case_mismatches() {
    kelp_test::GuardedBuffer ga, gb;
    int bad = 0;
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 256; ++y) {
            const int k = (x + y) % 4;
            const std::string prefix(1 + (x / 16 + y / 16 * 3) % 40, "aZ_{"[k]);
            const std::string sa = prefix + char(x) + std::string(x % 16, 'q');
            const std::string sb = prefix + char(y) + std::string(y % 16, 'Q');
            const char *a = k % 2 != 0 ? ga.place(sa) : ga.place_at(y / 16, sa);
            const char *b = k < 2 ? gb.place(sb) : gb.place_at(x / 16, sb);
            const int n = k == 3 ? 1000 : static_cast<int>(prefix.size()) + k - 1;
            bad += port_strcasecmp(a, b) != model::ncasecmp(a, b);
            bad += port_strncasecmp(a, b, n) != model::ncasecmp(a, b, n);
        }
    }
    return bad;
}

// In the C locale, a UTF-8 one and one whose case table is not plain ASCII
// (.ci/setup makes it), each switch seen by the next call, the return to a
// locale met before as well; then a thread's own locale and its return to
// the global one.
TEST(Text, CaseComparisonOfEveryBytePair) {
    EXPECT_EQ(port_strncasecmp("abc", "xyz", 0) | port_strncasecmp("abc", "xyz", -4), 0);
    // n bytes without a terminator against the page's end are enough, on
    // either side, whatever the alignment of the other string.
    kelp_test::GuardedBuffer ga, gb;
    const std::string key = "Configuration-Key-Value-Of-Length-Forty-Eight!!!";
    for (int n = 1; n <= 48; ++n) {
        const char *a = ga.place_at(n % 16, key.substr(0, n));
        const auto *b = static_cast<const char *>(std::memcpy(gb.tail(n), key.data(), n));
        EXPECT_EQ(port_strncasecmp(a, b, n) | port_strncasecmp(b, a, n), 0) << n;
    }
    for (const char *name : {"C", "C.UTF-8", "fr_FR.ISO-8859-1", "C"}) {
        if (std::setlocale(LC_CTYPE, name) == nullptr)
            GTEST_SKIP() << "no locale " << name;
        EXPECT_EQ(case_mismatches(), 0) << name;
    }
    const locale_t fr = newlocale(LC_CTYPE_MASK, "fr_FR.ISO-8859-1", locale_t{});
    EXPECT_EQ(port_strcasecmp("\xe9t\xe9", "\xc9T\xc9"), 0x20);
    const locale_t before = uselocale(fr);
    EXPECT_EQ(port_strcasecmp("\xe9t\xe9", "\xc9T\xc9") | port_strncasecmp("\xe9t", "\xc9T", 2), 0);
    uselocale(before);
    EXPECT_EQ(port_strncasecmp("\xe9t\xe9", "\xc9T\xc9", 3), 0x20);
    freelocale(fr);
}

// Names of every length, the longest first, and more locales than the store
// of case tables holds: a name too long for it, or one met once it is full,
// is served byte by byte, and the locales met before still from their
// tables.
TEST(Text, CaseComparisonInManyLocales) {
    const char *fr[] = {"fr_FR.iso88591", "fr_FR.ISO8859-1", "fr_FR.iso-8859-1", "fr_FR.ISO_8859-1",
                        "fr_FR.ISO88591", "fr_FR.Iso88591",  "fr_FR.ISO-8859-1"};
    for (int k = 69; k >= 0; --k) {
        const std::string name = k % 7 != 3 ? "C.UTF-8@" + std::string(k, 'x') : fr[k / 7 % 7];
        if (std::setlocale(LC_CTYPE, name.c_str()) == nullptr)
            GTEST_SKIP() << "no locale " << name;
        const int latin = name[0] == 'f' ? 0x20 : 0;
        EXPECT_EQ(port_strcasecmp("caf\xe9-Kelp", "CAF\xc9-kelp"), 0x20 - latin) << name;
        EXPECT_EQ(port_strncasecmp("Kelp\xe9", "kELPz", 5), 0xE9 - latin - 'Z') << name;
    }
    std::setlocale(LC_CTYPE, "C");
}

// Random strings over small alphabets, short and long enough for the
// search to go 16 bytes at a time, with every flag combination and sizes
// around the budget, over the whole buffer, whose bytes behind the
// terminator are zero or more text, so that a search or a move past the
// end would show.
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
        const std::string in = word(iter % 4 != 0 ? 16 : 120), o = word(3), n = word(4);
        const int flags = static_cast<int>(rng() % 4);
        const int size = rng() % 4 == 0 ? 0 : static_cast<int>(in.size() + rng() % 12) - 1;
        const std::string junk =
            iter % 2 != 0 ? std::string(640, '\0') : word(600) + std::string(640, 'a');
        std::string want = in + '\0' + junk.substr(0, 639 - in.size()), got = want;
        const int r = model::strsub(want.data(), size, o.c_str(), n.c_str(), flags);
        ASSERT_EQ(strsub(got.data(), size, o.c_str(), n.c_str(), flags), r) << o << ">" << n;
        ASSERT_EQ(got, want) << o << ">" << n << " " << size << " " << flags;
    }
}

}  // namespace
