#include "demo.h"

#include <kelp.h>

#include <cstdio>
#include <cstring>

int demo::text(int, char **) {
    const char *samples[] = {"2026", "7f3A", "0755", "12ab"};
    for (const char *s : samples)
        std::printf("%-6s decimal=%d hex=%d octal=%d\n", s, isdecstr(s), ishexstr(s), isoctstr(s));

    char line[] = " \t  Kelp grows fast \r\n";
    stript(line, 0);
    stripl(line, 0);
    std::printf("trimmed:     '%s'\n", line);
    str2ucs(line);
    std::printf("upper case:  '%s'  same as 'KELP grows FAST': %s\n", line,
                port_strcasecmp(line, "KELP grows FAST") == 0 ? "yes" : "no");

    const unsigned char mac[] = {0x02, 0x42, 0xAC, 0x11, 0x00, 0x02};
    std::printf("hex:         %s\n", buf2hex(mac, sizeof mac, nullptr, 0));
    char own[16];
    std::printf("thousands:   %s and, unsigned, %s\n", comma_number(-1234567, nullptr, 1),
                comma_number(-1, own, 0));

    char buf[80] = "the cat sat on the concatenated mat; cat.";
    std::printf("before:      %s\n", buf);
    std::printf("'cat' words: %d of %d occurrences\n",
                strsub(buf, sizeof buf, "cat", "", STRSUB_WHOLE_WORD | STRSUB_COUNT_ONLY), strcount(buf, "cat"));
    int n = strsub(buf, sizeof buf, "cat", "walrus", STRSUB_WHOLE_WORD);
    std::printf("after (%d):   %s\n", n, buf);
    n = strsub(buf, 50, "the", "every", 0);
    std::printf("within 50 bytes, 'the' -> 'every' %d time(s): %s\n", n, buf);
    return 0;
}
