/**
 * @file kelp/version.h
 * @brief The libkelp version these headers belong to.
 *
 * Kept in step with project(VERSION) in CMakeLists.txt, which refuses to
 * configure when the two differ; being a plain file, it also serves a
 * program compiled with `-I include` straight from a checkout. The version a
 * program runs with is gnl_verstr()'s answer: any 1.y from the one it was
 * compiled against on, since the soname changes only with the major number.
 */
#ifndef KELP_VERSION_H
#define KELP_VERSION_H

/** @brief Major version: changes when the interface breaks (the soname's number). */
#define KELP_VERSION_MAJOR 1
/** @brief Minor version: changes when the interface grows. */
#define KELP_VERSION_MINOR 2
/** @brief Patch version: changes with fixes only. */
#define KELP_VERSION_PATCH 3
/** @brief The three numbers as text, "1.2.3". */
#define KELP_VERSION_STRING "1.2.3"

/**
 * @brief Nonzero when these headers are version major.minor.patch or later.
 *
 * Usable in `#if`, for code that needs a later addition:
 * `#if KELP_CHECK_VERSION(1, 3, 0)`.
 */
#define KELP_CHECK_VERSION(major, minor, patch)                                 \
    (KELP_VERSION_MAJOR > (major) ||                                           \
     (KELP_VERSION_MAJOR == (major) &&                                         \
      (KELP_VERSION_MINOR > (minor) ||                                         \
       (KELP_VERSION_MINOR == (minor) && KELP_VERSION_PATCH >= (patch)))))

#endif
