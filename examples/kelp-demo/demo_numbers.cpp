#include "demo.h"

#include <kelp.h>

#include <cstdio>

int demo::numbers(int, char **) {
    std::printf("2^10 = %d, 10^10 wraps to %d\n", mth_intpow(2, 10), mth_intpow(10, 10));
    std::printf("floor(log10(2147483647)) = %d, floor(log2(1000)) = %d\n", mth_intlog(10, 2147483647),
                mth_intlog(2, 1000));

    unsigned char bcd[6] = {};
    int width = bcdrep(bcd, 0, 8, 20261205L);
    char text[16];
    std::printf("date as BCD (%d digits): %s -> back to %ld\n", width, buf2hex(bcd, 4, nullptr, 0),
                bcd_to_bin(bcd, 0, 8));
    bcdrep(bcd, 8, 4, 42);
    std::printf("with a zero-padded field after it: %s\n", bcd_to_decstr(bcd, 0, 12, text));
    decstr_to_bcd("0815", bcd, 1);
    std::printf("'0815' written at digit 1: %s\n", bcd_to_decstr(bcd, 0, 12, text));
    return 0;
}
