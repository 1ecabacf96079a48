// Sorting a list by string keys: llist_strsort against GLib's list sort and
// against copying the node pointers to a vector, std::stable_sort and
// relinking.
//
// Keys are "%c%08d": a letter or digit, then eight random digits; either
// the first byte varies or every key shares it. The nodes lie in memory in
// one of two layouts: in list order, as a list built by appending has them,
// or shuffled, as a list that has been worked on has them. Every timed
// iteration sorts the same unsorted list: before each one the nodes are
// linked again in the layout's fixed order, the same for every peer, with
// the timer stopped (a sort of a million nodes dwarfs the stop).
#include <benchmark/benchmark.h>

#include <kelp.h>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#ifdef KELP_HAVE_GLIB
#include <glib.h>
#endif

namespace {

constexpr int key_size = 10;  // "%c%08d" and its NUL

// One set of nodes per (size, layout, first byte), made once, in the order
// they are allocated: each node owns the payload that holds its key.
struct Input {
    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() { llist_clear(&list); }

    llist list{};
    std::vector<llist_node *> nodes;  // in allocation order
    std::vector<size_t> order;        // the list order every iteration starts from
};

Input &input(const benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const bool shuffled = state.range(1) != 0, same_first = state.range(2) != 0;
    static std::map<std::tuple<int, bool, bool>, Input> cache;
    Input &in = cache[{n, shuffled, same_first}];
    if (!in.nodes.empty() || n == 0)
        return in;
    std::mt19937 rng(static_cast<unsigned>(n * 4 + shuffled * 2 + same_first));
    static const char chars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::uniform_int_distribution<int> pick(0, sizeof chars - 2), number(0, 99999999);
    for (int i = 0; i < n; ++i) {
        llist_node *node = llist_insert_b(&in.list, nullptr, nullptr, key_size);
        std::snprintf(static_cast<char *>(node->data), key_size, "%c%08d",
                      same_first ? 'k' : chars[pick(rng)], number(rng));
        in.nodes.push_back(node);
    }
    in.order.resize(in.nodes.size());
    std::iota(in.order.begin(), in.order.end(), size_t{0});
    if (shuffled)
        std::shuffle(in.order.begin(), in.order.end(), rng);
    return in;
}

const char *key_of(const llist_node *n) {
    return static_cast<const char *>(n->data);
}

// Links the nodes into the list in the layout's order.
void relink(Input &in) {
    in.list = llist{};
    for (size_t i : in.order)
        llist_insert_b(&in.list, nullptr, in.nodes[i], 0);
}

void layouts(benchmark::internal::Benchmark *b) {
    // Both layouts and key sets at the million nodes the comparison is made
    // at, and a scaling series up to it with the first byte varied.
    const bool smoke = std::getenv("KELP_BENCH_SMOKE") != nullptr;
    b->ArgNames({"n", "shuffled", "same_first_byte"});
    for (int shuffled : {0, 1}) {
        for (int n : smoke ? std::vector<int>{1000} : std::vector<int>{250000, 500000, 1000000})
            b->Args({n, shuffled, 0});
        b->Args({smoke ? 1000 : 1000000, shuffled, 1});
    }
    b->Unit(benchmark::kMillisecond);
}

void BM_llist_strsort(benchmark::State &state, unsigned int flags) {
    Input &in = input(state);
    for (auto _ : state) {
        state.PauseTiming();
        relink(in);
        state.ResumeTiming();
        llist_strsort(&in.list, 0, flags);
        benchmark::DoNotOptimize(in.list.head);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_llist_strsort, strcmp, 0u)->Apply(layouts);
BENCHMARK_CAPTURE(BM_llist_strsort, nocase, static_cast<unsigned>(LLIST_SORT_NOCASE))
    ->Apply(layouts);

// The same job done by hand: the node pointers into a vector, a stable
// sort by key, the list linked again in that order.
void BM_copy_sort_relink(benchmark::State &state) {
    Input &in = input(state);
    for (auto _ : state) {
        state.PauseTiming();
        relink(in);
        state.ResumeTiming();
        std::vector<llist_node *> v;
        v.reserve(static_cast<size_t>(in.list.count));
        for (llist_node *n = in.list.head; n != nullptr; n = n->next)
            v.push_back(n);
        std::stable_sort(v.begin(), v.end(), [](const llist_node *a, const llist_node *b) {
            return std::strcmp(key_of(a), key_of(b)) < 0;
        });
        for (size_t i = 0; i < v.size(); ++i) {
            v[i]->prev = i > 0 ? v[i - 1] : nullptr;
            v[i]->next = i + 1 < v.size() ? v[i + 1] : nullptr;
        }
        in.list.head = v.front();
        in.list.tail = v.back();
        benchmark::DoNotOptimize(in.list.head);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_copy_sort_relink)->Apply(layouts);

#ifdef KELP_HAVE_GLIB
// GLib's links come from its own allocator, one per node in the nodes'
// allocation order, each pointing at that node's key; they are linked in
// the layout's order as the nodes are.
void BM_g_list_sort(benchmark::State &state, GCompareFunc compare) {
    Input &in = input(state);
    std::vector<GList *> links;
    for (llist_node *n : in.nodes) {
        links.push_back(g_list_alloc());
        links.back()->data = n->data;
    }
    GList *list = nullptr;
    for (auto _ : state) {
        state.PauseTiming();
        GList *prev = nullptr;
        for (size_t i : in.order) {
            links[i]->prev = prev;
            links[i]->next = nullptr;
            if (prev != nullptr)
                prev->next = links[i];
            prev = links[i];
        }
        list = links[in.order.front()];
        state.ResumeTiming();
        list = g_list_sort(list, compare);
        benchmark::DoNotOptimize(list);
    }
    g_list_free(list);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_g_list_sort, strcmp, reinterpret_cast<GCompareFunc>(std::strcmp))
    ->Apply(layouts);
BENCHMARK_CAPTURE(BM_g_list_sort, strcasecmp, reinterpret_cast<GCompareFunc>(strcasecmp))
    ->Apply(layouts);
#endif

}  // namespace

BENCHMARK_MAIN();
