// BCD round trips: value -> digits -> value and text, at any nibble position.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    dbginit("/dev/null", nullptr, -1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const long value = in.ConsumeIntegralInRange<long>(0, 99999999);
    const int pos = in.ConsumeIntegralInRange(0, 9);
    const int width = in.ConsumeIntegralInRange(0, 12);
    const uint8_t fill = in.ConsumeIntegral<uint8_t>();

    std::vector<unsigned char> buf(16, fill);
    int n = -1;
    bin_to_bcd(value, buf.data(), pos, &n);
    char text[24];
    std::snprintf(text, sizeof text, "%ld", value);
    if (n != static_cast<int>(std::strlen(text)) || bcd_to_bin(buf.data(), pos, n) != value)
        std::abort();
    char back[24];
    if (std::strcmp(bcd_to_decstr(buf.data(), pos, n, back), text) != 0)
        std::abort();
    // Neighbouring nibbles stay as they were.
    auto nibble = [](const std::vector<unsigned char> &b, int p) {
        return p % 2 == 0 ? b[static_cast<size_t>(p / 2)] >> 4 : b[static_cast<size_t>(p / 2)] & 0xF;
    };
    if (pos > 0 && nibble(buf, pos - 1) != (((pos - 1) % 2 == 0) ? fill >> 4 : fill & 0xF))
        std::abort();
    if (nibble(buf, pos + n) != (((pos + n) % 2 == 0) ? fill >> 4 : fill & 0xF))
        std::abort();

    std::vector<unsigned char> other(16, 0);
    decstr_to_bcd(text, other.data(), pos);
    std::vector<unsigned char> copy(16, 0);
    bcdcpy(copy.data(), 0, other.data(), pos, n);
    if (bcd_to_bin(copy.data(), 0, n) != value)
        std::abort();

    std::vector<unsigned char> field(16, fill);
    int wrote = bcdrep(field.data(), pos, width, value);
    if (wrote != (n > width ? n : width))
        std::abort();
    if (wrote <= 8 && bcd_to_bin(field.data(), pos, wrote) != value)
        std::abort();
    return 0;
}
