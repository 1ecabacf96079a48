// Word-tree operation sequences against the node-by-node model: the result
// of every step, and after it the dump (the four counts and every node).
// Words lie in a buffer without a NUL after them.
#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "models.h"

#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    dbginit("/dev/null", nullptr, -1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool nocase = in.ConsumeBool();
    const std::string alphabet =
        nocase ? "ABCDE" : "DEabc";  // ascending, as the model orders words
    wtree *t = wtree_create(alphabet.data(), static_cast<int>(alphabet.size()), nocase);
    if (t == nullptr)
        std::abort();
    model::WordTree model{alphabet};
    while (in.remaining_bytes() > 0) {
        const int op = in.ConsumeIntegralInRange(0, 2);
        std::string key;
        const auto len = in.ConsumeIntegralInRange(0, 6);
        auto word = std::make_unique<char[]>(static_cast<size_t>(len));
        for (int i = 0; i < len; ++i) {
            word[i] = "abcdeABCDEz"[in.ConsumeIntegralInRange(0, 10)];
            key += static_cast<char>(nocase ? std::toupper(word[i]) : word[i]);
        }
        int r = 0;
        if (op == 0) {
            const int token = in.ConsumeIntegralInRange(-3, 3);
            r = wtree_add_word(t, word.get(), len, token) -
                model.add(key, std::string(word.get(), len), token, -1).first;
        } else {
            auto it = model.token.find(key);
            const int tok = it != model.token.end() ? it->second : NOTOK;
            r = op == 1 ? wtree_find_word(t, word.get(), len) - tok
                        : wtree_del_word(t, word.get(), len) - (tok != NOTOK ? 0 : -1);
            if (op == 2 && tok != NOTOK)
                it->second = NOTOK, model.prune(key);
        }
        if (r != 0 || model::dump_of(t) != model.dump())
            std::abort();
    }
    wtree_destroy(t);
    return 0;
}
