// Word-tree operation sequences against a map: results after every step,
// the four counts against a walk of the tree, a dump that stays in bounds.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

struct Walk {
    int words = 0, nodes = 0, full = 0;
};

void walk(const wtree *t, const wtree_node *n, Walk &w) {
    ++w.nodes;
    if (n->token != NOTOK)
        ++w.words;
    if (n->next == nullptr)
        return;
    ++w.full;
    for (int i = 0; i < t->siz_alpha; ++i)
        if (n->next[i] != nullptr)
            walk(t, n->next[i], w);
}

void check_counts(const wtree *t, size_t stored) {
    Walk w;
    walk(t, t->root, w);
    const wtree_counts &c = t->counts;
    int bytes = t->siz_alpha + 1 + w.nodes * static_cast<int>(sizeof(wtree_node)) + w.full * t->siz_next;
    if (c.word_cnt != w.words || c.node_cnt != w.nodes || c.full_cnt != w.full || c.byte_cnt != bytes ||
        c.word_cnt != static_cast<int>(stored))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    dbginit("/dev/null", nullptr, -1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool nocase = in.ConsumeBool();
    const std::string alphabet = nocase ? "ABCDE" : "abcDE";
    wtree *t = wtree_create(alphabet.data(), static_cast<int>(alphabet.size()), nocase);
    if (t == nullptr)
        std::abort();
    std::map<std::string, int> model;
    auto fold = [&](std::string w) {
        if (nocase)
            for (char &c : w)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return w;
    };
    auto legal = [&](const std::string &w) { return fold(w).find_first_not_of(alphabet) == std::string::npos; };
    while (in.remaining_bytes() > 0) {
        const int op = in.ConsumeIntegralInRange(0, 3);
        std::string word;
        for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n)
            word += "abcdeABCDEz"[in.ConsumeIntegralInRange(0, 10)];
        const int len = static_cast<int>(word.size());
        if (op == 0) {
            int token = in.ConsumeIntegralInRange(-3, 3);
            int r = wtree_add_word(t, word.c_str(), len, token);
            if (token == 0 || !legal(word)) {
                if (r != -1)
                    std::abort();
            } else {
                if (r != 0 && r != 1)
                    std::abort();
                model[fold(word)] = token;
            }
        } else if (op == 1) {
            auto it = model.find(fold(word));
            if (wtree_find_word(t, word.c_str(), len) != (it == model.end() ? NOTOK : it->second))
                std::abort();
        } else if (op == 2) {
            bool had = model.erase(fold(word)) > 0;
            if (wtree_del_word(t, word.c_str(), len) != (had ? 0 : -1))
                std::abort();
        } else {
            FILE *out = std::fopen("/dev/null", "w");
            wtree_dump(t, out);
            std::fclose(out);
        }
        check_counts(t, model.size());
    }
    wtree_destroy(t);
    return 0;
}
