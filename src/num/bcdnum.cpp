// Packed BCD digits at nibble positions: even positions are high nibbles.
#include "core/internal.h"

namespace {

int get_digit(const unsigned char *buf, int pos) {
    unsigned char b = buf[pos / 2];
    return pos % 2 == 0 ? b >> 4 : b & 0x0F;
}

void put_digit(unsigned char *buf, int pos, int digit) {
    unsigned char &b = buf[pos / 2];
    auto nib = static_cast<unsigned char>(digit & 0x0F);
    b = pos % 2 == 0 ? static_cast<unsigned char>((b & 0x0F) | (nib << 4))
                     : static_cast<unsigned char>((b & 0xF0) | nib);
}

// Decimal digits of a value, most significant first; returns their number
// (1 to 19). A negative value gives the digits of its magnitude: a BCD field
// has no room for a sign.
int decimal_digits(long value, char digits[20]) {
    unsigned long mag = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    char rev[20];
    int n = 0;
    do {
        rev[n++] = static_cast<char>(mag % 10);
        mag /= 10;
    } while (mag != 0);
    for (int i = 0; i < n; ++i)
        digits[i] = rev[n - 1 - i];
    return n;
}

void put_digits(unsigned char *buf, int pos, const char *digits, int n) {
    for (int i = 0; i < n; ++i)
        put_digit(buf, pos + i, digits[i]);
}

}  // namespace

extern "C" {

void bcdset(unsigned char *buf, int pos, int count, int digit) {
    for (int i = 0; i < count; ++i)
        put_digit(buf, pos + i, digit);
}

// Eight digits at most, so every sum fits 32 bits; nibbles above 9 are
// weighted by their value like any digit.
long bcd_to_bin(const unsigned char *buf, int pos, int count) {
    if (count < 0 || count > 8) {
        dbgtrc(kelp::lvl_err, 0, "bcd_to_bin: %d digits is too many", count);
        return -1;
    }
    long value = 0;
    for (int k = 0; k < count; ++k)
        value += get_digit(buf, pos + k) * mth_intpow(10, count - 1 - k);
    return value;
}

// A count of 0 or less gives the empty string.
char *bcd_to_decstr(const unsigned char *buf, int pos, int count, char *out) {
    static constexpr char hex[] = "0123456789abcdef";
    int i = 0;
    for (; i < count; ++i)
        out[i] = hex[get_digit(buf, pos + i)];
    out[i] = '\0';
    return out;
}

void bin_to_bcd(long value, unsigned char *buf, int pos, int *ndigits) {
    char digits[20];
    int n = decimal_digits(value, digits);
    put_digits(buf, pos, digits, n);
    if (ndigits != nullptr)
        *ndigits = n;
}

void decstr_to_bcd(const char *str, unsigned char *buf, int pos) {
    for (; *str != '\0'; ++str, ++pos)
        put_digit(buf, pos, *str - '0');
}

// Runs upwards, so an overlapping destination must not start above the source.
void bcdcpy(unsigned char *dst, int dpos, const unsigned char *src, int spos, int count) {
    for (int k = 0; k < count; ++k)
        put_digit(dst, dpos + k, get_digit(src, spos + k));
}

// Right-aligned and zero-padded in a field of width digits; a value with more
// digits than the width runs past the field, and the result says so.
int bcdrep(unsigned char *buf, int pos, int width, long value) {
    char digits[20];
    int n = decimal_digits(value, digits);
    if (n >= width) {
        put_digits(buf, pos, digits, n);
        return n;
    }
    bcdset(buf, pos, width - n, 0);
    put_digits(buf, pos + width - n, digits, n);
    return width;
}

}  // extern "C"
