// Sorting a list by string keys: llist_strsort against GLib's list sort and
// against copying the node pointers to a vector, std::stable_sort and
// relinking, on random keys and on keys that all share their first byte.
//
// Every timed iteration sorts the same shuffled list: before each one the
// nodes are linked again in one fixed random order, the same for every
// peer. Linked in the order they were allocated, or left sorted by the
// iteration before, a list would walk memory in sequence and flatter
// whichever sort profits from that.
#include <benchmark/benchmark.h>

#include <kelp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#ifdef KELP_HAVE_GLIB
#include <glib.h>
#endif

namespace {

constexpr int key_len = 15;

// One set of nodes per (size, shape), made once: nodes own 16-byte payloads
// that hold the key. Shape 1 gives every key the same first byte.
struct Input {
    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input() { llist_clear(&list); }

    llist list{};
    std::vector<llist_node *> nodes;  // in allocation order
    std::vector<size_t> shuffled;     // the order every iteration starts from
};

Input &input(int n, int shape) {
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
    }
    in.shuffled.resize(in.nodes.size());
    std::iota(in.shuffled.begin(), in.shuffled.end(), size_t{0});
    std::shuffle(in.shuffled.begin(), in.shuffled.end(), rng);
    return in;
}

const char *key_of(const llist_node *n) { return static_cast<const char *>(n->data); }

// Links the nodes into the list in the shuffled order.
void shuffle_list(Input &in) {
    in.list = llist{};
    for (size_t i : in.shuffled)
        llist_insert_b(&in.list, nullptr, in.nodes[i], 0);
}

void sizes(benchmark::internal::Benchmark *b) {
    // A scaling series up to the million nodes the comparison is made at.
    std::vector<int> ns{1000};
    if (std::getenv("KELP_BENCH_SMOKE") == nullptr)
        ns = {125000, 250000, 500000, 1000000};
    b->ArgNames({"n", "same_first_byte"});
    for (int n : ns)
        b->Args({n, 0})->Args({n, 1});
    b->Unit(benchmark::kMillisecond);
}

void BM_llist_strsort(benchmark::State &state, unsigned int flags) {
    Input &in = input(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        state.PauseTiming();
        shuffle_list(in);
        state.ResumeTiming();
        llist_strsort(&in.list, 0, flags);
        benchmark::DoNotOptimize(in.list.head);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK_CAPTURE(BM_llist_strsort, strcmp, 0u)->Apply(sizes);
BENCHMARK_CAPTURE(BM_llist_strsort, nocase, static_cast<unsigned>(LLIST_SORT_NOCASE))->Apply(sizes);

// The same job done by hand: the node pointers into a vector, a stable
// sort by key, the list linked again in that order.
void BM_copy_sort_relink(benchmark::State &state) {
    Input &in = input(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        state.PauseTiming();
        shuffle_list(in);
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
BENCHMARK(BM_copy_sort_relink)->Apply(sizes);

#ifdef KELP_HAVE_GLIB
void BM_g_list_sort(benchmark::State &state) {
    Input &in = input(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    // Links from GLib's own allocator, one per node and in the nodes' order,
    // each pointing at that node's key.
    std::vector<GList *> links;
    for (llist_node *n : in.nodes) {
        links.push_back(g_list_alloc());
        links.back()->data = n->data;
    }
    GList *list = nullptr;
    for (auto _ : state) {
        state.PauseTiming();
        GList *prev = nullptr;
        for (size_t i : in.shuffled) {
            links[i]->prev = prev;
            links[i]->next = nullptr;
            if (prev != nullptr)
                prev->next = links[i];
            prev = links[i];
        }
        list = links[in.shuffled.front()];
        state.ResumeTiming();
        list = g_list_sort(list, reinterpret_cast<GCompareFunc>(std::strcmp));
        benchmark::DoNotOptimize(list);
    }
    g_list_free(list);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_g_list_sort)->Apply(sizes);
#endif

}  // namespace

BENCHMARK_MAIN();
