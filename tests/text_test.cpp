#include <gtest/gtest.h>

#include <kelp.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "testutil.h"

namespace {

TEST(Text, DigitClassesAndCase) {
    struct { const char *s; int dec, hex, oct; } cases[] = {
        {"", 1, 1, 1}, {"007", 1, 1, 1}, {"12a", 0, 1, 0}, {"8", 1, 1, 0}, {"0778", 1, 1, 0},
        {"0x12", 0, 0, 0}, {"-12", 0, 0, 0}, {"12\xb2", 0, 0, 0}};
    kelp_test::GuardedBuffer g;
    for (const auto &c : cases) {
        const char *s = g.place(c.s);
        EXPECT_EQ(isdecstr(s) * 4 + ishexstr(s) * 2 + isoctstr(s), c.dec * 4 + c.hex * 2 + c.oct) << c.s;
    }
    char up[] = "abc-1z\xe9", low[] = "MiXeD 9";
    str2ucs(up);
    str2lcs(low);
    EXPECT_STREQ(up, "ABC-1Z\xe9");
    EXPECT_STREQ(low, "mixed 9");
}

// Both strings end at a guard page: a read past either terminator faults.
TEST(Text, ComparisonsStopAtTerminators) {
    struct { const char *a, *b; int n, ncmp, cmp; } cases[] = {
        {"Hello", "hELLO", 100, 0, 0}, {"abc", "ABD", 2, 0, -1}, {"a", "", 1, 65, 65}, {"", "a", 5, -65, -65},
        {"abcX", "ABCy", 3, 0, -1}, {"abcX", "ABCy", 4, -1, -1}, {"ab", "abc", 5, -67, -67},
        {"ab", "ab", 100, 0, 0}, {"abc", "xyz", 0, 0, -23}, {"abc", "xyz", -4, 0, -23}};
    kelp_test::GuardedBuffer ga, gb;
    for (const auto &c : cases) {
        const char *a = ga.place(c.a), *b = gb.place(c.b);
        EXPECT_EQ(port_strcasecmp(a, b), c.cmp) << c.a << "/" << c.b;
        EXPECT_EQ(port_strncasecmp(a, b, c.n), c.ncmp) << c.a << "/" << c.b << " n " << c.n;
    }
    EXPECT_EQ(strcount(ga.place("aaaa"), "aa"), 2);
    EXPECT_EQ(strcount(ga.place("aaa"), "aa"), 1);
    EXPECT_EQ(strcount(ga.place("abc"), ""), 0);
    EXPECT_EQ(chcount(ga.place("10.1.2.3"), '.' + 256), 3);  // taken as a char
    EXPECT_EQ(chcount(ga.place("abc"), 0), 0);
}

TEST(Text, StripRuns) {
    struct { const char *in; int flags; const char *tail, *lead; } cases[] = {
        {"abc \t\n", 0, "abc", "abc \t\n"}, {"abc \n", STRIP_KEEP_SPACE, "abc ", "abc \n"},
        {"x\x7f", STRIP_KEEP_DEL, "x\x7f", "x\x7f"}, {"caf\xc3\xa9", 0, "caf", "caf\xc3\xa9"},
        {" \t abc ", 0, " \t abc", "abc "}, {"\t abc", STRIP_KEEP_SPACE, "\t abc", " abc"},
        {"\r\n", 0, "", ""}};
    for (const auto &c : cases) {
        char t[16] = {}, l[16] = {};
        std::strcpy(t, c.in);
        std::strcpy(l, c.in);
        stript(t, c.flags);
        stripl(l, c.flags);
        EXPECT_STREQ(t, c.tail);
        EXPECT_STREQ(l, c.lead);
    }
}

TEST(Text, HexAndThousands) {
    const unsigned char b[] = {0x00, 0xAB, 0x7F, 0x01};
    EXPECT_STREQ(buf2hex(b, 3, nullptr, 0), "00:AB:7F");
    struct { int count, size; const char *text; } hex[] = {
        {1, 4, "00"}, {1, 3, ""}, {4, 8, "00:AB"}, {4, 11, "00:AB:7F"}, {4, 12, "00:AB:7F:01"}, {-1, 9, ""}};
    for (const auto &c : hex) {
        char out[16];
        std::memset(out, 'Z', sizeof out);
        EXPECT_STREQ(buf2hex(b, c.count, out, c.size), c.text) << c.size;
        EXPECT_EQ(out[std::strlen(c.text) + 1], 'Z');  // nothing behind the terminator
    }
    char z = 'Z';
    buf2hex(b, 4, &z, 0);
    EXPECT_EQ(z, 'Z');
    unsigned char many[100] = {};
    EXPECT_EQ(std::strlen(buf2hex(many, 100, nullptr, 0)), 254u);  // 85 bytes

    struct { int v, sign; const char *text; } num[] = {
        {0, 1, "0"}, {999, 1, "999"}, {1000, 1, "1,000"}, {1234567, 0, "1,234,567"}, {-123, 1, "-123"},
        {-123456, 1, "-123,456"}, {INT_MIN, 1, "-2,147,483,648"}, {-1, 0, "4,294,967,295"}};
    for (const auto &c : num)
        EXPECT_STREQ(comma_number(c.v, nullptr, c.sign), c.text);
}

// The step-by-step substitution: every replacement moves the tail at once.
int model_strsub(char *buf, int size, const char *o, const char *nw, int flags) {
    long lo = static_cast<long>(std::strlen(o)), ln = static_cast<long>(std::strlen(nw));
    if (lo == 0) {
        if (size != 0 && size <= ln)
            return 0;
        std::memset(buf, 0, static_cast<size_t>(size > 0 ? size : 0));
        std::strcpy(buf, nw);
        return 1;
    }
    auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    long d = ln - lo, ws = size;
    int count = 0;
    for (char *pos = buf;; ++count) {
        char *p = std::strstr(pos, o);
        while (p && (flags & STRSUB_WHOLE_WORD) && (alnum(p[lo]) || (p != buf && alnum(p[-1]))))
            p = std::strstr(p + 1, o);
        if (p == nullptr)
            return count;
        long len = static_cast<long>(std::strlen(buf));
        if (flags & STRSUB_COUNT_ONLY) {
            if (ws != 0 && d > 0 && (ws -= d) < len + 1)
                return count;
            pos = p + lo;
            continue;
        }
        if (d > 0 && size != 0 && len + d + 1 > size)
            return count;
        std::memmove(p + ln, p + lo, std::strlen(p + lo) + 1);
        if (d < 0)
            std::memset(buf + len + d + 1, 0, static_cast<size_t>(-d));
        std::memcpy(p, nw, static_cast<size_t>(ln));
        pos = p + ln;
    }
}

TEST(Strsub, Examples) {
    struct { const char *in; int size; const char *o, *n; int flags, result; const char *out; size_t len = 0; } cases[] = {
        {"aaa", 0, "a", "aa", 0, 3, "aaaaaa"}, {"abab", 8, "a", "xyz", 0, 1, "xyzbab"},
        {"cat concat cat.", 0, "cat", "dog", STRSUB_WHOLE_WORD, 2, "dog concat dog."},
        {"-a-a", 0, "-a", "b+", STRSUB_WHOLE_WORD, 2, "b+b+"},  // neighbour is inserted text
        {"-a-a", 0, "-a", "b+", STRSUB_WHOLE_WORD | STRSUB_COUNT_ONLY, 1, "-a-a"},
        {"hello world", 0, "o", "", 0, 2, "hell wrld\0\0\0#", 13}, {"old", 10, "", "new", 0, 1, "new\0\0\0\0\0\0\0#", 11}};
    for (const auto &c : cases) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        std::strcpy(buf, c.in);
        EXPECT_EQ(strsub(buf, c.size, c.o, c.n, c.flags), c.result) << c.in;
        size_t len = c.len ? c.len : std::strlen(c.out) + 1;
        EXPECT_EQ(std::string(buf, len), std::string(c.out, len)) << c.in;
    }
}

// Against the model on random strings over small alphabets, with every flag
// combination and sizes around the budget, over the whole buffer, whose
// bytes behind the terminator hold a marker or zero.
TEST(Strsub, MatchesStepByStepModel) {
    std::mt19937 rng(20261205);
    const char *alphabets[] = {"ab-", "a_", "a1 ."};
    auto word = [&](const char *alpha, unsigned maxlen) {
        std::string s(rng() % (maxlen + 1), ' ');
        for (char &ch : s)
            ch = alpha[rng() % std::strlen(alpha)];
        return s;
    };
    for (int iter = 0; iter < 60000; ++iter) {
        const char *alpha = alphabets[iter % 3];
        std::string in = word(alpha, 16), o = word(alpha, 3), n = word(alpha, 4);
        int flags = static_cast<int>(rng() % 4);
        int size = rng() % 4 == 0 ? 0 : static_cast<int>(in.size() + rng() % 12) - 1;
        char want[160], got[160];
        std::memset(want, iter % 2 ? '\0' : '#', sizeof want);
        std::memcpy(want, in.c_str(), in.size() + 1);
        std::memcpy(got, want, sizeof got);
        int r = model_strsub(want, size, o.c_str(), n.c_str(), flags);
        ASSERT_EQ(strsub(got, size, o.c_str(), n.c_str(), flags), r) << in << " " << o << ">" << n << " " << size;
        ASSERT_EQ(std::memcmp(got, want, sizeof got), 0) << in << " " << o << ">" << n << " " << size << " " << flags;
    }
}

}  // namespace
