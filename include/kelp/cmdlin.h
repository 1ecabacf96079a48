/* libkelp: command-line parser. */
#ifndef KELP_CMDLIN_H
#define KELP_CMDLIN_H

#include <kelp/export.h>

KELP_BEGIN_DECLS

#define CMDLIN_PARAM  0
#define CMDLIN_SWITCH 1

typedef struct gnl_cmdlin_def gnl_cmdlin_def;
typedef int (*gnl_cmdlin_handler)(gnl_cmdlin_def *def, int kind, int code, char *arg);

struct gnl_cmdlin_def {
    const char *optstr;
    const char *mandsw;
    int showerr;
    gnl_cmdlin_handler handler;
    void *appdata;
    int minparam;
    int maxparam;
    int nparam;
    char **params;
    int stop;
};

KELP_API int gnl_cmdlin(int argc, char **argv, gnl_cmdlin_def *def);

KELP_END_DECLS

#endif
