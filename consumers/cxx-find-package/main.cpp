// Uses libkelp from C++ through kelp.hpp: a word tree, a list, a command
// through communicate, and the text views over its output.
#include <kelp.hpp>

#include <cstdio>
#include <string>
#include <string_view>

int main() {
    const gnl_initopts keep = {0, GNL_INIT_KEEPSIGS};  // exit codes from close_syscmd
    gnl_init(&keep);
    auto tree = kelp::word_tree::create("abcdefghijklmnopqrstuvwxyz", true);
    if (!tree || !tree->add("kelp", 42) || tree->find("KELP") != 42) {
        std::fprintf(stderr, "C++ consumer: word tree failed [%s]\n", gnl_usrmsg);
        return 1;
    }

    // sort reads the words and prints them one per line; the views split
    // its output without copying.
    auto sort = kelp::command::run({"sort"});
    auto sorted = sort ? sort->communicate("pear\n  fig  \napple\n")
                       : kelp::result<kelp::command::outcome>(sort.error());
    if (!sorted || sorted->status != 0) {
        std::fprintf(stderr, "C++ consumer: sort failed [%s]\n", sorted.error().message.c_str());
        return 1;
    }
    kelp::list list;
    for (std::string_view line : kelp::lines(sorted->output))
        if (!list.push_back_copy(kelp::trim(line)))
            return 1;
    list.sort(0);
    std::string keys;
    for (llist_node &n : list)
        keys += std::string(static_cast<const char *>(n.data)) + " ";
    if (keys != "apple fig pear ")
        return 1;
    std::printf("C++ consumer: libkelp %s, token %d, sorted %s\n", gnl_verstr(), tree->find("Kelp"),
                keys.c_str());
    return 0;
}
