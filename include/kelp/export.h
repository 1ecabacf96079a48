/**
 * @file kelp/export.h
 * @brief Export and linkage markers of the public headers.
 *
 * The library is built with hidden visibility; only the names marked with
 * ::KELP_API are exported from libkelp.so.
 */
#ifndef KELP_EXPORT_H
#define KELP_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
/** @brief Marks a name that libkelp.so exports. */
#define KELP_API __attribute__((visibility("default")))
/** @brief Lets the compiler check printf-style arguments (format at @p fmt, arguments from @p args). */
#define KELP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KELP_API
#define KELP_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
/** @brief Opens C linkage for the declarations that follow, in C++. */
#define KELP_BEGIN_DECLS extern "C" {
/** @brief Closes ::KELP_BEGIN_DECLS. */
#define KELP_END_DECLS }
#else
#define KELP_BEGIN_DECLS
#define KELP_END_DECLS
#endif

#endif
