// port_strcasecmp and port_strncasecmp against the byte-at-a-time model:
// exact results in the C locale, a UTF-8 one and one whose case table is
// not plain ASCII, with each string right after or right before an
// unreadable page (at any offset after it), so a read of any block beyond
// a string faults; port_strncasecmp also with n bytes and no terminator.
#include "models.h"
#include "testutil.h"

#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static kelp_test::GuardedBuffer ga, gb;
    static const char *const locales[] = {"C", "C.UTF-8", "fr_FR.ISO-8859-1"};
    FuzzedDataProvider in(data, size);
    std::setlocale(LC_CTYPE, locales[in.ConsumeIntegralInRange(0, 2)]);
    const int n = in.ConsumeIntegralInRange(-3, 80);
    const int oa = in.ConsumeIntegralInRange(-1, 15), ob = in.ConsumeIntegralInRange(-2, 15);
    std::string a = in.ConsumeRandomLengthString(64);
    std::string b = in.ConsumeRemainingBytesAsString();
    a = a.c_str();
    b = b.c_str();
    // An offset of -1 puts the string against the page's end; -2 puts n of
    // b's bytes there without a terminator.
    const char *x = oa < 0 ? ga.place(a) : ga.place_at(static_cast<size_t>(oa), a);
    const char *y = ob >= 0 ? gb.place_at(static_cast<size_t>(ob), b) : gb.place(b);
    if (ob == -2 && n > 0 && static_cast<size_t>(n) <= b.size())
        y = static_cast<const char *>(std::memcpy(gb.tail(static_cast<size_t>(n)), b.data(), n));
    else if (port_strcasecmp(x, y) != model::ncasecmp(x, y))
        std::abort();
    if (port_strncasecmp(x, y, n) != model::ncasecmp(x, y, n))
        std::abort();
    return 0;
}
