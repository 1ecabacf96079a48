// The trace, one file per concern: the settings read from the environment
// and dbginit's choice of destination (msglog_settings.cpp), the record's
// text (msglog_format.cpp), the lock and the guard of every call
// (msglog_writer.cpp), the destinations and the exported functions
// (msglog.cpp).
#pragma once

#include "core/internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string_view>

namespace kelp::trace {

// ---- Settings ----------------------------------------------------------------

// Read once from the environment. prec and stamp_fmt are written before
// configured is set (release) and only read after it is seen (acquire), or
// by the configuring thread itself.
struct Settings {
    std::atomic<int> level{lvl_info};
    int prec = TRC_PREC_MILLI;
    const char *stamp_fmt = nullptr;  // points into the environment
    std::atomic<bool> configured{false};
};

extern Settings settings;

// What dbginit is given; the first of them that is set counts.
struct Destination {
    const char *path;
    FILE *stream;
    int fd;
};

// With the lock: reads the settings and, from the environment unless
// given, the destination. -1 when a value is refused or the destination
// cannot be used, each reported by an ERR record.
int configure(const Destination *given);

// With the lock: names the destination, for dbginit and for configuration
// (before it is published). -1 on failure, reported by an ERR record.
int set_destination(const Destination &to);

// ---- The record --------------------------------------------------------------

// One record: timestamp, fraction, " (LEVEL-pid): ", message, newline. It is
// made in a buffer of the call unless the message is long; a newline is
// kept before it, for a destination that ends inside a cut line.
class Line {
  public:
    Line(int lvl, long pid, const char *fmt, va_list ap);
    ~Line();
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    // The record, or the record after a newline.
    std::string_view text(bool on_new_line = false) const {
        const char *start = heap_ != nullptr ? heap_ : local_;
        return on_new_line ? std::string_view(start, len_ + 1) : std::string_view(start + 1, len_);
    }

  private:
    size_t prefix(int lvl, long pid);

    char local_[1024];
    char *heap_ = nullptr;
    size_t len_ = 0;
};

// "LOG" to "DBG3" for 0 to 6, else null.
const char *level_name(int lvl);

// ---- Destinations ------------------------------------------------------------
//
// All with the lock held (msglog_writer.cpp).

// A stream becomes the held one, line-buffered on a buffer of its own.
// callers: handed in by the caller, who may still write to it.
void hold_stream(FILE *stream, bool callers);
// No stream is held from here on; the previous one is closed unless it
// is a standard stream or kept.
void release_held(FILE *kept);
// Records open, append to and close a file from here on, for good.
void choose_reopen();
bool reopen_chosen();
// The reopen mode's file; false when the name is too long.
bool set_reopen_path(const char *path);
// Writes one record to the destination.
void write_record(const Line &line);

// A record of the trace's own (a refusal, a failed open), with the lock.
void own_record(int lvl, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// ---- The lock and the guard of each call ---------------------------------------

// The lock over the destination; self is the calling process's id.
void lock(long self);
void unlock();

// Every exported call that may write or configure runs inside one: it
// keeps errno, holds off cancellation, and refuses a call from a signal
// handler that interrupted its own thread inside the trace (nested()).
class Call {
  public:
    Call();
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    bool nested() const { return nested_; }

  private:
    SavedErrno errno_;
    int cancel_ = 0;
    bool nested_ = false;
};

// After a Call ended: a cancellation that came during it acts now.
void cancel_point();

// Records dropped because their handler interrupted the trace, reported
// by the interrupted call (msglog.cpp).
void report_dropped(int count);

}  // namespace kelp::trace
