/* Uses libkelp from C: text utilities, a word tree and a sorted list. */
#include <kelp.h>

#include <stdio.h>
#include <string.h>

static int fail(const char *what)
{
    fprintf(stderr, "C consumer: %s [%s]\n", what, gnl_usrmsg);
    return 1;
}

int main(void)
{
    char line[] = "  kelp.consumer.c \t\n";
    const char *keys[] = {"pear", "apple", "fig"};
    wtree *tree;
    llist list;
    int i, token;

    gnl_init(NULL);
    stript(line, 0);
    stripl(line, 0);
    if (strcmp(line, "kelp.consumer.c") != 0 || chcount(line, '.') != 2)
        return fail("text utilities");

    tree = wtree_create("abcdefghijklmnopqrstuvwxyz", 26, 1);
    if (tree == NULL)
        return fail("wtree_create");
    if (wtree_add_word(tree, "kelp", 4, 42) < 0)
        return fail("wtree_add_word");
    token = wtree_find_word(tree, "KELP", 4);
    wtree_destroy(tree);
    if (token != 42)
        return fail("wtree_find_word");

    memset(&list, 0, sizeof list);
    for (i = 0; i < 3; ++i) {
        llist_node *n = llist_insert_b(&list, NULL, NULL, (int)strlen(keys[i]) + 1);
        if (n == NULL)
            return fail("llist_insert_b");
        memcpy(n->data, keys[i], strlen(keys[i]) + 1);
    }
    llist_strsort(&list, 0, 0);
    printf("C consumer: libkelp %s, %s, token %d, first %s\n", gnl_verstr(), line, token,
           (const char *)list.head->data);
    llist_clear(&list);
    return 0;
}
