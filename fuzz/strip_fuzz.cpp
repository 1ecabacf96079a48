// stript and stripl against a byte-class model; bytes beyond the end checked too.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool strippable(unsigned char c, int flags) {
    if (c == ' ')
        return !(flags & STRIP_KEEP_SPACE);
    if (c == 0x7F)
        return !(flags & STRIP_KEEP_DEL);
    return c <= 0x20 || c >= 0x7F;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int flags = in.ConsumeIntegralInRange(0, 3);
    std::string text = in.ConsumeRemainingBytesAsString();
    text = text.c_str();
    const size_t len = text.size();

    std::string t = text + '\0' + "tail";
    stript(t.data(), flags);
    size_t keep = len;
    while (keep > 0 && strippable(static_cast<unsigned char>(text[keep - 1]), flags))
        --keep;
    // Stripped bytes become NUL; the rest of the buffer is untouched.
    std::string want_t = text.substr(0, keep) + std::string(len - keep, '\0') + '\0' + "tail";
    if (t != want_t)
        std::abort();

    std::string l = text + '\0' + "tail";
    stripl(l.data(), flags);
    size_t skip = 0;
    while (skip < len && strippable(static_cast<unsigned char>(text[skip]), flags))
        ++skip;
    std::string want_l = text;
    if (skip > 0)
        std::memmove(want_l.data(), text.data() + skip, len - skip + 1);  // keeps the old tail bytes
    if (std::strcmp(l.c_str(), text.c_str() + skip) != 0 ||
        std::memcmp(l.data() + len - skip + 1, want_l.data() + len - skip + 1, skip) != 0)
        std::abort();
    return 0;
}
