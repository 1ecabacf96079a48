/* The umbrella header compiles as strict C99, and as C++17, and links. */
#include <kelp.h>
#include <string.h>

#if !KELP_CHECK_VERSION(1, 2, 3) || KELP_CHECK_VERSION(1, 2, 4)
#error "KELP_CHECK_VERSION does not place these headers at 1.2.3"
#endif

int main(void)
{
    llist list;
    wtree_counts counts;
    gnl_cmdlin_def def;

    memset(&list, 0, sizeof list);
    memset(&counts, 0, sizeof counts);
    memset(&def, 0, sizeof def);
    if (strcmp(gnl_verstr(), "1.2.3") != 0 || strcmp(gnl_verstr(), KELP_VERSION_STRING) != 0)
        return 1;
    if (gnl_usrmsg[0] != '\0' || sizeof gnl_usrmsg != 1025)
        return 2;
    if (list.count != 0 || counts.word_cnt != 0 || def.stop != 0)
        return 3;
    return TRC_VALIST == 2 && RUN_PTY == 2 && NOTOK == 0 ? 0 : 4;
}
