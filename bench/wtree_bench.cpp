// Word tree against std::unordered_map<std::string, int16_t> (and a
// double-array trie when one is installed) on a dictionary: insertions in
// the dictionary's order and lookups in a shuffled order, per second, and
// the heap each structure holds per word (blocks that malloc maps on their
// own counted too), from a thousand words to a million.
#include <benchmark/benchmark.h>

#include <kelp.h>

#include "dictionary.h"

#include <malloc.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#ifdef KELP_HAVE_DATRIE
#include <datrie/trie.h>
#endif

namespace {

struct Dictionary {
    std::vector<std::string> words;   // in the dictionary's (sorted) order
    std::vector<std::string> probes;  // the same words, shuffled
    std::string alphabet;             // every byte the words use
};

// The words of one series point, made once.
const Dictionary &dictionary(size_t n) {
    static std::map<size_t, Dictionary> made;
    auto [it, fresh] = made.try_emplace(n);
    Dictionary &d = it->second;
    if (!fresh)
        return d;
    d.words = bench::dictionary_words(n);
    std::set<unsigned char> bytes;
    for (const std::string &w : d.words)
        bytes.insert(w.begin(), w.end());
    d.alphabet.assign(bytes.begin(), bytes.end());
    d.probes = d.words;
    std::shuffle(d.probes.begin(), d.probes.end(), std::mt19937(7));
    return d;
}

const Dictionary &dictionary(const benchmark::State &state) {
    return dictionary(static_cast<size_t>(state.range(0)));
}

// The heap in use, blocks that malloc maps on their own included.
size_t heap_in_use() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

int16_t token_of(size_t i) {
    return static_cast<int16_t>(i % 32767 + 1);
}

wtree *build_wtree(const Dictionary &d) {
    wtree *t = wtree_create(d.alphabet.data(), static_cast<int>(d.alphabet.size()), 0);
    for (size_t i = 0; i < d.words.size(); ++i)
        wtree_add_word(t, d.words[i].c_str(), static_cast<int>(d.words[i].size()), token_of(i));
    return t;
}

using Map = std::unordered_map<std::string, int16_t>;

Map build_map(const Dictionary &d) {
    Map m;
    for (size_t i = 0; i < d.words.size(); ++i)
        m.emplace(d.words[i], token_of(i));
    return m;
}

void report(benchmark::State &state, size_t heap) {
    const size_t words = dictionary(state).words.size();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * words));
    state.counters["bytes/word"] = static_cast<double>(heap) / static_cast<double>(words);
}

// Builds and releases the structure once per iteration; only the build is
// timed, and the heap it took is reported per word.
template <typename Build, typename Release>
void time_builds(benchmark::State &state, Build build, Release release) {
    size_t heap = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const size_t before = heap_in_use();
        state.ResumeTiming();
        auto *built = build();
        state.PauseTiming();
        heap = heap_in_use() - before;
        release(built);
        state.ResumeTiming();
    }
    report(state, heap);
}

void wtree_insert(benchmark::State &state) {
    const Dictionary &d = dictionary(state);
    time_builds(
        state, [&] { return build_wtree(d); }, wtree_destroy);
}

void wtree_lookup(benchmark::State &state) {
    const Dictionary &d = dictionary(state);
    size_t before = heap_in_use();
    wtree *t = build_wtree(d);
    size_t heap = heap_in_use() - before;
    for (auto _ : state) {
        long found = 0;
        for (const std::string &w : d.probes)
            found += wtree_find_word(t, w.data(), static_cast<int>(w.size())) != NOTOK;
        benchmark::DoNotOptimize(found);
    }
    wtree_counts c{};
    wtree_stats(t, &c);
    state.counters["counted/word"] = static_cast<double>(c.byte_cnt) / c.word_cnt;
    wtree_destroy(t);
    report(state, heap);
}

void map_insert(benchmark::State &state) {
    const Dictionary &d = dictionary(state);
    time_builds(
        state, [&] { return new Map(build_map(d)); }, [](Map *m) { delete m; });
}

void map_lookup(benchmark::State &state) {
    const Dictionary &d = dictionary(state);
    size_t before = heap_in_use();
    Map m = build_map(d);
    size_t heap = heap_in_use() - before;
    for (auto _ : state) {
        long found = 0;
        for (const std::string &w : d.probes)
            found += m.find(w) != m.end();
        benchmark::DoNotOptimize(found);
    }
    report(state, heap);
}

#ifdef KELP_HAVE_DATRIE
std::vector<std::vector<AlphaChar>> datrie_keys(const std::vector<std::string> &words) {
    std::vector<std::vector<AlphaChar>> keys;
    for (const std::string &w : words) {
        std::vector<AlphaChar> k(w.begin(), w.end());
        for (AlphaChar &c : k)
            c &= 0xFF;
        k.push_back(0);
        keys.push_back(std::move(k));
    }
    return keys;
}

Trie *build_datrie(const Dictionary &d, const std::vector<std::vector<AlphaChar>> &keys) {
    AlphaMap *alpha = alpha_map_new();
    for (unsigned char c : d.alphabet)
        alpha_map_add_range(alpha, c, c);
    Trie *trie = trie_new(alpha);
    alpha_map_free(alpha);
    for (size_t i = 0; i < keys.size(); ++i)
        trie_store(trie, keys[i].data(), token_of(i));
    return trie;
}

void datrie_insert(benchmark::State &state) {
    const Dictionary &d = dictionary(state);
    auto keys = datrie_keys(d.words);
    time_builds(
        state, [&] { return build_datrie(d, keys); }, trie_free);
}

void datrie_lookup(benchmark::State &state) {
    const Dictionary &d = dictionary(state);
    auto keys = datrie_keys(d.words);
    auto probes = datrie_keys(d.probes);
    size_t before = heap_in_use();
    Trie *trie = build_datrie(d, keys);
    size_t heap = heap_in_use() - before;
    for (auto _ : state) {
        long found = 0;
        TrieData data;
        for (const auto &k : probes)
            found += trie_retrieve(trie, k.data(), &data);
        benchmark::DoNotOptimize(found);
    }
    trie_free(trie);
    report(state, heap);
}
#endif

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    // The whole dictionary is the point the table quotes; the others make
    // the series from a thousand words to a million.
    const size_t all = bench::system_dictionary().empty() ? 100000 : bench::system_dictionary().size();
    std::vector<int64_t> sizes{1000};
    if (std::getenv("KELP_BENCH_SMOKE") == nullptr)
        sizes = {1000, 10000, static_cast<int64_t>(all), 300000, 1000000};
    benchmark::AddCustomContext("dictionary_words", std::to_string(all));
    struct Way {
        const char *name;
        void (*fn)(benchmark::State &);
    };
    std::vector<Way> ways{{"lookup/wtree", wtree_lookup},
                          {"lookup/unordered_map", map_lookup},
                          {"insert/wtree", wtree_insert},
                          {"insert/unordered_map", map_insert}};
#ifdef KELP_HAVE_DATRIE
    ways.push_back({"lookup/datrie", datrie_lookup});
    ways.push_back({"insert/datrie", datrie_insert});
#endif
    for (int64_t n : sizes)
        for (const Way &w : ways)
            benchmark::RegisterBenchmark(w.name, w.fn)->Arg(n)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
