/**
 * @file kelp/cmdlin.h
 * @brief Command-line parser.
 */
#ifndef KELP_CMDLIN_H
#define KELP_CMDLIN_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

/**
 * @defgroup kelp_cmdlin Command line
 * @brief Drives `getopt` from a description and calls back for each argument.
 * @{
 */

/** @brief Handler kind: a plain parameter; the code is its position from 1. */
#define CMDLIN_PARAM  0
/** @brief Handler kind: a switch; the code is its character. */
#define CMDLIN_SWITCH 1

/** @brief The description of a command line (see struct gnl_cmdlin_def). */
typedef struct gnl_cmdlin_def gnl_cmdlin_def;
/**
 * @brief Called by gnl_cmdlin() for each switch and each parameter, in order.
 *
 * For a switch: @p kind ::CMDLIN_SWITCH, @p code the character, @p arg its
 * argument or NULL. For a parameter: @p kind ::CMDLIN_PARAM, @p code its
 * position from 1, @p arg the parameter. Returns 0 to go on, non-zero to
 * reject the command line. It may set gnl_cmdlin_def::stop.
 */
typedef int (*gnl_cmdlin_handler)(gnl_cmdlin_def *def, int kind, int code, char *arg);

/** @brief The description of a command line, owned by the caller. */
struct gnl_cmdlin_def {
    const char *optstr;      /**< `getopt` option string; NULL becomes "" */
    const char *mandsw;      /**< switch characters that must appear; NULL becomes "" */
    int showerr;             /**< non-zero: `getopt` prints its own diagnostics */
    gnl_cmdlin_handler handler; /**< called per switch and parameter */
    void *appdata;           /**< for the handler; the parser never touches it */
    int minparam;            /**< least number of parameters */
    int maxparam;            /**< greatest number of parameters, -1 for no limit */
    int nparam;              /**< set by the parser: number of parameters */
    char **params;           /**< set by the parser: the first parameter in argv */
    int stop;                /**< non-zero ends parsing with success at the next check */
};

/**
 * @brief Parses @p argc / @p argv against @p def.
 *
 * Sets ::gnl_prognam to `argv[0]` without its directory. Each switch may
 * be given once. Rejections by the parser leave in ::gnl_usrmsg:
 * "Illegal switch (on or after '%s')", "Duplicate '-%c' switch",
 * "Mandatory '-%c' switch not supplied" (the missing switch that stands
 * last in mandsw), "Illegal number of parameters (%d)". A rejection by
 * the handler leaves whatever the handler wrote. Continues from wherever
 * `getopt`'s `optind` stands; reset it to parse again. Switch characters
 * are 7-bit: a byte above 127 in optstr or mandsw is refused with
 * "Unsupported switch character (code %d) in %s".
 *
 * Serialised: `getopt`'s state is the process's, so calls from several
 * threads run one at a time (the handler runs inside the call). The state
 * carries over between the calls of one thread; a call that follows
 * another thread's starts afresh at `argv[1]`, never inside the other
 * thread's arguments. ::gnl_prognam is process-wide: the last call sets it.
 *
 * @param argc argument count
 * @param argv argument vector; `getopt` may reorder it
 * @param def  the description; nparam and params are set on the way
 * @return 0 when accepted or stopped through gnl_cmdlin_def::stop, 1 when rejected
 */
KELP_API int gnl_cmdlin(int argc, char **argv, gnl_cmdlin_def *def);

/** @} */

KELP_END_DECLS

#endif
