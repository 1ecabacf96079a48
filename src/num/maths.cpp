// Integer power and floor logarithm.
#include "core/internal.h"

extern "C" {

// Wraps modulo 2^32: the product is formed in unsigned arithmetic, which is
// what repeated multiplication gives, by squaring so that a large exponent
// costs 32 steps rather than billions.
int mth_intpow(int base, int exponent) {
    unsigned int result = 1;
    auto factor = static_cast<unsigned int>(base);
    for (unsigned int e = exponent > 0 ? static_cast<unsigned int>(exponent) : 0; e != 0; e >>= 1) {
        if (e & 1)
            result *= factor;
        factor *= factor;
    }
    return static_cast<int>(result);
}

// Largest k with base^k <= value. A base of 1 has no largest k and is
// refused like the other illegal arguments.
int mth_intlog(int base, int value) {
    if (base <= 1 || value <= 0) {
        gnl_msglog("mth_intlog: illegal args, base=%d, value=%d", base, value);
        return -1;
    }
    int k = 0;
    // power <= value / base is power * base <= value without the overflow.
    for (int power = 1; power <= value / base; power *= base)
        ++k;
    return k;
}

}  // extern "C"
