#include <gtest/gtest.h>

#include <kelp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <clocale>
#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "models.h"
#include "testutil.h"

namespace {

using namespace std::string_literals;

// Each string sits right before a guard page: a read past a terminator
// faults.
TEST(Text, ClassesAndCase) {
    // The digit classes as a mask: decimal 4, hexadecimal 2, octal 1.
    const std::pair<const char *, int> classes[] = {{"", 7},    {"007", 7},   {"12a", 2},
                                                    {"8", 6},   {"0778", 6},  {"0x12", 0},
                                                    {"-12", 0}, {"12\xb2", 0}};
    kelp_test::GuardedBuffer ga, gb;
    for (auto [text, mask] : classes) {
        const char *s = ga.place(text);
        EXPECT_EQ(isdecstr(s) * 4 + ishexstr(s) * 2 + isoctstr(s), mask) << text;
    }
    char up[] = "abc-1z\xe9", low[] = "MiXeD 9";
    str2ucs(up);
    str2lcs(low);
    EXPECT_STREQ(up, "ABC-1Z\xe9");
    EXPECT_STREQ(low, "mixed 9");
    // {a, b, n, strncasecmp, strcasecmp}
    const std::tuple<const char *, const char *, int, int, int> pairs[] = {
        {"Hello", "hELLO", 100, 0, 0}, {"a", "", 1, 65, 65},        {"", "a", 5, -65, -65},
        {"abcX", "ABCy", 3, 0, -1},    {"abcX", "ABCy", 4, -1, -1}, {"ab", "abc", 5, -67, -67},
        {"abc", "xyz", 0, 0, -23},     {"abc", "xyz", -4, 0, -23}};
    for (auto [sa, sb, n, ncmp, cmp] : pairs) {
        const char *a = ga.place(sa), *b = gb.place(sb);
        EXPECT_EQ(port_strcasecmp(a, b), cmp) << sa << "/" << sb;
        EXPECT_EQ(port_strncasecmp(a, b, n), ncmp) << sa << "/" << sb << " n " << n;
    }
    EXPECT_EQ(strcount(ga.place("aaaa"), "aa"), 2);
    EXPECT_EQ(strcount(ga.place("aaa"), "aa"), 1);
    EXPECT_EQ(strcount(ga.place("abc"), ""), 0);
    EXPECT_EQ(chcount(ga.place("10.1.2.3"), '.' + 256), 3);  // taken as a char
    EXPECT_EQ(chcount(ga.place("abc"), 0), 0);
}

// Every pair of bytes, compared after a common prefix of 1 to 33 bytes so
// that whole blocks are compared before it, with both strings ending right
// before a guard page: at every pair of alignments, the same one included.
// Returns the number of mismatches against the byte-at-a-time model.
int case_comparison_mismatches() {
    kelp_test::GuardedBuffer ga, gb;
    int bad = 0;
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 256; ++y) {
            const std::string prefix(1 + (x * 7 + y) % 33, "aZ_{"[(x + y) % 4]);
            const size_t ta = (x + y * 3) % 16, tb = y % 2 != 0 ? ta : (x * 5 + y) % 16;
            const char *a = ga.place(prefix + static_cast<char>(x) + std::string(ta, 'q'));
            const char *b = gb.place(prefix + static_cast<char>(y) + std::string(tb, 'Q'));
            const long n = static_cast<long>(prefix.size()) + (x + y) % 3;
            bad += port_strcasecmp(a, b) != model::casecmp(a, b);
            bad += port_strncasecmp(a, b, static_cast<int>(n)) != model::ncasecmp(a, b, n);
        }
    }
    return bad;
}

TEST(Text, CaseComparisonOfEveryBytePair) {
    EXPECT_EQ(case_comparison_mismatches(), 0);
    // A locale whose case table is not plain ASCII (.ci/setup makes one).
    const char *latin1 = std::setlocale(LC_CTYPE, "fr_FR.ISO-8859-1");
    if (latin1 == nullptr)
        GTEST_SKIP() << "no fr_FR.ISO-8859-1 locale";
    EXPECT_EQ(std::toupper(0xe9), 0xc9);
    EXPECT_EQ(case_comparison_mismatches(), 0);
    std::setlocale(LC_CTYPE, "C");
}

TEST(Text, StripRuns) {
    // {text, flags, after stript, after stripl}
    const std::tuple<const char *, int, const char *, const char *> cases[] = {
        {"abc \n", STRIP_KEEP_SPACE, "abc ", "abc \n"}, {"x\x7f", STRIP_KEEP_DEL, "x\x7f", "x\x7f"},
        {"caf\xc3\xa9", 0, "caf", "caf\xc3\xa9"},       {" \t abc ", 0, " \t abc", "abc "},
        {"\t abc", STRIP_KEEP_SPACE, "\t abc", " abc"}, {"\r\n", 0, "", ""}};
    for (auto [in, flags, tail, lead] : cases) {
        std::string t = in, l = in;
        stript(t.data(), flags);
        stripl(l.data(), flags);
        EXPECT_STREQ(t.c_str(), tail);
        EXPECT_STREQ(l.c_str(), lead);
    }
}

TEST(Text, HexAndThousands) {
    const unsigned char b[] = {0x00, 0xAB, 0x7F, 0x01};
    EXPECT_STREQ(buf2hex(b, 3, nullptr, 0), "00:AB:7F");
    // Whole bytes only, and nothing behind the terminator.
    const std::tuple<int, int, const char *> hex[] = {{1, 4, "00"},           {1, 3, ""},
                                                      {4, 8, "00:AB"},        {4, 11, "00:AB:7F"},
                                                      {4, 12, "00:AB:7F:01"}, {-1, 9, ""}};
    for (auto [count, size, text] : hex) {
        char out[16];
        std::memset(out, 'Z', sizeof out);
        EXPECT_STREQ(buf2hex(b, count, out, size), text) << size;
        EXPECT_EQ(out[std::strlen(text) + 1], 'Z');
    }
    char z = 'Z';
    buf2hex(b, 4, &z, 0);
    EXPECT_EQ(z, 'Z');
    unsigned char many[100] = {};
    EXPECT_EQ(std::strlen(buf2hex(many, 100, nullptr, 0)), 254u);  // 85 bytes

    for (auto [value, text] : {std::pair{0, "0"},
                               {999, "999"},
                               {1000, "1,000"},
                               {-123, "-123"},
                               {-123456, "-123,456"},
                               {INT_MIN, "-2,147,483,648"}})
        EXPECT_STREQ(comma_number(value, nullptr, 1), text);
    EXPECT_STREQ(comma_number(1234567, nullptr, 0), "1,234,567");
    EXPECT_STREQ(comma_number(-1, nullptr, 0), "4,294,967,295");
}

TEST(Strsub, Examples) {
    // {text, size, old, new, flags, result, buffer}: a neighbour may be
    // inserted text; shrinking zeroes the bytes it frees.
    const std::tuple<const char *, int, const char *, const char *, int, int, std::string> cases[] =
        {{"aaa", 0, "a", "aa", 0, 3, "aaaaaa\0"s},
         {"abab", 8, "a", "xyz", 0, 1, "xyzbab\0"s},
         {"cat concat cat.", 0, "cat", "dog", STRSUB_WHOLE_WORD, 2, "dog concat dog.\0"s},
         {"-a-a", 0, "-a", "b+", STRSUB_WHOLE_WORD, 2, "b+b+\0"s},
         {"-a-a", 0, "-a", "b+", STRSUB_WHOLE_WORD | STRSUB_COUNT_ONLY, 1, "-a-a\0"s},
         {"hello world", 0, "o", "", 0, 2, "hell wrld\0\0\0#"s},
         {"old", 10, "", "new", 0, 1, "new\0\0\0\0\0\0\0#"s}};
    for (const auto &[in, size, o, n, flags, result, want] : cases) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        std::strcpy(buf, in);
        EXPECT_EQ(strsub(buf, size, o, n, flags), result) << in;
        EXPECT_EQ(std::string(buf, want.size()), want) << in;
    }
}

// Against the model on random strings over small alphabets, with every flag
// combination and sizes around the budget, over the whole buffer, whose
// bytes behind the terminator hold a marker or zero.
TEST(Strsub, MatchesStepByStepModel) {
    std::mt19937 rng(20261205);
    const char *alpha = nullptr;
    auto word = [&](unsigned maxlen) {
        std::string s(rng() % (maxlen + 1), ' ');
        for (char &ch : s)
            ch = alpha[rng() % std::strlen(alpha)];
        return s;
    };
    for (int iter = 0; iter < 60000; ++iter) {
        alpha = std::array{"ab-", "a_", "a1 ."}[iter % 3];
        const std::string in = word(16), o = word(3), n = word(4);
        const int flags = static_cast<int>(rng() % 4);
        const int size = rng() % 4 == 0 ? 0 : static_cast<int>(in.size() + rng() % 12) - 1;
        const std::string what =
            in + " " + o + ">" + n + " " + std::to_string(size) + " " + std::to_string(flags);
        std::string want(160, iter % 2 ? '\0' : '#');
        want.replace(0, in.size() + 1, in.c_str(), in.size() + 1);
        std::string got = want;
        const int r = model::strsub(want.data(), size, o.c_str(), n.c_str(), flags);
        ASSERT_EQ(strsub(got.data(), size, o.c_str(), n.c_str(), flags), r) << what;
        ASSERT_EQ(got, want) << what;
    }
}

}  // namespace
