// Sorting a list by string keys: llist_strsort against std::stable_sort of
// the same keys through an array of pointers (and GLib's list sort when
// available), on random keys and on keys that all share their first byte.
#include <benchmark/benchmark.h>

#include <kelp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

#ifdef KELP_HAVE_GLIB
#include <glib.h>
#endif

namespace {

constexpr int key_len = 15;

// One list per (size, shape), built once: nodes own 16-byte payloads that
// hold the key. Shape 1 gives every key the same first byte.
struct Input {
    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() { llist_clear(&list); }

    llist list{};
    std::vector<llist_node *> nodes;  // in the unsorted order
    std::vector<const char *> keys;
};

const Input &input(int n, int shape) {
    static std::map<std::pair<int, int>, Input> cache;
    Input &in = cache[{n, shape}];
    if (!in.nodes.empty() || n == 0)
        return in;
    std::mt19937 rng(static_cast<unsigned>(n * 2 + shape));
    std::uniform_int_distribution<int> pick(0, 61);
    static const char chars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (int i = 0; i < n; ++i) {
        llist_node *node = llist_insert_b(&in.list, nullptr, nullptr, key_len + 1);
        char *key = static_cast<char *>(node->data);
        for (int j = 0; j < key_len; ++j)
            key[j] = chars[pick(rng)];
        if (shape == 1)
            key[0] = 'k';
        in.nodes.push_back(node);
        in.keys.push_back(key);
    }
    return in;
}

// Puts the list back into its unsorted order.
void relink(llist *list, const std::vector<llist_node *> &nodes) {
    *list = llist{};
    for (llist_node *n : nodes)
        llist_insert_b(list, nullptr, n, 0);
}

void sizes(benchmark::internal::Benchmark *b) {
    const int n = std::getenv("KELP_BENCH_SMOKE") != nullptr ? 1000 : 1000000;
    b->ArgNames({"n", "same_first_byte"})->Args({n, 0})->Args({n, 1})->Unit(benchmark::kMillisecond);
}

void BM_llist_strsort(benchmark::State &state, unsigned int flags) {
    Input &in = const_cast<Input &>(input(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
    for (auto _ : state) {
        state.PauseTiming();
        relink(&in.list, in.nodes);
        state.ResumeTiming();
        llist_strsort(&in.list, 0, flags);
        benchmark::DoNotOptimize(in.list.head);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_llist_strsort, strcmp, 0u)->Apply(sizes);
BENCHMARK_CAPTURE(BM_llist_strsort, nocase, static_cast<unsigned>(LLIST_SORT_NOCASE))->Apply(sizes);

void BM_std_stable_sort(benchmark::State &state) {
    const Input &in = input(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::vector<const char *> keys;
    for (auto _ : state) {
        state.PauseTiming();
        keys = in.keys;
        state.ResumeTiming();
        std::stable_sort(keys.begin(), keys.end(),
                         [](const char *a, const char *b) { return std::strcmp(a, b) < 0; });
        benchmark::DoNotOptimize(keys.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_std_stable_sort)->Apply(sizes);

#ifdef KELP_HAVE_GLIB
void BM_g_list_sort(benchmark::State &state) {
    const Input &in = input(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    // Links from GLib's own allocator, as a program would have them.
    GList *list = nullptr;
    for (const char *key : in.keys)
        list = g_list_prepend(list, const_cast<char *>(key));
    std::vector<GList *> links;
    for (GList *l = g_list_reverse(list); l != nullptr; l = l->next)
        links.push_back(l);
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < links.size(); ++i) {
            links[i]->next = i + 1 < links.size() ? links[i + 1] : nullptr;
            links[i]->prev = i > 0 ? links[i - 1] : nullptr;
        }
        state.ResumeTiming();
        list = g_list_sort(links.empty() ? nullptr : links[0], reinterpret_cast<GCompareFunc>(std::strcmp));
        benchmark::DoNotOptimize(list);
    }
    g_list_free(list);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_g_list_sort)->Apply(sizes);
#endif

}  // namespace

BENCHMARK_MAIN();
