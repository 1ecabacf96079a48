// Widening two-digit years through a sliding window.
#include "core/internal.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int default_window = 60;

// The window's width in years before the current one; read at every call.
int32_t past_window() {
    const char *env = std::getenv("Y2K_PAST_WINDOW");
    if (env == nullptr)
        return default_window;
    // Non-numeric text gives 0; values beyond 32 bits wrap like the rest of
    // the arithmetic here.
    return static_cast<int32_t>(static_cast<uint32_t>(std::strtol(env, nullptr, 10)));
}

int32_t current_year() {
    time_t now = std::time(nullptr);
    struct tm tm {};
    // localtime_r skips the zone refresh that localtime does; tzset restores it.
    tzset();
    if (localtime_r(&now, &tm) == nullptr)
        return 1900;
    return tm.tm_year + 1900;
}

int32_t wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint64_t>(v)); }

}  // namespace

extern "C" {

// The year in [W, W+99] ending in yy, W being the current year less the
// window. A yy outside 0..99 goes through the same arithmetic unchecked.
int yy_to_ccyy(int yy) {
    const int32_t first = wrap(int64_t{current_year()} - past_window());
    const int32_t d = wrap(int64_t{yy} - first % 100);
    return d >= 0 ? wrap(int64_t{first} + d) : wrap(int64_t{first} + d + 100);
}

}  // extern "C"
