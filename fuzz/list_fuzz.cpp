// List operation sequences against a vector, and llist_strsort against the
// bucket-insertion model.
#include "models.h"

#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The list's nodes in order, checking the links both ways and the count.
std::vector<llist_node *> nodes_of(const llist &l) {
    std::vector<llist_node *> v;
    llist_node *prev = nullptr;
    for (llist_node *n = l.head; n != nullptr; n = n->next) {
        if (n->prev != prev)
            std::abort();
        v.push_back(n);
        prev = n;
    }
    if (l.tail != prev || static_cast<int>(v.size()) != l.count)
        std::abort();
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    llist list{};
    std::vector<std::string> keys;  // key of each node, by creation number
    auto key_of = [](llist_node *n) { return static_cast<const char *>(n->data) + 1; };
    while (in.remaining_bytes() > 0) {
        std::vector<llist_node *> v = nodes_of(list);
        const int op = in.ConsumeIntegralInRange(0, 6);
        if (op <= 1 || v.empty()) {
            std::string key = in.ConsumeRandomLengthString(5);
            key = key.c_str();
            const bool at_end = v.empty() || in.ConsumeBool();
            const size_t pidx = at_end ? 0 : in.ConsumeIntegralInRange<size_t>(0, v.size() - 1);
            llist_node *pos = at_end ? nullptr : v[pidx];
            int sz = static_cast<int>(key.size()) + 2;
            llist_node *n = op == 0 ? llist_insert_a(&list, pos, nullptr, sz) : llist_insert_b(&list, pos, nullptr, sz);
            if (n == nullptr)
                std::abort();
            std::memcpy(static_cast<char *>(n->data) + 1, key.c_str(), key.size() + 1);
            std::vector<llist_node *> after = nodes_of(list);
            size_t at = pos == nullptr ? (op == 0 ? 0 : v.size()) : pidx + (op == 0 ? 1 : 0);
            if (after.size() != v.size() + 1 || after[at] != n)
                std::abort();
        } else if (op == 2) {
            llist_delete(&list, v[in.ConsumeIntegralInRange<size_t>(0, v.size() - 1)]);
        } else if (op == 3) {
            llist_reverse(&list);
            std::vector<llist_node *> r = nodes_of(list);
            if (!std::equal(v.rbegin(), v.rend(), r.begin()))
                std::abort();
        } else if (op == 4) {
            size_t i = in.ConsumeIntegralInRange<size_t>(0, v.size() - 1);
            if (llist_rank(&list, v[i]) != static_cast<int>(i) || llist_fward(v[0], static_cast<unsigned>(i)) != v[i] ||
                llist_bward(v.back(), static_cast<unsigned>(v.size() - 1 - i)) != v[i] ||
                llist_fward(v[i], static_cast<unsigned>(v.size() - i)) != nullptr)
                std::abort();
        } else {
            unsigned flags = in.ConsumeIntegralInRange(0u, 3u);
            std::vector<std::string> k;
            for (llist_node *n : v)
                k.push_back(key_of(n));
            std::vector<size_t> order = model::strsort(k, flags);
            llist_strsort(&list, 1, flags);
            std::vector<llist_node *> sorted = nodes_of(list);
            for (size_t i = 0; i < order.size(); ++i)
                if (sorted[i] != v[order[i]])
                    std::abort();
        }
    }
    llist copy{};
    if (llist_clone(&list, &copy, 0) != 0 || copy.count != list.count)
        std::abort();
    llist_clear(&copy);
    llist_clear(&list);
    return 0;
}
