/* libkelp: text utilities. */
#ifndef KELP_APPSTRING_H
#define KELP_APPSTRING_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

KELP_API int isdecstr(const char *s);
KELP_API int ishexstr(const char *s);
KELP_API int isoctstr(const char *s);
KELP_API void str2ucs(char *s);
KELP_API void str2lcs(char *s);
KELP_API int port_strcasecmp(const char *a, const char *b);
KELP_API int port_strncasecmp(const char *a, const char *b, int n);
KELP_API int strcount(const char *str, const char *sub);
KELP_API int chcount(const char *str, int ch);

#define STRIP_KEEP_SPACE 1
#define STRIP_KEEP_DEL   2
KELP_API void stript(char *s, int flags);
KELP_API void stripl(char *s, int flags);

KELP_API char *buf2hex(const void *bytes, int count, char *out, int size);
KELP_API char *comma_number(int value, char *out, int is_signed);

#define STRSUB_WHOLE_WORD 1
#define STRSUB_COUNT_ONLY 2
KELP_API int strsub(char *buf, int size, const char *oldstr, const char *newstr, int flags);

KELP_END_DECLS

#endif
