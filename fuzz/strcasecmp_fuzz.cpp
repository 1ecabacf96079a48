// port_strcasecmp and port_strncasecmp: the sign agrees with the C library,
// and exact-size heap copies let the sanitizer catch any read past a terminator.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>

namespace {

int sign(int v) { return (v > 0) - (v < 0); }

std::unique_ptr<char[]> exact_copy(const std::string &s) {
    std::unique_ptr<char[]> p(new char[s.size() + 1]);
    std::memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int n = in.ConsumeIntegralInRange(-3, 80);
    std::string a = in.ConsumeRandomLengthString(64);
    std::string b = in.ConsumeRemainingBytesAsString();
    auto pa = exact_copy(a.c_str()), pb = exact_copy(b.c_str());
    // The C library compares lower-case values, the library upper-case ones:
    // they agree wherever both sides are letters or neither lies in 91..96.
    auto comparable = [](const char *x) {
        for (; *x; ++x)
            if (*x >= 91 && *x <= 96)
                return false;
        return true;
    };
    int full = port_strcasecmp(pa.get(), pb.get());
    int part = port_strncasecmp(pa.get(), pb.get(), n);
    if (comparable(pa.get()) && comparable(pb.get())) {
        if (sign(full) != sign(strcasecmp(pa.get(), pb.get())))
            std::abort();
        if (sign(part) != sign(n <= 0 ? 0 : strncasecmp(pa.get(), pb.get(), static_cast<size_t>(n))))
            std::abort();
    }
    if ((full == 0) != (port_strcasecmp(pb.get(), pa.get()) == 0))
        std::abort();
    return 0;
}
