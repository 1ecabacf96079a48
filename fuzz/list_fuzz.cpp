// List operation sequences against a vector, and llist_strsort against the
// bucket-insertion model: keys long enough to outgrow the bytes the sort
// caches, whole runs of keys that share a stem (lists big enough for its
// radix passes), and case compared in the C locale or in one where bytes
// above 127 have case.
#include "models.h"

#include <kelp.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <clocale>
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

// A new node owning key (up to its first NUL) one byte into its payload,
// after pos with insert_a, else before it.
llist_node *add(llist *list, llist_node *pos, std::string key, bool insert_a) {
    key = key.c_str();
    const int size = static_cast<int>(key.size()) + 2;
    llist_node *n = insert_a ? llist_insert_a(list, pos, nullptr, size)
                             : llist_insert_b(list, pos, nullptr, size);
    if (n == nullptr)
        std::abort();
    std::memcpy(static_cast<char *>(n->data) + 1, key.c_str(), key.size() + 1);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    llist list{};
    while (in.remaining_bytes() > 0) {
        std::vector<llist_node *> v = nodes_of(list);
        const int op = in.ConsumeIntegralInRange(0, 7);
        if (op <= 1 || v.empty()) {
            const std::string key = in.ConsumeRandomLengthString(20);
            const bool at_end = v.empty() || in.ConsumeBool();
            const size_t pidx = at_end ? 0 : in.ConsumeIntegralInRange<size_t>(0, v.size() - 1);
            llist_node *pos = at_end ? nullptr : v[pidx];
            llist_node *n = add(&list, pos, key, op == 0);
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
            if (llist_rank(&list, v[i]) != static_cast<int>(i) ||
                llist_fward(v[0], static_cast<unsigned>(i)) != v[i] ||
                llist_bward(v.back(), static_cast<unsigned>(v.size() - 1 - i)) != v[i] ||
                llist_fward(v[i], static_cast<unsigned>(v.size() - i)) != nullptr)
                std::abort();
        } else if (op == 5) {
            const std::string stem = in.ConsumeRandomLengthString(24);
            for (int i = in.ConsumeIntegralInRange(1, 64); i > 0; --i)
                add(&list, nullptr, stem + in.ConsumeRandomLengthString(4), false);
        } else {
            const unsigned flags = in.ConsumeIntegralInRange(0u, 3u);
            std::setlocale(LC_CTYPE, in.ConsumeBool() ? "fr_FR.ISO-8859-1" : "C");
            const std::vector<llist_node *> want = model::strsort(v, 1, flags);
            llist_strsort(&list, 1, flags);
            if (nodes_of(list) != want)
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
