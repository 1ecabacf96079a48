// port_strcasecmp and port_strncasecmp against the byte-at-a-time model:
// exact results, with each string at any offset from the start of an
// allocation of exactly its size.
#include "models.h"

#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// s with its NUL at offset bytes into a fresh allocation of exactly that size.
std::unique_ptr<char[]> placed(const std::string &s, size_t offset) {
    std::unique_ptr<char[]> p(new char[offset + s.size() + 1]);
    std::memcpy(p.get() + offset, s.c_str(), s.size() + 1);
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int n = in.ConsumeIntegralInRange(-3, 80);
    const size_t oa = in.ConsumeIntegralInRange(0, 15), ob = in.ConsumeIntegralInRange(0, 15);
    const std::string a = in.ConsumeRandomLengthString(64);
    const std::string b = in.ConsumeRemainingBytesAsString();
    auto pa = placed(a.c_str(), oa), pb = placed(b.c_str(), ob);
    const char *x = pa.get() + oa, *y = pb.get() + ob;
    if (port_strcasecmp(x, y) != model::ncasecmp(x, y) ||
        port_strncasecmp(x, y, n) != model::ncasecmp(x, y, n))
        std::abort();
    return 0;
}
