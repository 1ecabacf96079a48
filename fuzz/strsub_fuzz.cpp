// strsub against the step-by-step model: result and the whole buffer.
#include "models.h"

#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int flags = in.ConsumeIntegralInRange(0, 3);
    const int slack = in.ConsumeIntegralInRange(-2, 40);
    const bool unlimited = in.ConsumeBool();
    std::string oldstr = in.ConsumeRandomLengthString(8);
    std::string newstr = in.ConsumeRandomLengthString(12);
    std::string text = in.ConsumeRandomLengthString(200);
    oldstr = oldstr.c_str();  // up to the first NUL, as the library sees it
    newstr = newstr.c_str();
    text = text.c_str();

    int bufsize = static_cast<int>(text.size()) + 1 + (slack > 0 ? slack : 0);
    int budget = unlimited ? 0 : static_cast<int>(text.size()) + 1 + slack;
    if (budget < 1 && !unlimited)
        budget = 1;
    // Unlimited runs need room for every growth the model may make.
    if (unlimited)
        bufsize = static_cast<int>(text.size() * (newstr.size() + 1) + newstr.size() + 2);
    if (budget > bufsize)
        bufsize = budget;

    std::vector<char> mine(static_cast<size_t>(bufsize), '#'), theirs;
    std::memcpy(mine.data(), text.c_str(), text.size() + 1);
    theirs = mine;
    int got = strsub(mine.data(), budget, oldstr.c_str(), newstr.c_str(), flags);
    int want = model::strsub(theirs.data(), budget, oldstr.c_str(), newstr.c_str(), flags);
    if (got != want || mine != theirs)
        std::abort();
    return 0;
}
