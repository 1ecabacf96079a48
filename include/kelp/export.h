/* libkelp: export marker for the public interface. */
#ifndef KELP_EXPORT_H
#define KELP_EXPORT_H

/* The library is built with hidden visibility; only names marked here are
 * exported from libkelp.so. */
#if defined(__GNUC__) || defined(__clang__)
#define KELP_API __attribute__((visibility("default")))
#define KELP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KELP_API
#define KELP_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
#define KELP_BEGIN_DECLS extern "C" {
#define KELP_END_DECLS }
#else
#define KELP_BEGIN_DECLS
#define KELP_END_DECLS
#endif

#endif
