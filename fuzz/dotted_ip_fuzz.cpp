// ginet_dotted_ip against a direct reading of its rules.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string s(reinterpret_cast<const char *>(data), size);
    s = s.c_str();
    bool want = std::count(s.begin(), s.end(), '.') == 3 && s.front() != '.' && s.back() != '.' &&
                s.find("..") == std::string::npos &&
                s.find_first_not_of("0123456789.") == std::string::npos;
    if (ginet_dotted_ip(s.c_str()) != (want ? 1 : 0))
        std::abort();
    return 0;
}
