/**
 * @file kelp/appstring.h
 * @brief Text utilities.
 */
#ifndef KELP_APPSTRING_H
#define KELP_APPSTRING_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_text Text
 * @brief Digit tests, case, counting, trimming, hex and thousands, substitution.
 *
 * Strings are NUL-terminated byte strings owned by the caller; no argument
 * may be NULL. None of these functions allocates, traces or writes
 * ::gnl_usrmsg, and none can fail. Character classes and case mappings are
 * those of the current locale, applied to each byte as an unsigned value.
 * All are reentrant; the static buffer of buf2hex() and comma_number() is
 * one per thread.
 * @{
 */

/**
 * @brief Tests that every byte of @p s is a decimal digit (`isdigit`).
 * @param s the string; no sign, blank or prefix is accepted
 * @return 1 if so (also for the empty string), else 0
 */
KELP_API int isdecstr(const char *s);
/**
 * @brief Tests that every byte of @p s is a hexadecimal digit (`isxdigit`).
 * @param s the string; "0x" prefixes and "h" suffixes fail
 * @return 1 if so (also for the empty string), else 0
 */
KELP_API int ishexstr(const char *s);
/**
 * @brief Tests that every byte of @p s is '0' to '7'.
 * @param s the string
 * @return 1 if so (also for the empty string), else 0
 */
KELP_API int isoctstr(const char *s);
/**
 * @brief Converts @p s to upper case in place (`toupper`); the length stays.
 * @param s the string, modified
 */
KELP_API void str2ucs(char *s);
/**
 * @brief Converts @p s to lower case in place (`tolower`); the length stays.
 * @param s the string, modified
 */
KELP_API void str2lcs(char *s);
/**
 * @brief Compares two strings without regard to case.
 *
 * Where the locale's upper case is plain ASCII (the C locale, and UTF-8
 * locales as a rule), both strings are read in whole aligned 16-byte
 * blocks, so up to 15 bytes before a string's first byte and past its
 * terminator are read: never beyond the aligned block that holds the first
 * byte or the terminator, which lies in the same page as that byte, so the
 * read cannot fault, and those bytes do not change the result. Built with
 * AddressSanitizer, the block reads are exempt from its checks
 * (`no_sanitize("address")`), since it would report them. In other locales
 * both strings are read byte by byte, never past a terminator.
 *
 * @param a first string
 * @param b second string
 * @return 0 when equal ignoring case, else `toupper(a[i]) - toupper(b[i])`
 *         at the first position i where they differ
 */
KELP_API int port_strcasecmp(const char *a, const char *b);
/**
 * @brief As port_strcasecmp() over at most @p n positions.
 *
 * At most the length of @p a plus one positions are compared. Strings are
 * read as by port_strcasecmp(), and no aligned block beyond the one that
 * holds a string's @p n-th byte is read, so @p n bytes without a terminator
 * are enough.
 *
 * @param a first string
 * @param b second string
 * @param n most positions to compare; 0 or less compares nothing
 * @return 0 when equal over the positions compared, else the difference of
 *         the upper-case bytes at the first position that differs
 */
KELP_API int port_strncasecmp(const char *a, const char *b, int n);
/**
 * @brief Counts the non-overlapping occurrences of @p sub in @p str.
 *
 * Case-sensitive; after each occurrence the search resumes behind it, so
 * "aaaa" holds "aa" twice.
 *
 * @param str the string searched
 * @param sub the substring; an empty one gives 0
 * @return the number of occurrences, 0 or more
 */
KELP_API int strcount(const char *str, const char *sub);
/**
 * @brief Counts the bytes of @p str equal to @p ch.
 * @param str the string
 * @param ch  the character, taken as a `char`; NUL gives 0
 * @return the number of occurrences before the terminator
 */
KELP_API int chcount(const char *str, int ch);

/** @brief stript() / stripl() flag: the space (0x20) is not stripped. */
#define STRIP_KEEP_SPACE 1
/** @brief stript() / stripl() flag: DEL (0x7F) is not stripped. */
#define STRIP_KEEP_DEL   2
/**
 * @brief Strips the trailing run of non-graphic bytes from @p s, in place.
 *
 * Strippable are the bytes 0x01 to 0x20, 0x7F and 0x80 to 0xFF, less what
 * @p flags spares; the test is by byte value, not locale. Every stripped
 * byte is set to NUL. Bytes inside the string are never touched.
 *
 * @param s     the string, modified (an empty string is left alone)
 * @param flags 0, ::STRIP_KEEP_SPACE, ::STRIP_KEEP_DEL or both
 */
KELP_API void stript(char *s, int flags);
/**
 * @brief Strips the leading run of non-graphic bytes from @p s, in place.
 *
 * The rest of the string, terminator included, moves to the start of the
 * buffer; the bytes behind the new terminator are not cleared. Strippable
 * bytes as for stript().
 *
 * @param s     the string, modified
 * @param flags 0, ::STRIP_KEEP_SPACE, ::STRIP_KEEP_DEL or both
 */
KELP_API void stripl(char *s, int flags);

/**
 * @brief Shows bytes as upper-case hex pairs separated by colons: "00:AB:7F".
 *
 * Only whole bytes are shown: as many as fit in @p size with the
 * terminator (3 characters per byte, the first needing 2). Without a
 * buffer the text goes to a static 257-byte buffer of the calling thread
 * (at most 85 bytes shown), overwritten by the thread's next such call.
 *
 * @param bytes the bytes
 * @param count number of bytes; 0 or less gives the empty string
 * @param out   output buffer, or NULL for the static one
 * @param size  size of @p out in bytes (ignored for NULL); below 4 gives the
 *              empty string; at least 1
 * @return @p out, or the static buffer
 */
KELP_API char *buf2hex(const void *bytes, int count, char *out, int size);
/**
 * @brief Formats an integer with commas between groups of three digits.
 *
 * "-2,147,483,648" is the longest result (15 bytes with the terminator).
 * Without a buffer the text goes to a static 15-byte buffer of the calling
 * thread, overwritten by the thread's next such call.
 *
 * @param value     the value
 * @param out       output buffer of at least 15 bytes, or NULL for the static one
 * @param is_signed non-zero: @p value is signed ("%d"); 0: its 32 bits are
 *                  read as unsigned ("%u"), so -1 gives "4,294,967,295"
 * @return @p out, or the static buffer
 */
KELP_API char *comma_number(int value, char *out, int is_signed);

/** @brief strsub() flag: only occurrences bounded by non-alphanumeric bytes count. */
#define STRSUB_WHOLE_WORD 1
/** @brief strsub() flag: change nothing, count what would be replaced. */
#define STRSUB_COUNT_ONLY 2
/**
 * @brief Replaces each occurrence of @p oldstr by @p newstr in place.
 *
 * Left to right, case-sensitive; text just inserted is not searched again.
 * A growing substitution that would not fit within @p size (with the
 * terminator) ends the work: the string keeps the substitutions made so
 * far and stays terminated. A shrinking one zeroes the bytes it frees.
 * With an empty @p oldstr the whole buffer is replaced by @p newstr (its
 * first @p size bytes zeroed first). No allocation, no message; reentrant.
 *
 * @param buf    the string, modified in place
 * @param size   size of @p buf in bytes, terminator included; 0: no limit
 * @param oldstr the substring to replace
 * @param newstr its replacement; may be empty
 * @param flags  0, ::STRSUB_WHOLE_WORD, ::STRSUB_COUNT_ONLY or both
 * @return the number of substitutions made (or, with ::STRSUB_COUNT_ONLY,
 *         that would be made); 0 when nothing was replaced
 */
KELP_API int strsub(char *buf, int size, const char *oldstr, const char *newstr, int flags);

/** @} */

KELP_END_DECLS

#endif
