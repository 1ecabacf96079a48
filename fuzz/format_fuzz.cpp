// buf2hex and comma_number against text built with snprintf.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string hex_model(const std::vector<uint8_t> &bytes, int size) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        std::string next = out + (i ? ":" : "") + pair;
        if (static_cast<int>(next.size()) + 1 > size)
            break;
        out = next;
    }
    return out;
}

std::string comma_model(int value, bool is_signed) {
    char digits[16];
    if (is_signed)
        std::snprintf(digits, sizeof digits, "%d", value);
    else
        std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(value));
    std::string s = digits, sign;
    if (s[0] == '-') {
        sign = "-";
        s.erase(0, 1);
    }
    for (int at = static_cast<int>(s.size()) - 3; at > 0; at -= 3)
        s.insert(static_cast<size_t>(at), ",");
    return sign + s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int value = in.ConsumeIntegral<int>();
    const bool is_signed = in.ConsumeBool();
    const bool own = in.ConsumeBool();
    const int outsize = in.ConsumeIntegralInRange(1, 300);
    std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();

    std::string want = comma_model(value, is_signed);
    char lcl[15];
    if (want != comma_number(value, lcl, is_signed) || want != comma_number(value, nullptr, is_signed))
        std::abort();

    // Exactly outsize bytes, so a write past them is caught.
    std::vector<char> out(static_cast<size_t>(outsize));
    int count = static_cast<int>(bytes.size());
    std::string hex = own ? buf2hex(bytes.data(), count, out.data(), outsize)
                          : buf2hex(bytes.data(), count, nullptr, 0);
    std::string hex_want = (own && outsize < 4) ? "" : hex_model(bytes, own ? outsize : 257);
    if (hex != hex_want)
        std::abort();
    return 0;
}
