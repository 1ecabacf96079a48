// Uses libkelp from C++ through kelp.hpp: a word tree and a list.
#include <kelp.hpp>

#include <cstdio>
#include <cstring>
#include <string>

int main() {
    gnl_init(nullptr);
    auto tree = kelp::word_tree::create("abcdefghijklmnopqrstuvwxyz", true);
    if (!tree || !tree->add("kelp", 42) || tree->find("KELP") != 42) {
        std::fprintf(stderr, "C++ consumer: word tree failed [%s]\n", gnl_usrmsg);
        return 1;
    }
    kelp::list list;
    for (const char *k : {"pear", "apple", "fig"})
        if (!list.push_back_copy({k, std::strlen(k) + 1}))
            return 1;
    list.sort(0);
    std::string keys;
    for (llist_node &n : list)
        keys += std::string(static_cast<const char *>(n.data)) + " ";
    if (keys != "apple fig pear ")
        return 1;
    std::printf("C++ consumer: libkelp %s, token %d, sorted %s\n", gnl_verstr(),
                tree->find("Kelp"), keys.c_str());
    return 0;
}
