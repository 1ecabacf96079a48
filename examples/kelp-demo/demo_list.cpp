#include "demo.h"

#include <kelp.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

// The payload of every node: the sort key sits behind a number.
struct Fish {
    int depth_m;
    char name[20];
};

constexpr Fish catch_of_the_day[] = {
    {40, "mackerel"}, {200, "Hake"},  {5, "_spare"},     {120, "cod"},
    {40, "Cod"},      {900, "eel"},   {60, "anchovy"},   {15, "Zander"},
};

void show(const char *title, const llist &list) {
    std::printf("%s:", title);
    for (const llist_node *n = list.head; n != nullptr; n = n->next) {
        const Fish *f = static_cast<const Fish *>(n->data);
        std::printf(" %s/%d", f->name, f->depth_m);
    }
    std::printf("\n");
}

}  // namespace

int demo::list(int, char **) {
    llist fish{};  // all zero: an empty list
    for (const Fish &f : catch_of_the_day) {
        // Each node owns a zeroed payload of the record's size.
        llist_node *n = llist_insert_b(&fish, nullptr, nullptr, sizeof(Fish));
        if (n == nullptr)
            return 1;
        std::memcpy(n->data, &f, sizeof f);
    }
    std::printf("%d records, Hake at position %d\n", fish.count,
                llist_rank(&fish, llist_fward(fish.head, 1)));
    show("as caught", fish);

    const int key = offsetof(Fish, name);
    llist_strsort(&fish, key, 0);
    show("sorted (strcmp)", fish);
    llist_strsort(&fish, key, LLIST_SORT_NOCASE);
    show("sorted, any case", fish);
    llist_strsort(&fish, key, LLIST_SORT_NOCASE | LLIST_SORT_DESCEND);
    show("descending, any case", fish);

    // A shared clone points at the same records and frees none of them.
    llist view{};
    if (llist_clone(&fish, &view, 1) != 0)
        return 1;
    llist_reverse(&view);
    show("shared clone, reversed", view);
    llist_clear(&view);
    llist_clear(&fish);
    return 0;
}
