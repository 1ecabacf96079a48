// Names of data-link medium codes, for messages.
#include "core/internal.h"

#include <cstdio>

namespace {

// Codes 0 to 9: the medium types of the data link provider interface.
constexpr const char *medium_names[] = {
    "802.3 Ethernet",
    "Token Bus",
    "Token Ring",
    "802.6 MAN",
    "Ethernet",
    "HDLC",
    "Character-Synchronous",
    "IBM Channel-to-Channel",
    "FDDI",
    "Other",
};
constexpr int raw_ip = 129;

// Text of the last unlisted code; overwritten by the next one of the same
// thread.
thread_local char unlisted[51];

}  // namespace

extern "C" const char *dlp_proto2nam(int code) {
    constexpr int listed = static_cast<int>(sizeof medium_names / sizeof medium_names[0]);
    if (code >= 0 && code < listed)
        return medium_names[code];
    if (code == raw_ip)
        return "Raw IP";
    (void)std::snprintf(unlisted, sizeof unlisted, "<%u>", static_cast<unsigned>(code));
    return unlisted;
}
