// The case tables of the locales the process uses, built from the C
// library's own toupper() and tolower() and found by the name of the
// calling thread's LC_CTYPE. Tables are only ever added, never changed or
// dropped, so a table one thread holds stays good while others add theirs;
// no lock is taken.
#include "core/internal.h"

#include <cstring>

namespace kelp {
namespace {

// Enough for any program that switches between a few locales; beyond it
// the handles ask the C library byte by byte.
constexpr int slots = 16;
CaseTable tables[slots];
std::atomic<bool> ready[slots];
std::atomic<int> claimed{0};

// Two threads that meet a new locale at once may each add a table for it:
// that costs a slot, nothing else.
const CaseTable *add(const char *name) {
    const size_t len = std::strlen(name);
    if (len >= sizeof tables[0].name)
        return nullptr;
    int i = claimed.load(std::memory_order_relaxed);
    do {
        if (i >= slots)
            return nullptr;
    } while (!claimed.compare_exchange_weak(i, i + 1, std::memory_order_acq_rel));
    CaseTable &t = tables[i];
    t.ascii = true;
    for (int c = 0; c < 256; ++c) {
        t.upper[c] = std::toupper(c);
        t.lower[c] = std::tolower(c);
        t.ascii = t.ascii && t.upper[c] == ascii_upper(c);
    }
    std::memcpy(t.name, name, len + 1);
    t.name_words = static_cast<uint8_t>(len / 8 + 1);
    unsigned char tail[8] = {};
    std::memset(tail, 0xFF, len % 8 + 1);
    std::memcpy(&t.name_tail, tail, sizeof tail);
    ready[i].store(true, std::memory_order_release);
    return &t;
}

}  // namespace

namespace detail {

// Most programs use one locale: the table found last is tried first.
std::atomic<const CaseTable *> last_case_table{nullptr};

const CaseTable *find_case_table(const char *name) {
    const CaseTable *t = nullptr;
    const int n = claimed.load(std::memory_order_acquire);
    for (int i = 0; i < n && t == nullptr; ++i)
        if (ready[i].load(std::memory_order_acquire) && same_name(tables[i], name))
            t = &tables[i];
    if (t == nullptr && (t = add(name)) == nullptr)
        return nullptr;
    last_case_table.store(t, std::memory_order_release);
    return t;
}

}  // namespace detail
}  // namespace kelp
