#include <gtest/gtest.h>

#include <kelp.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "testutil.h"

namespace {

using kelp_test::GuardedBuffer;

TEST(Classify, DigitClassesAndCase) {
    struct Case {
        const char *s;
        int dec, hex, oct;
    } cases[] = {{"", 1, 1, 1},     {"0", 1, 1, 1},     {"007", 1, 1, 1},  {"12a", 0, 1, 0},
                 {"1f", 0, 1, 0},   {"8", 1, 1, 0},     {"0778", 1, 1, 0}, {"0x12", 0, 0, 0},
                 {"-12", 0, 0, 0},  {" 12", 0, 0, 0},   {"17h", 0, 0, 0},  {"12\xb2", 0, 0, 0}};
    GuardedBuffer g;
    for (const Case &c : cases) {
        const char *s = g.place(c.s);
        EXPECT_EQ(isdecstr(s), c.dec) << c.s;
        EXPECT_EQ(ishexstr(s), c.hex) << c.s;
        EXPECT_EQ(isoctstr(s), c.oct) << c.s;
    }
    char up[] = "abc-1z\xe9", low[] = "MiXeD 9", empty[] = "";
    str2ucs(up);
    str2lcs(low);
    str2ucs(empty);
    EXPECT_STREQ(up, "ABC-1Z\xe9");
    EXPECT_STREQ(low, "mixed 9");
    EXPECT_EQ(empty[0], '\0');
}

// Both strings end at a guard page: a read past either terminator faults.
TEST(Compare, CaseInsensitiveWithoutReadingPastTerminators) {
    struct Case {
        const char *a, *b;
        int n, ncmp, cmp;
    } cases[] = {{"Hello", "hELLO", 100, 0, 0}, {"abc", "abd", 3, -1, -1},  {"abd", "abc", 3, 1, 1},
                 {"abc", "ABD", 2, 0, -1},      {"a", "", 1, 65, 65},       {"", "a", 5, -65, -65},
                 {"abcX", "ABCy", 3, 0, -1},    {"abcX", "ABCy", 4, -1, -1}, {"ab", "abc", 5, -67, -67},
                 {"ab", "ab", 100, 0, 0},       {"abc", "xyz", 0, 0, -23},   {"abc", "xyz", -4, 0, -23},
                 {"abcdef", "ABCxyz", 3, 0, -20}};
    GuardedBuffer ga, gb;
    for (const Case &c : cases) {
        const char *a = ga.place(c.a), *b = gb.place(c.b);
        EXPECT_EQ(port_strcasecmp(a, b), c.cmp) << c.a << " / " << c.b;
        EXPECT_EQ(port_strncasecmp(a, b, c.n), c.ncmp) << c.a << " / " << c.b << " n " << c.n;
    }
}

TEST(Count, SubstringsAndCharacters) {
    GuardedBuffer g;
    EXPECT_EQ(strcount(g.place("aaaa"), "aa"), 2);
    EXPECT_EQ(strcount(g.place("aaa"), "aa"), 1);
    EXPECT_EQ(strcount(g.place("abc"), "abcd"), 0);
    EXPECT_EQ(strcount(g.place(""), "a"), 0);
    EXPECT_EQ(strcount(g.place("abc"), ""), 0);
    EXPECT_EQ(chcount(g.place("a.b.c"), '.'), 2);
    EXPECT_EQ(chcount(g.place("10.1.2.3"), '.' + 256), 3);  // taken as a char
    EXPECT_EQ(chcount(g.place("\xff\xff"), -1), 2);
    EXPECT_EQ(chcount(g.place(""), 'x'), 0);
    EXPECT_EQ(chcount(g.place("abc"), 0), 0);
}

TEST(Strip, TrailingAndLeadingRuns) {
    struct Case {
        const char *in;
        int flags;
        const char *tail, *lead;
    } cases[] = {{"abc \t\n", 0, "abc", "abc \t\n"},
                 {" \r\n\t ", 0, "", ""},
                 {"abc \n", STRIP_KEEP_SPACE, "abc ", "abc \n"},
                 {"x\x7f", 0, "x", "x\x7f"},
                 {"x\x7f", STRIP_KEEP_DEL, "x\x7f", "x\x7f"},
                 {"caf\xc3\xa9", 0, "caf", "caf\xc3\xa9"},
                 {" \t abc ", 0, " \t abc", "abc "},
                 {" \tabc", STRIP_KEEP_SPACE, " \tabc", " \tabc"},
                 {"\t abc", STRIP_KEEP_SPACE, "\t abc", " abc"},
                 {"a \t b", 0, "a \t b", "a \t b"},
                 {"Thu Jan  1 00:00:00 1970\n", 0, "Thu Jan  1 00:00:00 1970", "Thu Jan  1 00:00:00 1970\n"}};
    for (const Case &c : cases) {
        char t[64], l[64];
        std::memset(t, 'Z', sizeof t);
        std::memset(l, 'Z', sizeof l);
        size_t len = std::strlen(c.in);
        std::memcpy(t, c.in, len + 1);
        std::memcpy(l, c.in, len + 1);
        stript(t, c.flags);
        stripl(l, c.flags);
        EXPECT_STREQ(t, c.tail) << c.in;
        EXPECT_STREQ(l, c.lead) << c.in;
        for (size_t i = std::strlen(t); i <= len; ++i)
            EXPECT_EQ(t[i], '\0') << "stript leaves stripped bytes: " << c.in;
        EXPECT_EQ(t[len + 1], 'Z');
    }
    char l[] = "\t\tab";  // stripl leaves the old tail behind the new terminator
    stripl(l, 0);
    EXPECT_EQ(std::string(l, sizeof l), std::string("ab\0b\0", 5));
}

TEST(Format, HexDumpCutsToWholeBytes) {
    const unsigned char b[] = {0x00, 0xAB, 0x7F, 0x01};
    char out[16];
    EXPECT_STREQ(buf2hex(b, 3, nullptr, 0), "00:AB:7F");
    struct Case {
        int count, size;
        const char *text;
    } cases[] = {{1, 4, "00"}, {1, 3, ""}, {4, 8, "00:AB"}, {4, 9, "00:AB:7F"}, {4, 11, "00:AB:7F"},
                 {4, 12, "00:AB:7F:01"}, {0, 16, ""}, {-1, 16, ""}};
    for (const Case &c : cases) {
        std::memset(out, 'Z', sizeof out);
        EXPECT_EQ(buf2hex(b, c.count, out, c.size), out);
        EXPECT_STREQ(out, c.text) << c.count << "/" << c.size;
        for (int i = static_cast<int>(std::strlen(c.text)) + 1; i < 16; ++i)
            ASSERT_EQ(out[i], 'Z') << "wrote past the text, size " << c.size;
    }
    std::memset(out, 'Z', sizeof out);
    buf2hex(b, 4, out, 0);
    EXPECT_EQ(out[0], 'Z');  // no room even for the terminator

    unsigned char many[100];
    for (int i = 0; i < 100; ++i)
        many[i] = static_cast<unsigned char>(i);
    std::string shown = buf2hex(many, 100, nullptr, 0);
    EXPECT_EQ(shown.size(), 254u);
    EXPECT_EQ(shown.substr(249), "53:54");  // byte 84 is the last one shown
    EXPECT_STREQ(buf2hex(many, -5, nullptr, 0), "");
}

TEST(Format, ThousandsSeparators) {
    struct Case {
        int value, is_signed;
        const char *text;
    } cases[] = {{0, 1, "0"},           {999, 1, "999"},         {1000, 1, "1,000"},
                 {12345, 0, "12,345"},  {1234567, 1, "1,234,567"}, {-1234, 1, "-1,234"},
                 {-123, 1, "-123"},     {-123456, 1, "-123,456"}, {INT_MIN, 1, "-2,147,483,648"},
                 {-1, 0, "4,294,967,295"}, {INT_MIN, 0, "2,147,483,648"}, {INT_MAX, 1, "2,147,483,647"}};
    for (const Case &c : cases) {
        char out[20];
        std::memset(out, 'Z', sizeof out);
        EXPECT_STREQ(comma_number(c.value, out, c.is_signed), c.text);
        EXPECT_EQ(out[std::strlen(c.text) + 1], 'Z');
    }
    char *first = comma_number(1000, nullptr, 1);
    EXPECT_EQ(comma_number(-5, nullptr, 1), first);
    EXPECT_STREQ(first, "-5");
}

// The step-by-step substitution: every replacement moves the tail at once.
int model_strsub(char *buf, int size, const char *o, const char *nw, int flags) {
    long lo = static_cast<long>(std::strlen(o)), ln = static_cast<long>(std::strlen(nw));
    if (lo == 0) {
        if (size != 0 && size <= ln)
            return 0;
        if (size > 0)
            std::memset(buf, 0, static_cast<size_t>(size));
        std::strcpy(buf, nw);
        return 1;
    }
    auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    long d = ln - lo, ws = size;
    int count = 0;
    char *pos = buf;
    for (;;) {
        char *p = std::strstr(pos, o);
        while (p != nullptr && (flags & STRSUB_WHOLE_WORD) && (alnum(p[lo]) || (p != buf && alnum(p[-1]))))
            p = std::strstr(p + 1, o);
        if (p == nullptr)
            return count;
        long len = static_cast<long>(std::strlen(buf));
        if (flags & STRSUB_COUNT_ONLY) {
            if (ws != 0 && d > 0) {
                if (ws < len + d + 1)
                    return count;
                ws -= d;
            }
            ++count;
            pos = p + lo;
            continue;
        }
        if (d > 0 && size != 0 && len + d + 1 > size)
            return count;
        if (d != 0)
            std::memmove(p + ln, p + lo, std::strlen(p + lo) + 1);
        if (d < 0)
            std::memset(buf + len + d + 1, 0, static_cast<size_t>(-d));
        std::memcpy(p, nw, static_cast<size_t>(ln));
        ++count;
        pos = p + ln;
    }
}

struct SubCase {
    const char *in;
    int size;
    const char *o, *n;
    int flags, result;
    const char *out;
};

TEST(Substitute, Examples) {
    const SubCase cases[] = {
        {"a-b-c", 0, "-", "+", 0, 2, "a+b+c"},
        {"aaa", 0, "a", "aa", 0, 3, "aaaaaa"},
        {"hello world", 0, "o", "", 0, 2, "hell wrld"},
        {"abab", 8, "a", "xyz", 0, 1, "xyzbab"},
        {"abab", 5, "a", "xyz", 0, 0, "abab"},
        {"abab", 5, "ab", "c", 0, 2, "cc"},
        {"cat concat cat.", 0, "cat", "dog", STRSUB_WHOLE_WORD, 2, "dog concat dog."},
        {"my_cat", 0, "cat", "dog", STRSUB_WHOLE_WORD, 1, "my_dog"},
        {"cat-", 0, "cat", "kitten", STRSUB_WHOLE_WORD, 1, "kitten-"},
        {"a-b-c", 0, "-", "+", STRSUB_COUNT_ONLY, 2, "a-b-c"},
        {"abc", 0, "x", "y", 0, 0, "abc"},
        // The neighbour before the second occurrence is inserted text.
        {"-a-a", 0, "-a", "b+", STRSUB_WHOLE_WORD, 2, "b+b+"},
        {"-a-a", 0, "-a", "b+", STRSUB_WHOLE_WORD | STRSUB_COUNT_ONLY, 1, "-a-a"},
        {"-a-a", 0, "-a", "+", STRSUB_WHOLE_WORD, 2, "++"},
        {"x", 0, "", "new text", STRSUB_COUNT_ONLY, 1, "new text"},
    };
    for (const SubCase &c : cases) {
        char buf[32] = {};
        std::strcpy(buf, c.in);
        EXPECT_EQ(strsub(buf, c.size, c.o, c.n, c.flags), c.result) << c.in << " " << c.o << ">" << c.n;
        EXPECT_STREQ(buf, c.out);
    }
    char buf[20];
    std::memset(buf, 'Z', sizeof buf);
    std::strcpy(buf, "hello world");
    strsub(buf, 0, "o", "", 0);
    EXPECT_EQ(std::string(buf, 13), std::string("hell wrld\0\0\0Z", 13));
    std::memset(buf, 'Z', sizeof buf);
    std::strcpy(buf, "old");
    EXPECT_EQ(strsub(buf, 16, "", "new text", 0), 1);
    EXPECT_EQ(std::string(buf, 17), std::string("new text\0\0\0\0\0\0\0\0Z", 17));
    EXPECT_EQ(strsub(buf, 8, "", "new text!", 0), 0);
    EXPECT_STREQ(buf, "new text");
}

// Against the model on random strings over small alphabets, with every flag
// combination and sizes around the budget, over the whole buffer.
TEST(Substitute, MatchesStepByStepModel) {
    std::mt19937 rng(20261205);
    const char *alphabets[] = {"ab-", "a_", "a1 ."};
    auto word = [&](const char *alpha, int maxlen) {
        std::string s(rng() % static_cast<unsigned>(maxlen + 1), ' ');
        for (char &ch : s)
            ch = alpha[rng() % std::strlen(alpha)];
        return s;
    };
    constexpr size_t cap = 160;
    for (int iter = 0; iter < 60000; ++iter) {
        const char *alpha = alphabets[iter % 3];
        std::string in = word(alpha, 16), o = word(alpha, 3), n = word(alpha, 4);
        if (iter % 7 == 0)
            o = in.substr(0, 1 + rng() % 2);
        int flags = static_cast<int>(rng() % 4);
        long budget = static_cast<long>(in.size()) + 1;
        int size = rng() % 4 == 0 ? 0 : static_cast<int>(budget - 2 + rng() % 12);
        char fill = iter % 2 ? '\0' : '#';
        char want[cap], got[cap];
        std::memset(want, fill, cap);
        std::memcpy(want, in.c_str(), in.size() + 1);
        std::memcpy(got, want, cap);
        int r_want = model_strsub(want, size, o.c_str(), n.c_str(), flags);
        int r_got = strsub(got, size, o.c_str(), n.c_str(), flags);
        ASSERT_EQ(r_got, r_want) << "'" << in << "' '" << o << "'>'" << n << "' size " << size << " flags " << flags;
        ASSERT_EQ(std::memcmp(got, want, cap), 0)
            << "'" << in << "' '" << o << "'>'" << n << "' size " << size << " flags " << flags << ": '" << got
            << "' vs '" << want << "'";
    }
}

}  // namespace
