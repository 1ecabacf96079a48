#include "demo.h"

#include <kelp.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

int add(wtree *t, const char *word, int token) {
    return wtree_add_word(t, word, static_cast<int>(std::strlen(word)), token);
}
int find(const wtree *t, const char *word) {
    return wtree_find_word(t, word, static_cast<int>(std::strlen(word)));
}

void show_counts(const wtree *t) {
    wtree_counts c{};
    wtree_stats(t, &c);
    std::printf("  %d words, %d nodes, %d bytes, %d full nodes\n", c.word_cnt, c.node_cnt,
                c.byte_cnt, c.full_cnt);
}

}  // namespace

int demo::wtree(int, char **) {
    static const char *const words[] = {"kelp",  "Kelpie", "HELP", "helper", "held",
                                        "hello", "sea",    "seal", "seaweed"};
    ::wtree *t = wtree_create("abcdefghijklmnopqrstuvwxyz", 26, 1);  // case-folded
    if (t == nullptr) {
        std::printf("wtree_create failed: %s\n", gnl_usrmsg);
        return 1;
    }
    std::printf("adding %zu words to a case-folded tree over a-z:\n", sizeof words / sizeof *words);
    for (int i = 0; i < static_cast<int>(sizeof words / sizeof *words); ++i)
        std::printf("  %-8s token %d -> %s\n", words[i], i + 1,
                    add(t, words[i], i + 1) == 0 ? "new next array" : "no new next array");
    if (add(t, "sea-cow", 99) < 0)
        std::printf("  %-8s refused: %s\n", "sea-cow", gnl_usrmsg);
    show_counts(t);

    std::printf("lookups:\n");
    for (const char *w : {"KELP", "kelpie", "Hel", "hello", "SEAWEED", "weed"})
        std::printf("  %-8s -> %d\n", w, find(t, w));

    std::printf("deleting seaweed, helper and kelp:\n");
    for (const char *w : {"seaweed", "helper", "kelp"})
        wtree_del_word(t, w, static_cast<int>(std::strlen(w)));
    std::printf("  kelpie is still %d, kelp is now %d\n", find(t, "kelpie"), find(t, "kelp"));
    show_counts(t);

    std::printf("dump of a smaller tree:\n");
    ::wtree *small = wtree_create("abdehlp", 7, 1);
    if (small != nullptr) {
        add(small, "help", 1);
        add(small, "held", 2);
        add(small, "Ah", -3);
        wtree_dump(small, stdout);
        wtree_destroy(small);
    }
    wtree_destroy(t);
    return 0;
}
