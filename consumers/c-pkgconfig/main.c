/* Uses libkelp from C: version, text utilities and the failure convention. */
#include <kelp.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    char line[] = "  kelp.consumer.c \t\n";

    gnl_init(NULL);
    stript(line, 0);
    stripl(line, 0);
    if (strcmp(line, "kelp.consumer.c") != 0 || chcount(line, '.') != 2) {
        fprintf(stderr, "unexpected text result [%s]\n", line);
        return 1;
    }
    if (strcmp(gnl_verstr(), "1.2.3") != 0) {
        fprintf(stderr, "unexpected version %s\n", gnl_verstr());
        return 1;
    }
    printf("C consumer: libkelp %s, %s\n", gnl_verstr(), line);
    return 0;
}
